#!/usr/bin/env python3
"""What only the Windows executable does, run under Wine: names in any script
under several ANSI code pages, paths of any length, the replaced output's
attributes and name, an input or output that another program holds open,
Ctrl-C and TerminateProcess, a folder that takes no new file, and batch files.

    windows_test.py --binary PATH --verify PATH --helper PATH --launcher CMD [unittest options]

The helper is tests/windows_helper.cpp, built for Windows beside the tool.
"""
import argparse
import os
import random
import re
import shlex
import shutil
import signal
import subprocess
import sys
import time
import unittest

import end_to_end as e2e
import runner
from end_to_end import PROMPT, ToolTest, failed, stamped

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

    def run_by_helper(self, *args, under=()):
        """Starts the tool through the helper, which ends it with
        TerminateProcess once its standard input is closed."""
        # strace says so when a process it delays is ended: that is the point.
        runner = subprocess.Popen([*under, *e2e.LAUNCHER, HELPER, "run", windows_path(e2e.BINARY), *args],
                                  cwd=self.dir, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                  stderr=subprocess.DEVNULL if under else None)
        self.addCleanup(runner.wait, 60)
        self.addCleanup(runner.stdout.close)
        self.addCleanup(runner.stdin.close)
        self.assertEqual(runner.stdout.readline(), b"started\r\n")
        return runner

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
                runner.need(self, have_locale(lang), "the %s locale" % lang,
                            "apt-get install -y locales; localedef -i %s -f UTF-8 %s" % (lang[:5], lang))
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

    def test_an_existing_output_keeps_the_name_its_folder_holds(self):
        cases = [
            # (the output as its folder holds it, the input, the output given; "short" for its 8.3 form)
            ("Long Folder Name/Configuration File.xml", "short", "short"),
            ("config.xml", "in.xml", "CONFIG.XML"),
            ("Sub/Config.Xml", "in.xml", "./sub/CONFIG.xml"),
        ]
        for name, source, target in cases:
            with self.subTest(target):
                self.reset()
                self.put("in.xml", b"abc")
                self.put(name, b"abc")
                short = self.helper("short-name", windows_path(self.path(name)))
                self.assertNotEqual(os.path.basename(short), os.path.basename(name))
                expected = dict(self.tree(), **{name: stamped(b"abc")})
                args = [short if arg == "short" else arg for arg in (source, target)]
                self.assertEqual(self.run_tool(*args), (0, b""))
                self.assertEqual(self.tree(), expected)


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

    def test_an_input_held_by_another_program(self):
        cases = [
            # (the other program lets go after so many seconds, or not while the tool runs; what the tool prints)
            (0.3, b""),
            (None, b"can't find the software file a.xml \n"),
        ]
        for lets_go, printed in cases:
            with self.subTest(lets_go=lets_go):
                self.reset()
                self.put("a.xml", b"abc")
                holder = self.hold("a.xml", "")
                self.assertEqual(holder.stdout.readline(), b"held\r\n")
                tool = self.run_by_helper("a.xml", "out.xml")
                if lets_go:
                    time.sleep(lets_go)
                    holder.stdin.close()
                self.assertEqual(self.text(tool.stdout.read()), printed + b"ended %d\n" % (0 if lets_go else 1))
                holder.stdin.close()
                holder.wait(60)
                written = {"out.xml": stamped(b"abc")} if lets_go else {}
                self.assertEqual(self.tree(), {"a.xml": b"abc", **written})

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


