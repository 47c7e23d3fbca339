#!/usr/bin/env python3
"""What only the Windows executable does, run under Wine: names in any script
under several ANSI code pages, paths of any length, the replaced output's
attributes, an output that another program holds open, and Ctrl-C.

    windows_test.py --binary PATH --verify PATH --helper PATH --launcher CMD [unittest options]

The helper is tests/windows_helper.cpp, built for Windows beside the tool.
"""
import argparse
import os
import shlex
import signal
import subprocess
import sys
import time
import unittest

import end_to_end as e2e
from end_to_end import ToolTest, failed, stamped

HELPER = ""
# The ANSI code page that Wine gives a process started in each locale.
CODE_PAGES = {"C.UTF-8": 1252, "ru_RU.UTF-8": 1251, "ja_JP.UTF-8": 932}
HIDDEN, SYSTEM = 0x2, 0x4


def windows_path(path):
    """Wine shows the Unix root as drive Z:."""
    return "Z:" + path.replace("/", "\\")


def deep(levels):
    """A relative folder path of about 62 characters a level."""
    return "/".join("%d%s" % (i, "ü" * 60) for i in range(levels))


def have_locale(lang):
    known = subprocess.run(["locale", "-a"], stdout=subprocess.PIPE, text=True).stdout.split()
    return lang.replace("UTF-8", "utf8") in known


class WindowsTest(ToolTest):
    def run_in(self, lang, program, *args, cwd=None):
        proc = subprocess.run(e2e.LAUNCHER + [program, *args], cwd=cwd or self.dir, env=dict(os.environ, LANG=lang),
                              stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL,
                              timeout=60)
        return proc.returncode, self.text(proc.stdout)

    def helper(self, *args, lang="C.UTF-8"):
        code, out = self.run_in(lang, HELPER, *args)
        self.assertEqual(code, 0, args)
        return out.decode().strip()

    def attributes(self, name, *change):
        return int(self.helper("attributes", "\\\\?\\" + windows_path(self.path(name)), *change), 16)

    def hold(self, pattern, sharing):
        """Has the helper open the first file matching `pattern` as another
        program would, sharing it for reading, writing and deleting as
        `sharing` ("rwd") says; closing its standard input lets go of it."""
        holder = subprocess.Popen(e2e.LAUNCHER + [HELPER, "hold", windows_path(self.path(pattern)), sharing],
                                  cwd=self.dir, stdin=subprocess.PIPE, stdout=subprocess.PIPE)
        self.addCleanup(holder.wait, 60)
        self.addCleanup(holder.stdout.close)
        self.addCleanup(holder.stdin.close)
        return holder

    def start_tool(self, *args):
        return subprocess.Popen(e2e.LAUNCHER + [e2e.BINARY, *args], cwd=self.dir, stdin=subprocess.DEVNULL,
                                stdout=subprocess.PIPE)

    def wait_for_staging(self, tool):
        """Returns once the tool has a staging file, or has ended."""
        while tool.poll() is None and not self.leftovers():
            time.sleep(0.005)

    def leftovers(self):
        return [name for name in self.tree() if name.endswith(".tmp")]


class Names(WindowsTest):
    def test_names_in_any_script_under_each_code_page(self):
        cases = [
            # (working directory, input, output)
            ("", "конфиг.xml", "конфиг/выход.xml"),
            ("", "表/設定.xml", "出力/表.xml"),
            ("Ελληνικά", "./αβγ.xml", "./έξοδος/αβγ.xml"),
            ("表", "./😀.xml", "./😀 x/out.xml"),
        ]
        for lang, code_page in CODE_PAGES.items():
            with self.subTest(lang):
                if not have_locale(lang):
                    missing = "no %s locale: localedef -i %s -f UTF-8 %s" % (lang, lang[:5], lang)
                    if os.environ.get("XMLSTAMP_REQUIRE_WINDOWS"):
                        self.fail(missing)
                    self.skipTest(missing)
                self.reset()
                self.assertEqual(self.helper("code-page", lang=lang), str(code_page))
                for n, (cwd, source, target) in enumerate(cases):
                    content = b"<a n='%d'/>" % n
                    self.put(os.path.join(cwd, source), content)
                    os.makedirs(self.path(os.path.join(cwd, os.path.dirname(target))), exist_ok=True)
                    self.assertEqual(self.run_in(lang, e2e.BINARY, source, target, cwd=self.path(cwd)), (0, b""))
                    self.assertEqual(self.get(os.path.join(cwd, target)), stamped(content))
                self.assertEqual(self.run_in(lang, e2e.VERIFY, "конфиг/выход.xml"),
                                 (0, ("конфиг/выход.xml: ok (%d)\n" % sum(b"<a n='0'/>\r\n")).encode()))
                missing = "can't find the software file %s \n"
                self.assertEqual(self.run_in(lang, e2e.BINARY, "нет/файла.xml", "x.xml"),
                                 (1, (missing % "нет/файла.xml").encode()))
                self.assertEqual(self.run_in(lang, e2e.BINARY, "./нет.xml", "x.xml", cwd=self.path("表")),
                                 (1, (missing % ("Z:" + self.path("表/нет.xml"))).encode()))
                self.assertEqual(self.leftovers(), [])


