#!/usr/bin/env python3
"""Files on Windows, run under Wine: the replaced output's hidden and system
attributes kept and its read-only attribute obeyed; an input or output that
another program holds open; Ctrl-C and TerminateProcess at any moment before
the swap; a folder that takes no new file."""
import os
import random
import shutil
import signal
import subprocess
import time
import unittest

import harness
from harness import HIDDEN, SYSTEM, deep, failed, stamped, windows_path


class Files(harness.WindowsTest):
    def test_hidden_and_system_attributes_stay(self):
        self.put("a.xml", b"abc")
        cases = [
            # (output, its attributes before and after)
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
        for name in ("b.xml", "конфиг/только.xml", deep(7) + "/表.xml"):
            with self.subTest(len(name)):
                self.reset()
                self.make({"a.xml": b"abc", name: b"read only"})
                os.chmod(self.path(name), 0o444)  # Wine's read-only attribute
                before = self.tree()
                # Wine run by root writes any file, as root does; a plain
                # user sees the read-only attribute.
                self.assertEqual(self.run_as_nobody("a.xml", name),
                                 (1, failed(b"can't write the output file " + name.encode(), b"")))
                self.assertEqual(self.tree(), before)


class HelperTest(harness.WindowsTest):
    """Another program, the helper, that holds a file or ends the tool."""

    def hold(self, name, sharing):
        """Has the helper open `name` as another program would, sharing it for
        reading, writing and deleting as `sharing` ("rwd") says, and waits
        until it holds it; closing its standard input lets go of it."""
        holder = self.helper_process("hold", windows_path(self.path(name)), sharing)
        self.assertEqual(holder.stdout.readline(), b"held\r\n")
        return holder

    def run_by_helper(self, *args, under=()):
        """Starts the tool through the helper, which ends it with
        TerminateProcess once its standard input is closed."""
        # strace says so when a process it delays is ended: that is the point.
        started = self.helper_process("run", windows_path(harness.BINARY), *args, under=under)
        self.assertEqual(started.stdout.readline(), b"started\r\n")
        return started

    def helper_process(self, *args, under=()):
        process = subprocess.Popen([*under, *harness.LAUNCHER, harness.HELPER, *args], cwd=self.dir, stdin=subprocess.PIPE,
                                   stdout=subprocess.PIPE, stderr=subprocess.DEVNULL if under else None)
        self.addCleanup(process.wait, 60)
        self.addCleanup(process.stdout.close)
        self.addCleanup(process.stdin.close)
        return process

    def start_tool(self, *args):
        return subprocess.Popen(harness.LAUNCHER + [harness.BINARY, *args], cwd=self.dir, stdin=subprocess.DEVNULL,
                                stdout=subprocess.PIPE)


class HeldOpen(HelperTest):
    def wait_for_staging(self, tool):
        """Returns once the tool has a staging file, or has ended."""
        while tool.poll() is None and not self.leftovers():
            time.sleep(0.005)

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
        # An old output that another program holds open without letting
        # others delete it.
        self.make({"a.xml": b"abc", "out.xml": b"old"})
        holder = self.hold("out.xml", "rw")
        tool = self.start_tool("a.xml", "out.xml")
        self.wait_for_staging(tool)
        self.assertEqual(len(self.leftovers()), 1)
        tool.send_signal(signal.SIGINT)  # Wine's Ctrl-C
        tool.communicate(timeout=60)
        self.assertNotEqual(tool.returncode, 0)
        holder.stdin.close()
        self.assertEqual(self.tree(), {"a.xml": b"abc", "out.xml": b"old"})


class Killed(HelperTest):
    """TerminateProcess (Task Manager's End task, taskkill /F, a cancelled
    build) at any moment before the swap leaves the old output whole and no
    staging file."""

    def test_terminate_process_before_the_swap_leaves_nothing(self):
        harness.need(self, shutil.which("strace"), "strace", "apt-get install -y strace")
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


class LockedDownFolder(harness.WindowsTest):
    """A folder in which this user may not create files: a new output there is
    refused, and an existing one that may be written is overwritten in place,
    with its old bytes put back when that fails part-way. Run as another user,
    in a Wine prefix of its own: Wine run by root writes anything."""

    @classmethod
    def setUpClass(cls):
        if os.geteuid() != 0:
            raise unittest.SkipTest("needs root, to run as another user and to mount a small file system")
        super().setUpClass()
        cls.run_wine = staticmethod(cls.enterClassContext(harness.wine_of_nobody()))

    def run_as_nobody(self, *args):
        """As uid 65534, in the one Wine prefix of the class."""
        code, out = self.run_wine(self.dir, *args)
        return code, self.text(out)

    def test_an_output_in_a_folder_that_takes_no_new_file(self):
        os.chmod(self.dir, 0o755)
        self.make({"in.xml": b"<a/>", "big.xml": b"<item/>\r\n" * 20000})
        self.locked_down("ro/cfg.xml")
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


if __name__ == "__main__":
    harness.main()