class Killed(WindowsTest):
    """TerminateProcess (Task Manager's End task, taskkill /F, a cancelled
    build) at any moment before the swap leaves the old output whole and no
    staging file."""

    def test_terminate_process_before_the_swap_leaves_nothing(self):
        runner.need(self, shutil.which("strace"), "strace", "apt-get install -y strace")
        content = random.Random(17).randbytes(64 << 20)
        full = len(stamped(content))
        # The flush takes two seconds more: each moment below comes before the swap.
        slow_flush = ["strace", "-f", "-qq", "--seccomp-bpf", "-o", "/dev/null", "-e", "trace=fsync",
                      "-e", "inject=fsync:delay_enter=2000000"]
        cases = [
            # (moment, the staging file's size then, and seconds after it, another program holding the output)
            ("the copy", lambda size: 0 < size < len(content), 0, False),
            ("the flush", lambda size: size == full, 0, False),
            ("between tries of the swap", lambda size: size == full, 2.4, True),
        ]
        for moment, ready, later, held in cases:
            with self.subTest(moment):
                self.reset()
                self.put("in.xml", content)
                self.put("out.xml", b"old")
                if held:
                    holder = self.hold("out.xml", "rw")
                    self.assertEqual(holder.stdout.readline(), b"held\r\n")
                tool = self.run_by_helper("in.xml", "out.xml", under=slow_flush)
                size = None
                while tool.poll() is None and not (size is not None and ready(size)):
                    time.sleep(0.001)
                    size = self.staging_size()
                self.assertTrue(size is not None and ready(size), "the tool ended at %s bytes staged" % size)
                time.sleep(later)
                tool.stdin.close()
                self.assertEqual(self.text(tool.stdout.read()), b"ended 9\n")
                if held:
                    holder.stdin.close()
                    holder.wait(60)
                self.assertEqual(sorted(os.listdir(self.dir)), ["in.xml", "out.xml"])
                self.assertEqual(self.get("out.xml"), b"old")

    def staging_size(self):
        for name in (name for name in os.listdir(self.dir) if name.endswith(".tmp")):
            try:
                return os.stat(self.path(name)).st_size
            except FileNotFoundError:
                pass
        return None


class LockedDownFolder(WindowsTest):
    """A folder in which this user may not create files: a new output there is
    refused, and an existing one that may be written is overwritten in place,
    with its old bytes put back when that fails part-way. Run as another user,
    in a Wine prefix of its own: Wine run by root writes anything."""

    @classmethod
    def setUpClass(cls):
        if os.geteuid() != 0:
            raise unittest.SkipTest("needs root, to run as another user and to mount a small file system")
        cls.run_wine = staticmethod(cls.enterClassContext(e2e.wine_of_nobody()))

    def tearDown(self):
        subprocess.run(["umount", self.path("ro")], stderr=subprocess.DEVNULL)
        super().tearDown()

    def run_as_nobody(self, *args):
        code, out = self.run_wine(self.dir, *args)
        return code, self.text(out)

    def test_an_output_in_a_folder_that_takes_no_new_file(self):
        os.chmod(self.dir, 0o755)
        self.put("in.xml", b"<a/>")
        self.put("big.xml", b"<item/>\r\n" * 20000)
        os.mkdir(self.path("ro"))
        subprocess.run(["mount", "-t", "tmpfs", "-o", "size=64k", "tmpfs", self.path("ro")], check=True)
        self.put("ro/cfg.xml", b"old")
        os.chmod(self.path("ro/cfg.xml"), 0o666)
        os.chmod(self.path("ro"), 0o555)
        inode = os.stat(self.path("ro/cfg.xml")).st_ino
        cases = [
            # (input, output, exit status, what the tool prints, the output's bytes then)
            ("in.xml", "ro\\new.xml", 1, failed(b"can't write the output file ro\\new.xml", b""), b"old"),
            ("big.xml", "ro\\cfg.xml", 1, failed(b"can't write the output file ro\\cfg.xml", b""), b"old"),
            ("in.xml", "ro\\cfg.xml", 0, b"", stamped(b"<a/>")),
            ("ro\\cfg.xml", "ro\\cfg.xml", 0, b"", stamped(b"<a/>")),
        ]
        for source, target, status, printed, output in cases:
            with self.subTest(source=source, target=target):
                self.assertEqual(self.run_as_nobody(source, target), (status, printed))
                self.assertEqual(os.listdir(self.path("ro")), ["cfg.xml"])
                self.assertEqual(self.get("ro/cfg.xml"), output)
                self.assertEqual(os.stat(self.path("ro/cfg.xml")).st_ino, inode)