class LongPaths(WindowsTest):
    def test_paths_over_260_and_over_400_characters(self):
        short, longer = deep(5), deep(7)
        cases = [
            # (input, output, the output's file)
            (short + "/in.xml", short + "/out.xml", short + "/out.xml"),
            (windows_path(self.path(longer + "/in.xml")), windows_path(self.path(longer + "/out.xml")),
             longer + "/out.xml"),
            ("Z:" + self.path(short + "/in.xml"), longer + "/out.xml", longer + "/out.xml"),
            ("./" + short + "/in.xml", "./" + short + "/in.xml", short + "/in.xml"),
        ]
        self.assertGreater(len(windows_path(self.path(short))), 260)
        self.assertGreater(len(windows_path(self.path(longer))), 400)
        for source, target, written in cases:
            with self.subTest(source=len(source), target=len(target)):
                self.put(short + "/in.xml", b"abc")
                self.put(longer + "/in.xml", b"abc")
                for name in (short + "/out.xml", longer + "/out.xml"):
                    if os.path.exists(self.path(name)):
                        os.remove(self.path(name))
                for _ in ("new", "replaced"):
                    self.assertEqual(self.run_tool(source, target), (0, b""))
                    self.assertEqual(self.get(written), stamped(b"abc"))
                    code, out, err = self.run_program(e2e.VERIFY, [target])
                    self.assertEqual((code, out), (0, target.encode() + b": ok (317)\n"), err)
                    self.assertEqual(self.leftovers(), [])


class Identity(WindowsTest):
    def test_hidden_and_system_attributes_stay(self):
        self.put("a.xml", b"abc")
        cases = [
            ("out.xml", HIDDEN),
            ("конфиг/out.xml", SYSTEM),
            (deep(7) + "/out.xml", HIDDEN | SYSTEM),
            ("out.xml", 0),
        ]
        for name, attributes in cases:
            with self.subTest(name=name, attributes=attributes):
                if os.path.exists(self.path(name)):
                    os.remove(self.path(name))
                self.put(name, b"old")
                self.attributes(name, "%x" % (attributes or 0x80))
                self.assertEqual(self.run_tool("a.xml", name), (0, b""))
                self.assertEqual(self.get(name), stamped(b"abc"))
                self.assertEqual(self.attributes(name) & (HIDDEN | SYSTEM), attributes)
        # Wine shows a name that begins with a dot as hidden, as the staging
        # file's name does; the output it becomes is not.
        self.assertEqual(self.run_tool("a.xml", "new.xml"), (0, b""))
        self.assertEqual(self.attributes("new.xml") & (HIDDEN | SYSTEM), 0)

    def test_a_read_only_output_is_refused_whatever_its_name(self):
        for name in ("конфиг/только.xml", deep(7) + "/表.xml"):
            with self.subTest(len(name)):
                self.reset()
                self.put("a.xml", b"abc")
                self.put(name, b"read only")
                os.chmod(self.path(name), 0o444)
                before = self.tree()
                self.assertEqual(e2e.OnWindows.run_wine_as_nobody(self, "a.xml", name),
                                 (1, failed(b"can't write the output file " + name.encode(), b"")))
                self.assertEqual(self.tree(), before)


