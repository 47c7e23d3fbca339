#!/usr/bin/env python3
"""Batch files and wildcards on Windows, run under Wine: `if errorlevel 1`
sees every failure, and xmlstamp-verify takes the patterns typed at cmd as
dir does, printing the names it lists escaped."""
import os
import re
import subprocess

import harness
from harness import CSI, HIDDEN, PROMPT, RETITLES, checksum, stamped, windows_path


class BatchFiles(harness.WindowsTest):
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
        tool = '"%s"' % windows_path(harness.BINARY)
        env = dict(os.environ)
        env.pop("OUT", None)
        for case, lines, printed in cases:
            with self.subTest(case):
                self.reset()
                self.put("in.xml", b"abc")
                script = ["@echo off", *lines, "if errorlevel 1 (echo failed) else (echo stamped)", ""]
                self.put("stamp.bat", "\r\n".join(script).replace("xmlstamp", tool, 1).encode())
                proc = subprocess.run(harness.LAUNCHER + ["cmd", "/c", "stamp.bat"], cwd=self.dir, env=env,
                                      stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, timeout=60)
                self.assertEqual(self.text(proc.stdout), printed + (b"failed\n" if printed else b"stamped\n"))
                self.assertEqual(self.tree().get("out.xml"), None if printed else stamped(b"abc"))


class Wildcards(harness.WindowsTest):
    def cmd(self, *words):
        """Runs a command line through cmd.exe, as typed at its prompt."""
        self.put("typed.cmd", b"@" + " ".join(words).encode() + b"\r\n")
        return self.run_in("C.UTF-8", "cmd", "/c", "typed.cmd")

    def ok(self, name):
        return b"%s: ok (%d)" % (name.encode(), checksum(self.get(name.replace("\\", "/"))))

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
        verify = '"%s"' % windows_path(harness.VERIFY)
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
        self.assertEqual(self.cmd('"%s"' % windows_path(harness.BINARY), "*.xml", "out.xml"),
                         (1, b"can't find the software file *.xml \n"))
        self.assertFalse(os.path.exists(self.path("out.xml")))

    def test_patterns_with_a_dot_as_dir_takes_them(self):
        names = ["README", "a.xml", "b.XML", "ab.xml", "x.y", "a.b.c"]
        for name in names:
            self.put("dos/" + name, stamped(b"abc"))
        verify = '"%s"' % windows_path(harness.VERIFY)
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
        for name in (CSI[0], RETITLES[0], "plain"):
            self.put("odd/%s.xml" % name, stamped(b"abc"))
        code, out = self.cmd('"%s"' % windows_path(harness.VERIFY), "odd\\*.xml")
        self.assertEqual(code, 2)
        self.assertRegex(out, rb"^odd\\%s\.xml: ok \(317\)\nodd\\%s\.xml: can't read \([^)]+\)\n"
                         rb"odd\\plain\.xml: ok \(317\)\n$" % (re.escape(CSI[1]), re.escape(RETITLES[1])))


if __name__ == "__main__":
    harness.main()