class BatchFiles(WindowsTest):
    def test_if_errorlevel_1_sees_every_failure(self):
        cases = [
            # (case, the batch file's lines before the check, what the tool prints)
            ("stamped", ["xmlstamp in.xml out.xml"], b""),
            ("OUT unset", ["xmlstamp in.xml %OUT%"], b"Parameter Error [2]\n" + PROMPT),
            ("OUT with a blank", ['set "OUT=out dir\\a.xml"', "xmlstamp in.xml %OUT%"],
             b"Parameter Error [4]\n" + PROMPT),
            ("! under delayed expansion", ["setlocal enabledelayedexpansion", 'xmlstamp "in!1.xml" "out!2.xml"'],
             b"Parameter Error [2]\n" + PROMPT),
            ("missing input", ["xmlstamp missing.xml out.xml"], b"can't find the software file missing.xml \n"),
        ]
        tool = '"%s"' % windows_path(e2e.BINARY)
        env = dict(os.environ)
        env.pop("OUT", None)
        for case, lines, printed in cases:
            with self.subTest(case):
                self.reset()
                self.put("in.xml", b"abc")
                script = ["@echo off", *lines, "if errorlevel 1 (echo failed) else (echo stamped)", ""]
                self.put("stamp.bat", "\r\n".join(script).replace("xmlstamp", tool, 1).encode())
                proc = subprocess.run(e2e.LAUNCHER + ["cmd", "/c", "stamp.bat"], cwd=self.dir, env=env,
                                      stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, timeout=60)
                self.assertEqual(self.text(proc.stdout), printed + (b"failed\n" if printed else b"stamped\n"))
                self.assertEqual(self.tree().get("out.xml"), None if printed else stamped(b"abc"))


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


    def test_patterns_with_a_dot_as_dir_takes_them(self):
        names = ["README", "a.xml", "b.XML", "ab.xml", "x.y", "a.b.c"]
        for name in names:
            self.put("dos/" + name, stamped(b"abc"))
        verify = '"%s"' % windows_path(e2e.VERIFY)
        rows = [
            # (pattern, the names it stands for: None for those dir lists)
            ("*.*", None),
            ("?.xml", None),
            ("a*", None),
            ("*.", ["README"]),  # Wine's dir lists every name
        ]
        for pattern, expected in rows:
            with self.subTest(pattern):
                if expected is None:
                    code, listed = self.cmd("dir", "/b", "/a-d-h-s", "dos\\" + pattern)
                    expected = listed.decode().splitlines()
                    self.assertTrue(code == 0 and expected, listed)
                code, out = self.cmd(verify, "dos\\" + pattern)
                self.assertEqual((code, sorted(out.splitlines(), key=bytes.lower)),
                                 (0, sorted((b"dos\\%s: ok (317)" % n.encode() for n in expected), key=bytes.lower)))

    def test_names_from_the_listing_are_escaped(self):
        # The listing may hold a name that someone else chose; Wine lists C0
        # controls too, but cannot open such a name.
        for name in (e2e.CSI[0], e2e.RETITLES[0], "plain"):
            self.put("odd/%s.xml" % name, stamped(b"abc"))
        code, out = self.cmd('"%s"' % windows_path(e2e.VERIFY), "odd\\*.xml")
        self.assertEqual(code, 2)
        self.assertRegex(out, rb"^odd\\%s\.xml: ok \(317\)\nodd\\%s\.xml: can't read \([^)]+\)\n"
                         rb"odd\\plain\.xml: ok \(317\)\n$" % (re.escape(e2e.CSI[1]), re.escape(e2e.RETITLES[1])))


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
    runner.main([sys.argv[0], *rest])


if __name__ == "__main__":
    main()