class HeldOpen(WindowsTest):
    def hold_output(self):
        """An input, and an old output that another program holds open
        without letting others delete it."""
        self.put("a.xml", b"abc")
        self.put("out.xml", b"old")
        holder = self.hold("out.xml", "rw")
        self.assertEqual(holder.stdout.readline(), b"held\r\n")
        return holder

    def test_an_output_held_open_by_another_program(self):
        cases = [
            # (what the other program shares, lets go while the tool tries, succeeds)
            ("rwd", False, True),
            ("rw", True, True),
            ("r", True, True),
            ("rw", False, False),
        ]
        self.put("a.xml", b"abc")
        for sharing, lets_go, succeeds in cases:
            with self.subTest(sharing=sharing, lets_go=lets_go):
                self.put("out.xml", b"old")
                holder = self.hold("out.xml", sharing)
                self.assertEqual(holder.stdout.readline(), b"held\r\n")
                tool = self.start_tool("a.xml", "out.xml")
                if lets_go:
                    self.wait_for_staging(tool)
                    time.sleep(0.2)
                    holder.stdin.close()
                out = tool.communicate(timeout=60)[0]
                holder.stdin.close()
                holder.wait(60)
                if succeeds:
                    self.assertEqual((tool.returncode, out), (0, b""))
                else:
                    self.assertEqual((tool.returncode, self.text(out)),
                                     (1, failed(b"can't write the output file out.xml", b"")))
                self.assertEqual(self.tree(), {"a.xml": b"abc", "out.xml": stamped(b"abc") if succeeds else b"old"})

    def test_a_staging_file_held_open_is_removed_once_let_go(self):
        output = self.hold_output()
        staging = self.hold(".xmlstamp-*.tmp", "rw")
        tool = self.start_tool("a.xml", "out.xml")
        # It gets the staging file once the tool has closed it to rename it;
        # the replacement gives up after about a second, then its removal is tried.
        self.assertEqual(staging.stdout.readline(), b"held\r\n")
        time.sleep(1.3)
        staging.stdin.close()
        out = tool.communicate(timeout=60)[0]
        self.assertEqual((tool.returncode, self.text(out)), (1, failed(b"can't write the output file out.xml", b"")))
        output.stdin.close()
        self.assertEqual(self.tree(), {"a.xml": b"abc", "out.xml": b"old"})

    def test_ctrl_c_leaves_no_staging_file(self):
        holder = self.hold_output()
        tool = self.start_tool("a.xml", "out.xml")
        self.wait_for_staging(tool)
        self.assertEqual(len(self.leftovers()), 1)
        tool.send_signal(signal.SIGINT)  # Wine's Ctrl-C
        tool.communicate(timeout=60)
        self.assertNotEqual(tool.returncode, 0)
        holder.stdin.close()
        self.assertEqual(self.tree(), {"a.xml": b"abc", "out.xml": b"old"})


class Wildcards(WindowsTest):
    def cmd(self, *words):
        """Runs a command line through cmd.exe, as typed at its prompt."""
        self.put("typed.cmd", b"@" + " ".join(words).encode() + b"\r\n")
        return self.run_in("C.UTF-8", "cmd", "/c", "typed.cmd")

    def ok(self, name):
        content = self.get(name.replace("\\", "/"))
        return b"%s: ok (%d)" % (name.encode(), sum(content[:content.find(e2e.MARKER)]))

    def test_patterns_typed_at_cmd(self):
        for name in ("b.xml", "a.xml", "config/b.xml", "config/a.xml", "config/C.XML", "my configs/x.xml"):
            self.put(name, stamped(name.encode()))
        self.put("config/a.xmlold", b"not matched")
        self.put("config/hidden.xml", b"not listed")
        self.attributes("config/hidden.xml", "%x" % HIDDEN)
        os.mkdir(self.path("config/folder.xml"))
        many = ["many\\%s%03d.xml" % ("fF"[i % 2], i) for i in range(300)]
        for name in many:
            self.put(name.replace("\\", "/"), stamped(name.encode()))
        verify = '"%s"' % windows_path(e2e.VERIFY)
        rows = [
            # (pattern as typed, the names it stands for)
            ("config\\*.xml", ["config\\a.xml", "config\\b.xml", "config\\C.XML"]),
            ("*.xml", ["a.xml", "b.xml"]),
            ("config/?.XML", ["config/a.xml", "config/b.xml", "config/C.XML"]),
            ('"my configs\\*.xml"', ["my configs\\x.xml"]),
            ('"config\\b*"', ["config\\b.xml"]),
            ("many\\*", many),
        ]
        for pattern, names in rows:
            with self.subTest(pattern):
                self.assertEqual(self.cmd(verify, pattern), (0, b"".join(self.ok(n) + b"\n" for n in names)))
        code, out = self.cmd(verify, "a.xml", "config\\*.txt")
        self.assertEqual(code, 2)
        self.assertRegex(out, rb"^a\.xml: ok \(\d+\)\nconfig\\\*\.txt: can't read \([^)]+\)\n$")
        # Its two arguments are paths.
        self.assertEqual(self.cmd('"%s"' % windows_path(e2e.BINARY), "*.xml", "out.xml"),
                         (1, b"can't find the software file *.xml \n"))
        self.assertFalse(os.path.exists(self.path("out.xml")))


def main():
    global HELPER
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--binary", required=True, help="the xmlstamp executable to test")
    parser.add_argument("--verify", required=True, help="the xmlstamp-verify executable to test")
    parser.add_argument("--helper", required=True, help="windows_helper, built beside them")
    parser.add_argument("--launcher", required=True, help="the command that runs them, such as wine")
    args, rest = parser.parse_known_args()
    e2e.BINARY, e2e.VERIFY, HELPER = (os.path.abspath(p) for p in (args.binary, args.verify, args.helper))
    e2e.LAUNCHER = shlex.split(args.launcher)
    e2e.LAUNCHER[0] = os.path.abspath(e2e.LAUNCHER[0])
    e2e.WINDOWS = True
    # Wine takes names from the system through the locale's character set.
    os.environ["LANG"] = "C.UTF-8"
    os.environ.pop("LC_ALL", None)
    unittest.main(argv=[sys.argv[0], *rest])


if __name__ == "__main__":
    main()
