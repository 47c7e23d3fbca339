#!/usr/bin/env python3
"""Command mode, as build scripts run the tool with an input and an output:
no prompt, no wait, the outcome in the exit status; paths that begin with
./ taken against the working directory, names printed escaped, and outputs
that are the input, pipes or sockets."""
import os
import socket
import subprocess

import harness
from harness import CSI, PLAIN, RETITLES, failed, posix_only, stamped


class CommandMode(harness.ToolTest):
    def test_each_run_is_silent_and_stamps_what_its_paths_name(self):
        text = b"<a>\r\n\r<b/>\n\x1a<c/>\x1a\r\n\x00"
        cases = [
            # (the system it is for, or None, files before, each run's arguments and the files it changes)
            (None, {"data/a.xml": b"abc", "out": "dir"},
             [(("./data/a.xml", "./out/a.xml"), {"out/a.xml": stamped(b"abc")}),
              (("./out/a.xml", "out/b.xml"), {"out/b.xml": stamped(b"abc")})]),
            (None, {"a.xml": b"<a/>\r\n"}, [(("./a.xml", "./a.xml"), {"a.xml": stamped(b"<a/>\r\n")})] * 2),
            (None, {"a.xml": b"<a/>\r\n"}, [(("a.xml", "a.xml"), {"a.xml": stamped(b"<a/>\r\n")})] * 2),
            ("windows", {"data/a.xml": b"abc", "out": "dir"},
             [((".\\data\\a.xml", ".\\out\\a.xml"), {"out/a.xml": stamped(b"abc")})]),
            # Line ends and Ctrl-Z, which the C runtime's text mode would change.
            ("windows", {"a.xml": text}, [(("a.xml", "b.xml"), {"b.xml": stamped(text)}), (("b.xml", "b.xml"), {})]),
            ("windows", {"a.xml": b"abc"}, [(("a.xml", "NUL"), {})]),
        ]
        for system, files, runs in cases:
            if system in (None, harness.PLATFORM):
                with self.subTest(runs[0][0]):
                    self.reset()
                    self.make(files)
                    expected = self.tree()
                    for args, changes in runs:
                        self.assertEqual(self.run_tool(*args), (0, b""))
                        expected.update(changes)
                        self.assertEqual(self.tree(), expected)

    @posix_only
    def test_a_working_directory_longer_than_the_first_try(self):
        deep = self.path("a" * 200 + "/" + "b" * 200)
        self.put(os.path.join(deep, "a.xml"), b"abc")
        self.assertEqual(self.run_tool("./a.xml", "./b.xml", cwd=deep), (0, b""))
        self.assertEqual(self.get(os.path.join(deep, "b.xml")), stamped(b"abc"))
        self.assertEqual(self.run_tool("./none.xml", "b.xml", cwd=deep),
                         (1, b"can't find the software file %s/none.xml \n" % deep.encode()))

    def test_a_missing_input_names_the_expanded_path(self):
        self.put("out/a.xml", b"old")
        before = self.tree()
        # Wine shows the Unix root as drive Z:.
        expanded = ("Z:" if harness.WINDOWS else "") + self.dir + "/data/none.xml"
        cases = [
            # (arguments, the input's name as printed)
            (("./data/none.xml", "./out/a.xml"), expanded),
            (("data/none.xml", "./out/a.xml"), "data/none.xml"),
            ((".\\data\\none.xml", "out/a.xml"), ".\\data\\none.xml"),
        ]
        for args, shown in cases:
            with self.subTest(args):
                self.assertEqual(self.run_tool(*args), (1, b"can't find the software file %s \n" % shown.encode()))
                self.assertEqual(self.tree(), before)

    def test_control_characters_in_names_are_escaped(self):
        cases = [
            # (input, output, what is printed)
            (RETITLES[0], "o.xml", b"can't find the software file %s \n" % RETITLES[1]),
            ("in.xml", RETITLES[0] + "/o.xml",
             failed(b"can't write the output file %s/o.xml" % RETITLES[1], b"No such file or directory")),
            ("in.xml", CSI[0] + "/o.xml", failed(b"can't write the output file %s/o.xml" % CSI[1],
                                                 b"No such file or directory")),
            (PLAIN[0] + ".xml", "o.xml", b"can't find the software file %s.xml \n" % PLAIN[1]),
        ]
        for source, target, printed in cases:
            with self.subTest(source=source, target=target):
                self.assertLeavesFiles({"in.xml": b"abc"}, [source, target], (1, printed))

    def test_never_waits_for_a_key(self):
        self.put("a.xml", b"abc")
        proc = subprocess.Popen(harness.LAUNCHER + [harness.BINARY, "a.xml", "b.xml"], cwd=self.dir,
                                stdin=subprocess.PIPE, stdout=subprocess.PIPE)
        try:
            self.assertEqual(proc.wait(timeout=30), 0)  # standard input is still open
            self.assertEqual(proc.stdout.read(), b"")
        finally:
            proc.stdout.close()
            proc.stdin.close()
            if proc.poll() is None:
                proc.kill()
        self.assertEqual(self.get("b.xml"), stamped(b"abc"))

    @posix_only
    def test_pipes_and_sockets_reached_through_links(self):
        self.put("a.xml", b"abc")
        cases = [
            # (command, what standard output is)
            ('"$@" a.xml /dev/stdout', "pipe"),
            ('"$@" a.xml /dev/fd/3 3>&1', "pipe"),
            ('"$@" a.xml >(cat)', "pipe"),
            ('exec "$@" a.xml /proc/self/fd/1', "pipe"),
            ('"$@" a.xml /dev/stdout', "socket"),
        ]
        for command, kind in cases:
            with self.subTest(command=command, stdout=kind):
                ours, theirs = socket.socketpair()
                with ours, theirs:
                    proc = subprocess.run(["bash", "-c", command, "bash", *harness.LAUNCHER, harness.BINARY], cwd=self.dir,
                                          stdin=subprocess.DEVNULL,
                                          stdout=theirs if kind == "socket" else subprocess.PIPE, timeout=60)
                    theirs.close()
                    received = proc.stdout if kind == "pipe" else ours.recv(4096)
                self.assertEqual((proc.returncode, received), (0, stamped(b"abc")))
                self.assertEqual(self.tree(), {"a.xml": b"abc"})

    @posix_only
    def test_a_removed_working_directory_touches_no_file(self):
        self.put("a.xml", b"abc")
        gone = self.path("gone")

        def remove_cwd():
            os.rmdir(gone)
            os.close(0)
        before = self.tree()
        # Taken against an empty directory, "./xmlstamp-e2e.xml" would name a
        # file in the root.
        stray = "/xmlstamp-e2e.xml"
        self.assertFalse(os.path.exists(stray))
        self.addCleanup(lambda: os.path.exists(stray) and os.remove(stray))
        for args in (("./a.xml", "out.xml"), (self.path("a.xml"), "." + stray)):
            with self.subTest(args):
                os.makedirs(gone, exist_ok=True)
                self.assertEqual(self.run_tool(*args, cwd=gone, preexec=remove_cwd),
                                 (1, failed(b"can't get the working directory", b"No such file or directory")))
                self.assertEqual(self.tree(), before)
                self.assertFalse(os.path.exists(stray))

        # Paths that do not need the directory still work.
        os.makedirs(gone, exist_ok=True)
        self.assertEqual(self.run_tool(self.path("a.xml"), self.path("b.xml"), cwd=gone, preexec=remove_cwd),
                         (0, b""))
        self.assertEqual(self.get("b.xml"), stamped(b"abc"))


if __name__ == "__main__":
    harness.main()
