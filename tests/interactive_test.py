#!/usr/bin/env python3
"""Interactive mode, as a double click starts the tool: no arguments, the
fixed paths data/tovra.xml and out/tovra.xml, a message on failure, then the
prompt and a wait for one key, from a file or at a terminal."""
import fcntl
import itertools
import os
import pty
import select
import subprocess
import sys
import termios
import time

import harness
from harness import PROMPT, failed, stamped


class InteractiveMode(harness.ToolTest):
    def test_stamps_every_byte_and_prompts(self):
        with open(harness.SAMPLE, "rb") as f:
            sample = f.read()
        cases = [
            # (case, the input)
            ("the sample", sample),
            ("every byte", bytes(range(256)) * 20 + b"\0\r\n\x1a\r"),
            # 0xFF and CR LF: the first sums past 2^31, the second wraps past 2^32.
            ("a sum past 2^31", b"\xff" * 8421505),
            ("a sum that wraps", b"\xff" * 16843009),
        ]
        for case, content in cases:
            with self.subTest(case):
                self.reset()
                self.make({"data/tovra.xml": content, "out": "dir"})
                self.assertEqual(self.run_tool(), (0, PROMPT))
                self.assertEqual(self.get("out/tovra.xml"), stamped(content))
                self.assertEqual(self.get("data/tovra.xml"), content)

    def test_worked_example_and_restamping(self):
        self.make({"data/tovra.xml": b"abc", "out/tovra.xml": b"an older and much longer output file"})
        self.assertEqual(self.run_tool(), (0, PROMPT))
        expected = b"abc\r\n<!--CRC Config-->\r\n<CRC key='CheckNum' value='317'>"
        self.assertEqual(self.get("out/tovra.xml"), expected)
        self.put("data/tovra.xml", expected)
        self.assertEqual(self.run_tool(), (0, PROMPT))
        self.assertEqual(self.get("out/tovra.xml"), expected)

    def test_failures_print_a_message_and_exit_1(self):
        # POSIX opens a folder and fails to read it; Windows refuses to open it.
        folder = (b"can't find the software file data/tovra.xml \n" if harness.WINDOWS else
                  failed(b"can't read the software file data/tovra.xml", b"Is a directory"))
        cases = [
            # (case, files before as tree() gives them, arguments, expected standard output)
            ("missing input", {"out/tovra.xml": b"old"}, [], b"can't find the software file data/tovra.xml \n"),
            ("a folder as input", {"data/tovra.xml": "dir", "out/tovra.xml": b"old"}, [], folder),
            ("one argument", {"data/tovra.xml": b"abc", "a": b"x"}, ["a"], b"Parameter Error [2]\n"),
            ("three arguments", {"data/tovra.xml": b"abc", "a": b"x", "b": b"y", "c": b"z"},
             ["a", "b", "c"], b"Parameter Error [4]\n"),
            ("missing output directory", {"data/tovra.xml": b"abc"}, [],
             failed(b"can't write the output file out/tovra.xml", b"No such file or directory")),
        ]
        for case, files, args, message in cases:
            with self.subTest(case):
                self.assertLeavesFiles(files, args, (1, message + PROMPT))

    def test_key_wait_reads_at_most_one_byte_of_a_file(self):
        self.make({"data/tovra.xml": b"abc", "out": "dir", "keys": b"xyz"})
        with open(self.path("keys"), "rb") as keys:
            self.assertEqual(self.run_tool(stdin=keys, preexec=None), (0, PROMPT))
            if not harness.WINDOWS:
                self.assertEqual(os.lseek(keys.fileno(), 0, os.SEEK_CUR), 1)
        with open(os.devnull, "rb") as null:
            self.assertEqual(self.run_tool(stdin=null, preexec=None), (0, PROMPT))

    def test_a_prompt_or_message_that_is_lost_leaves_the_exit_status(self):
        # Interactive mode, and command mode with the same paths.
        modes = ([], ["data/tovra.xml", "out/tovra.xml"])
        for args, lost, stamps in itertools.product(modes, ("closed pipe", "closed", "/dev/full"), (True, False)):
            with self.subTest(args=args, stdout=lost, stamps=stamps):
                self.reset()
                self.make({"out": "dir", **({"data/tovra.xml": b"abc"} if stamps else {})})
                self.assertEqual(self.run_into(lost, harness.BINARY, *args), (0 if stamps else 1, b""))
                self.assertEqual(self.tree().get("out/tovra.xml"), stamped(b"abc") if stamps else None)


class AtATerminal(harness.ToolTest):
    system = "posix"

    def test_waits_for_one_key_without_echo_and_restores_the_terminal(self):
        self.make({"data/tovra.xml": b"abc", "out": "dir"})
        # A key, and Up and F5, which send several bytes: none may be left for the shell.
        for key in (b"k", b"\x1b[A", b"\x1b[15~"):
            with self.subTest(key=key):
                self.press_at_the_prompt(key)
                self.assertEqual(self.get("out/tovra.xml"), stamped(b"abc"))

    def press_at_the_prompt(self, key):
        master, slave = pty.openpty()
        before = termios.tcgetattr(slave)
        proc = subprocess.Popen(harness.LAUNCHER + [harness.BINARY], cwd=self.dir, stdin=slave, stdout=slave,
                                stderr=slave, start_new_session=True)
        try:
            seen = b""
            deadline = time.monotonic() + 20
            while PROMPT not in seen and time.monotonic() < deadline:
                if select.select([master], [], [], 0.2)[0]:
                    seen += os.read(master, 1024)
            self.assertEqual(seen, PROMPT)
            time.sleep(0.5)
            self.assertIsNone(proc.poll(), "it must wait for a key")
            os.write(master, key)
            self.assertEqual(proc.wait(timeout=20), 0)
            time.sleep(0.1)
            rest = os.read(master, 1024) if select.select([master], [], [], 0.2)[0] else b""
            self.assertEqual(rest, b"", "the key must not be echoed")
            self.assertEqual(termios.tcgetattr(slave), before)
            unread = fcntl.ioctl(slave, termios.FIONREAD, bytes(4))
            self.assertEqual(int.from_bytes(unread, sys.byteorder), 0, "bytes of the key left for the shell")
        finally:
            if proc.poll() is None:
                proc.kill()
            os.close(master)
            os.close(slave)


if __name__ == "__main__":
    harness.main()
