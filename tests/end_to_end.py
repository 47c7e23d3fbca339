#!/usr/bin/env python3
"""End-to-end tests: run the built xmlstamp in a fresh directory and compare
its standard output, exit status and files byte for byte.

    end_to_end.py --binary PATH [--verify PATH] [--launcher CMD] [unittest options]

The launcher (for example "wine") runs a binary built for another system;
tests of what only POSIX has are skipped for a .exe.
"""
import argparse
import contextlib
import fcntl
import functools
import hashlib
import itertools
import os
import pty
import random
import re
import resource
import select
import shlex
import shutil
import signal
import socket
import stat
import subprocess
import sys
import tempfile
import termios
import threading
import time
import unittest

import fault_injection
import runner

BINARY = ""
VERIFY = ""
LAUNCHER = []
WINDOWS = False
SANITIZED = False
SAMPLE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "data", "tovra.xml")

# LeakSanitizer cannot work under strace.
UNDER_PTRACE = dict(os.environ, ASAN_OPTIONS="detect_leaks=0")
MARKER = b"<!--CRC Config-->"
PROMPT = b"Press any key to exit!"
# A name that retitles and clears a terminal shown raw, one with the C1 CSI in
# UTF-8, and one whose UTF-8 has bytes 80 to 9F that are no control; each as
# the tools show it.
RETITLES = ("no\x1b]0;pwned\x07\x1b[2Jsuch", b"no\\x1b]0;pwned\\x07\\x1b[2Jsuch")
CSI = ("c\u009b31m", b"c\\xc2\\x9b31m")
PLAIN = ("\u0100\u0400 \U0001F600", "\u0100\u0400 \U0001F600".encode())


def stamped(content):
    """What a correct stamp of `content` is, computed independently."""
    at = content.find(MARKER)
    body = content + b"\r\n" if at < 0 else content[:at]
    return body + MARKER + b"\r\n<CRC key='CheckNum' value='%d'>" % (sum(body) % 2**32)


def failed(message, reason):
    """A failure message with the system's reason for it. Windows words its
    reasons its own way, so there only their presence is compared."""
    return b"%s (%s) \n" % (message, b"..." if WINDOWS else reason)


def posix_only(test):
    @functools.wraps(test)
    def run_on_posix(self):
        if WINDOWS:
            self.skipTest("POSIX only")
        test(self)
    return run_on_posix


def close_stdin():
    os.close(0)


def as_nobody():
    """Runs the child as uid 65534, which unlike root is refused what
    permissions refuse, and in no group of root's."""
    os.setgroups([])
    os.setgid(65534)
    os.setuid(65534)
    os.close(0)


@contextlib.contextmanager
def wine_of_nobody():
    """A Wine prefix of uid 65534's own, and a copy of the tool that user may
    run; yields what runs it there as that user in a folder, giving the exit
    status and standard output."""
    home = tempfile.mkdtemp()
    os.chmod(home, 0o777)
    prefix = os.path.join(home, "prefix")
    os.mkdir(prefix)
    os.chown(prefix, 65534, 65534)
    exe = shutil.copy(BINARY, os.path.join(home, "xmlstamp.exe"))
    os.chmod(exe, 0o755)
    env = dict(os.environ, HOME=home, WINEPREFIX=prefix, WINEDEBUG="-all", WINEDLLOVERRIDES="mscoree,mshtml=")

    def run(cwd, *args, timeout=300):
        proc = subprocess.run(["wine", exe, *args], cwd=cwd, env=env, stdout=subprocess.PIPE,
                              stderr=subprocess.DEVNULL, preexec_fn=as_nobody, timeout=timeout)
        return proc.returncode, proc.stdout
    try:
        yield run
    finally:
        for option in ("-k", "-w"):
            subprocess.run(["/usr/lib/wine/wineserver", option], env=env, preexec_fn=as_nobody,
                           stderr=subprocess.DEVNULL)
        shutil.rmtree(home)


def limit_file_size(size):
    def preexec():
        signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
        resource.setrlimit(resource.RLIMIT_FSIZE, (size, size))
        os.close(0)
    return preexec


class ToolTest(unittest.TestCase):
    system = None  # "posix" or "windows" for a class of what only that system has

    def setUp(self):
        if self.system not in (None, "windows" if WINDOWS else "posix"):
            self.skipTest("%s only" % self.system)
        self._dir = tempfile.TemporaryDirectory()
        self.dir = os.path.realpath(self._dir.name)

    def tearDown(self):
        self._dir.cleanup()

    def reset(self):
        self.tearDown()
        self.setUp()

    def path(self, name):
        return os.path.join(self.dir, name)

    def put(self, name, content):
        os.makedirs(os.path.dirname(self.path(name)), exist_ok=True)
        with open(self.path(name), "wb") as f:
            f.write(content)

    def get(self, name):
        with open(self.path(name), "rb") as f:
            return f.read()

    def tree(self):
        """Every name below the directory with its content, to prove that
        nothing was touched and no temporary file was left behind."""
        found = {}
        for root, dirs, files in os.walk(self.dir):
            for name in dirs + files:
                full = os.path.join(root, name)
                key = os.path.relpath(full, self.dir)
                if os.path.islink(full):
                    found[key] = "-> " + os.readlink(full)
                elif os.path.isfile(full):
                    with open(full, "rb") as f:
                        found[key] = f.read()
                else:
                    found[key] = "dir"
        return found

    def run_as_nobody(self, *args):
        """Runs the tool as uid 65534, which unlike root is refused what its
        permissions refuse; from a copy that user can reach, wherever the build
        tree is."""
        if os.geteuid() != 0:
            return self.run_tool(*args)
        reachable = tempfile.TemporaryDirectory()
        self.addCleanup(reachable.cleanup)
        os.chmod(reachable.name, 0o755)
        copy = shutil.copy(BINARY, reachable.name)
        code, out, _ = self.run_program(copy, args, as_nobody)
        return code, out

    def run_tool(self, *args, preexec=close_stdin, stdin=None, cwd=None, timeout=60):
        code, out, _ = self.run_program(BINARY, args, preexec, stdin, cwd, timeout)
        return code, out

    def run_program(self, program, args, preexec=close_stdin, stdin=None, cwd=None, timeout=60):
        proc = subprocess.run(LAUNCHER + [program, *args], cwd=cwd or self.dir, stdin=stdin,
                              stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                              preexec_fn=preexec, timeout=timeout)
        return proc.returncode, self.text(proc.stdout), self.text(proc.stderr)

    def run_into(self, lost, program, *args):
        """Runs `program` with a standard output that takes nothing: "closed",
        a "closed pipe" (its reading end closed) or "/dev/full". Gives the exit
        status and standard error."""
        def close_stdout():
            if lost == "closed":
                os.close(1)
        stdout = None
        if lost == "closed pipe":
            reading, stdout = os.pipe()
            os.close(reading)
        elif lost != "closed":
            stdout = os.open(lost, os.O_WRONLY)
        try:
            # Wine started without a standard input takes fds of its own for it.
            proc = subprocess.run(LAUNCHER + [program, *args], cwd=self.dir, stdin=subprocess.DEVNULL, stdout=stdout,
                                  stderr=subprocess.PIPE, preexec_fn=close_stdout, timeout=60)
        finally:
            if stdout is not None:
                os.close(stdout)
        return proc.returncode, proc.stderr

    def text(self, out):
        if WINDOWS:
            # The C runtime writes "\n" to a text-mode stream as CR LF.
            self.assertEqual(out.count(b"\n"), out.count(b"\r\n"), out)
            out = out.replace(b"\r\n", b"\n")
            out = re.sub(rb" \([^()\n]+\) \n", b" (...) \n", out)
        return out


class InteractiveMode(ToolTest):
    def test_stamps_the_sample_and_prompts(self):
        with open(SAMPLE, "rb") as f:
            sample = f.read()
        self.put("data/tovra.xml", sample)
        os.mkdir(self.path("out"))
        self.assertEqual(self.run_tool(), (0, PROMPT))
        self.assertEqual(self.get("out/tovra.xml"), stamped(sample))
        self.assertEqual(self.get("data/tovra.xml"), sample)

    def test_worked_example_and_restamping(self):
        self.put("data/tovra.xml", b"abc")
        self.put("out/tovra.xml", b"an older and much longer output file")
        self.assertEqual(self.run_tool(), (0, PROMPT))
        expected = b"abc\r\n<!--CRC Config-->\r\n<CRC key='CheckNum' value='317'>"
        self.assertEqual(self.get("out/tovra.xml"), expected)
        self.put("data/tovra.xml", expected)
        self.assertEqual(self.run_tool(), (0, PROMPT))
        self.assertEqual(self.get("out/tovra.xml"), expected)

    def test_failures_print_a_message_and_exit_1(self):
        cases = [
            # (name, files before, arguments, expected standard output)
            ("missing input", {"out/tovra.xml": b"old"}, [],
             b"can't find the software file data/tovra.xml \n"),
            ("one argument", {"data/tovra.xml": b"abc", "a": b"x"}, ["a"],
             b"Parameter Error [2]\n"),
            ("three arguments", {"data/tovra.xml": b"abc", "a": b"x", "b": b"y", "c": b"z"},
             ["a", "b", "c"], b"Parameter Error [4]\n"),
            ("missing output directory", {"data/tovra.xml": b"abc"}, [],
             failed(b"can't write the output file out/tovra.xml", b"No such file or directory")),
        ]
        for name, files, args, message in cases:
            with self.subTest(name):
                self.reset()
                for file, content in files.items():
                    self.put(file, content)
                before = self.tree()
                self.assertEqual(self.run_tool(*args), (1, message + PROMPT))
                self.assertEqual(self.tree(), before)

    def test_a_directory_as_input_writes_nothing(self):
        os.makedirs(self.path("data/tovra.xml"))
        self.put("out/tovra.xml", b"old")
        before = self.tree()
        # POSIX opens a directory and fails to read it; Windows refuses to open it.
        failure = (b"can't find the software file data/tovra.xml \n" if WINDOWS else
                   failed(b"can't read the software file data/tovra.xml", b"Is a directory"))
        self.assertEqual(self.run_tool(), (1, failure + PROMPT))
        self.assertEqual(self.tree(), before)

    def test_zero_and_high_bytes_pass_through(self):
        content = bytes(range(256)) * 20 + b"\0\r\n\x1a\r"
        self.put("data/tovra.xml", content)
        os.mkdir(self.path("out"))
        self.assertEqual(self.run_tool(), (0, PROMPT))
        self.assertEqual(self.get("out/tovra.xml"), stamped(content))

    def test_key_wait_reads_at_most_one_byte_of_a_file(self):
        self.put("data/tovra.xml", b"abc")
        os.mkdir(self.path("out"))
        self.put("keys", b"xyz")
        with open(self.path("keys"), "rb") as keys:
            self.assertEqual(self.run_tool(stdin=keys, preexec=None), (0, PROMPT))
            if not WINDOWS:
                self.assertEqual(os.lseek(keys.fileno(), 0, os.SEEK_CUR), 1)
        with open(os.devnull, "rb") as null:
            self.assertEqual(self.run_tool(stdin=null, preexec=None), (0, PROMPT))


    def test_a_prompt_or_message_that_is_lost_leaves_the_exit_status(self):
        os.mkdir(self.path("out"))
        # Interactive mode, and command mode with the same paths.
        modes = ([], ["data/tovra.xml", "out/tovra.xml"])
        for args, lost, stamps in itertools.product(modes, ("closed pipe", "closed", "/dev/full"), (True, False)):
            with self.subTest(args=args, stdout=lost, stamps=stamps):
                for name in ("data/tovra.xml", "out/tovra.xml"):
                    with contextlib.suppress(FileNotFoundError):
                        os.remove(self.path(name))
                if stamps:
                    self.put("data/tovra.xml", b"abc")
                self.assertEqual(self.run_into(lost, BINARY, *args), (0 if stamps else 1, b""))
                self.assertEqual(self.tree().get("out/tovra.xml"), stamped(b"abc") if stamps else None)


class Writing(ToolTest):
    """The output is replaced only by a complete file, or not at all."""

    def test_a_write_that_fails_part_way_leaves_the_old_output(self):
        content = b"<item/>\r\n" * 20000
        self.put("data/tovra.xml", content)
        self.put("out/tovra.xml", b"the old output")
        before = self.tree()
        code, out = self.run_tool(preexec=limit_file_size(64 * 1024))
        self.assertEqual((code, out), (1, failed(b"can't write the output file out/tovra.xml", b"File too large")
                                       + PROMPT))
        self.assertEqual(self.tree(), before)

    @posix_only
    def test_a_full_device_is_a_write_error(self):
        self.put("data/tovra.xml", b"abc")
        os.mkdir(self.path("out"))
        os.symlink("/dev/full", self.path("out/tovra.xml"))
        self.assertEqual(self.run_tool(), (1, failed(b"can't write the output file out/tovra.xml",
                                                     b"No space left on device") + PROMPT))
        self.assertEqual(os.readlink(self.path("out/tovra.xml")), "/dev/full")

    @posix_only
    def test_a_link_is_kept_and_its_target_replaced(self):
        self.put("data/tovra.xml", b"abc")
        self.put("real/config.xml", b"old")
        os.mkdir(self.path("out"))
        os.symlink("../real/config.xml", self.path("out/tovra.xml"))
        self.assertEqual(self.run_tool(), (0, PROMPT))
        self.assertEqual(os.readlink(self.path("out/tovra.xml")), "../real/config.xml")
        self.assertEqual(self.get("real/config.xml"), stamped(b"abc"))
        self.assertEqual(sorted(os.listdir(self.path("real"))), ["config.xml"])

    @posix_only
    def test_permission_bits_are_kept(self):
        self.put("data/tovra.xml", b"abc")
        for mode in (0o640, 0o604, 0o755):
            with self.subTest(oct(mode)):
                self.put("out/tovra.xml", b"old")
                os.chmod(self.path("out/tovra.xml"), mode)
                self.assertEqual(self.run_tool(), (0, PROMPT))
                self.assertEqual(os.stat(self.path("out/tovra.xml")).st_mode & 0o7777, mode)
                self.assertEqual(self.get("out/tovra.xml"), stamped(b"abc"))

        os.remove(self.path("out/tovra.xml"))
        def umask_022():
            os.umask(0o022)
            os.close(0)
        self.assertEqual(self.run_tool(preexec=umask_022), (0, PROMPT))
        self.assertEqual(os.stat(self.path("out/tovra.xml")).st_mode & 0o777, 0o644)

    @posix_only
    def test_an_output_this_user_may_not_write_stays_as_it_is(self):
        self.put("data/tovra.xml", b"abc")
        self.put("out/tovra.xml", b"read only")
        os.chmod(self.path("out/tovra.xml"), 0o444)
        os.chmod(self.dir, 0o755)
        before = self.tree()
        self.assertEqual(self.run_as_nobody(),
                         (1, failed(b"can't write the output file out/tovra.xml", b"Permission denied") + PROMPT))
        self.assertEqual(self.tree(), before)

    @posix_only
    def test_memory_needed_does_not_grow_with_the_file(self):
        if SANITIZED:
            self.skipTest("AddressSanitizer needs more address space than the limits leave")
        os.makedirs(self.path("data"))
        with open(self.path("data/tovra.xml"), "wb") as f:
            f.truncate(1 << 30)
        self.put("out/tovra.xml", b"old")

        def memory_limit(size):
            def preexec():
                resource.setrlimit(resource.RLIMIT_AS, (size, size))
                os.close(0)
            return preexec
        # The bytes pass through the system, or through one small buffer.
        self.assertEqual(self.run_tool(preexec=memory_limit(2 << 20), timeout=600), (0, PROMPT))
        trailer = b"\r\n" + MARKER + b"\r\n<CRC key='CheckNum' value='23'>"
        with open(self.path("out/tovra.xml"), "rb") as f:
            self.assertEqual(os.fstat(f.fileno()).st_size, (1 << 30) + len(trailer))
            f.seek(-len(trailer) - 1, os.SEEK_END)
            self.assertEqual(f.read(), b"\0" + trailer)

    @posix_only
    def test_memory_is_bounded_for_every_output(self):
        """A device's stamp, and the old bytes of an overwrite in place, wait
        in an unnamed file in the temporary folder, never in memory."""
        if SANITIZED:
            self.skipTest("AddressSanitizer needs more address space than the limits leave")
        if os.geteuid() != 0:
            self.skipTest("needs root")
        join_cgroup = self.memory_cgroup(64 << 20)
        os.chmod(self.dir, 0o755)
        copy = shutil.copy(BINARY, self.dir)
        os.mkdir(self.path("tmp"))
        os.chmod(self.path("tmp"), 0o1777)
        # Outside the test's folder, which goes before the cleanups run.
        full = tempfile.mkdtemp()
        self.addCleanup(os.rmdir, full)
        subprocess.run(["mount", "-t", "tmpfs", "-o", "size=16m", "tmpfs", full], check=True)
        self.addCleanup(subprocess.run, ["umount", full], check=True)
        for name in ("big.xml", "ro/out.xml"):
            os.makedirs(os.path.dirname(self.path(name)), exist_ok=True)
            with open(self.path(name), "wb") as f:
                f.truncate(256 << 20)
        os.chmod(self.path("ro/out.xml"), 0o666)
        os.chmod(self.path("ro"), 0o555)
        os.mkfifo(self.path("pipe"))
        # Not /dev/null itself, which a run that took it for a file would replace.
        os.mknod(self.path("null"), stat.S_IFCHR | 0o666, os.makedev(1, 3))
        expected = hashlib.sha256()
        for _ in range(256):
            expected.update(bytes(1 << 20))
        expected.update(b"\r\n" + MARKER + b"\r\n<CRC key='CheckNum' value='23'>")
        cases = [
            # (case, input, output, temporary folder, run as nobody, outcome: alive after 3 s, or status and message)
            ("/dev/zero into /dev/null", "/dev/zero", "null", self.path("tmp"), False, "alive"),
            ("... into a full temporary folder", "/dev/zero", "null", full, False,
             (1, failed(b"can't write the output file null", b"No space left on device"))),
            ("256 MiB into a pipe", "big.xml", "pipe", self.path("tmp"), False, (0, b"")),
            ("256 MiB in place in a folder that takes no new file", "big.xml", "ro/out.xml", self.path("tmp"), True,
             (0, b"")),
        ]
        for case, source, output, tmp, nobody, outcome in cases:
            with self.subTest(case):
                def limited():
                    with open(join_cgroup, "w") as f:
                        f.write(str(os.getpid()))
                    resource.setrlimit(resource.RLIMIT_AS, (64 << 20, 64 << 20))
                    (as_nobody if nobody else close_stdin)()
                received = hashlib.sha256()

                def drain():
                    with open(self.path(output), "rb") as f:
                        for chunk in iter(functools.partial(f.read, 1 << 20), b""):
                            received.update(chunk)
                reader = threading.Thread(target=drain)
                proc = subprocess.Popen([copy, source, output], cwd=self.dir, stdout=subprocess.PIPE,
                                        env=dict(os.environ, TMPDIR=tmp), preexec_fn=limited)
                if output == "pipe":
                    reader.start()
                if outcome == "alive":
                    time.sleep(3)
                    self.assertIsNone(proc.poll(), "the run ended")
                    proc.kill()
                code, out = proc.wait(timeout=300), proc.stdout.read()
                proc.stdout.close()
                if reader.is_alive():
                    os.close(os.open(self.path("pipe"), os.O_WRONLY | os.O_NONBLOCK))  # the reader waits for a writer
                    reader.join()
                self.assertEqual(os.listdir(tmp), [])
                if outcome != "alive":
                    self.assertEqual((code, out), outcome)
                if outcome == (0, b""):
                    if output != "pipe":
                        drain()
                    self.assertEqual(received.hexdigest(), expected.hexdigest())

    def memory_cgroup(self, limit):
        """A memory cgroup of `limit` bytes for this test; the file that takes
        a process into it."""
        if os.path.exists("/sys/fs/cgroup/cgroup.controllers"):
            group, knob = "/sys/fs/cgroup/xmlstamp-test-%d" % os.getpid(), "memory.max"
        else:
            group, knob = "/sys/fs/cgroup/memory/xmlstamp-test-%d" % os.getpid(), "memory.limit_in_bytes"
        try:
            os.mkdir(group)
        except OSError as error:
            self.skipTest("needs a memory cgroup, which cannot be made here: %s" % error)
        self.addCleanup(os.rmdir, group)
        if not os.path.exists(os.path.join(group, knob)):
            self.skipTest("needs the memory controller for %s" % group)
        with open(os.path.join(group, knob), "w") as f:
            f.write(str(limit))
        return os.path.join(group, "cgroup.procs")

    @posix_only
    def test_an_input_over_4_gib_is_summed_and_written_whole(self):
        size = (4 << 30) + 5
        if shutil.disk_usage(self.dir).free < size + (4 << 30):
            self.skipTest("needs 8 GiB of free disk for the stamped copy")
        tail = b"\xff\xfe<end/>"
        os.makedirs(self.path("data"))
        with open(self.path("data/tovra.xml"), "wb") as f:
            f.seek(3 << 30)
            f.write(b"\x80" * 4096)
            f.seek(size - len(tail))
            f.write(tail)
        os.mkdir(self.path("out"))
        self.assertEqual(self.run_tool(timeout=600), (0, PROMPT))
        crc = (0x80 * 4096 + sum(tail) + 23) % 2**32
        trailer = b"\r\n" + MARKER + b"\r\n<CRC key='CheckNum' value='%d'>" % crc
        with open(self.path("out/tovra.xml"), "rb") as f:
            self.assertEqual(os.fstat(f.fileno()).st_size, size + len(trailer))
            f.seek(3 << 30)
            self.assertEqual(f.read(4097), b"\x80" * 4096 + b"\0")
            f.seek(size - len(tail))
            self.assertEqual(f.read(), tail + trailer)

    def test_a_marker_across_the_edge_of_a_window(self):
        # The stamped bytes are read back 256 KiB at a time: this ends a piece.
        edge = 8 << 20
        body = random.Random(7).randbytes(edge)
        cases = [
            # (where the piece starts, relative to the edge; the piece)
            (-17, MARKER),  # ends at the edge
            (-16, MARKER),
            (-9, MARKER),
            (-1, MARKER),
            (0, MARKER),  # starts the next window
            (-8, MARKER[:-1]),  # not a marker
        ]
        for start, piece in cases:
            with self.subTest(start=start, piece=piece):
                content = body[:edge + start] + piece + b"\r\n<CRC key='CheckNum' value='1'>" + body[:100]
                self.put("in.xml", content)
                self.assertEqual(self.run_tool("in.xml", "out.xml"), (0, b""))
                # Compared apart, so that a failure shows the bytes that differ.
                got, want, near = self.get("out.xml"), stamped(content), edge - 64
                self.assertEqual(got[near:], want[near:])
                self.assertTrue(got[:near] == want[:near], "the bytes before the edge differ")


class Identity(ToolTest):
    """A replaced output stays the same file to its owner and its system:
    renamed over when the new file can be made what the old one was, else
    overwritten in place."""
    system = "posix"

    def setUp(self):
        if os.geteuid() != 0:
            self.skipTest("needs root")
        super().setUp()
        self.mounts = []

    def tearDown(self):
        for path in self.mounts:
            subprocess.run(["umount", path], check=True)
        self.mounts = []
        super().tearDown()

    def identity(self, path):
        st = os.stat(path)
        attributes = {name: os.getxattr(path, name) for name in os.listxattr(path)}
        # Some file systems keep an ACL without listing it.
        with contextlib.suppress(OSError):
            attributes["system.posix_acl_access"] = os.getxattr(path, "system.posix_acl_access")
        return {"owner": (st.st_uid, st.st_gid), "mode": stat.S_IMODE(st.st_mode), "attributes": attributes}

    def test_owner_group_mode_and_attributes_survive(self):
        def acl(*args):
            def set_acl(path):
                runner.need(self, shutil.which("setfacl"), "setfacl", "apt-get install -y acl")
                subprocess.run(["setfacl", *args, path], check=True)
            return set_acl

        def chown(uid, mode, gid=None):
            return lambda path: (os.chown(path, uid, uid if gid is None else gid), os.chmod(path, mode))

        def bind_mount(path):
            self.put("elsewhere.xml", b"old")
            subprocess.run(["mount", "--bind", self.path("elsewhere.xml"), path], check=True)
            self.mounts.append(path)

        def on_ntfs_with_acl(path):
            with open(self.path("ntfs.img"), "wb") as f:
                f.truncate(16 << 20)
            made = subprocess.run(["mkntfs", "-F", "-q", "-f", self.path("ntfs.img")], capture_output=True)
            if made.returncode != 0 or subprocess.run(["ntfs-3g", "-o", "permissions,acl", self.path("ntfs.img"),
                                                       os.path.dirname(path)]).returncode != 0:
                runner.need(self, False, "ntfs-3g and FUSE", "apt-get install -y ntfs-3g")
            self.mounts.append(os.path.dirname(path))
            self.put("out/o.xml", b"old")
            acl("-m", "u:65534:r,g::-")(path)
        cases = [
            # (case, folder mode, prepare the output, run as nobody, the way taken, what changes)
            ("owner and group", 0o755, chown(65534, 0o640), False, "rename", {}),
            ("set-uid with its owner", 0o755, chown(65534, 0o4755), False, "rename", {}),
            ("ACL", 0o755, acl("-m", "u:65534:rw"), False, "rename", {}),
            ("user attribute", 0o755, lambda path: os.setxattr(path, "user.note", b"keep"), False, "rename", {}),
            ("folder's default ACL", 0o755, lambda path: acl("-d", "-m", "u:65534:rwx")(os.path.dirname(path)),
             False, "rename", {}),
            ("read-only folder", 0o555, chown(0, 0o666), True, "in place", {}),
            ("sticky folder", 0o1777, chown(0, 0o666), True, "in place", {}),
            # The folder would take a new file, but the user cannot give it away.
            ("another user's file", 0o777, chown(0, 0o666), True, "in place", {}),
            ("a group the user is not in", 0o777, chown(65534, 0o640, gid=0), True, "in place", {}),
            # Writing drops set-id bits of a file one does not own, as cp -p does.
            ("set-uid without its owner", 0o1777, chown(0, 0o6777), True, "in place", {"mode": 0o777}),
            ("bind-mounted file", 0o755, bind_mount, False, "in place", {}),
            ("ACL the file system does not list", 0o755, on_ntfs_with_acl, False, "rename", {}),
        ]
        for case, folder_mode, prepare, as_nobody, way, changes in cases:
            with self.subTest(case):
                self.reset()
                os.chmod(self.dir, 0o755)
                self.put("in.xml", b"<a/>\r\n")
                self.put("out/o.xml", b"old")
                out = self.path("out/o.xml")
                prepare(out)
                os.chmod(self.path("out"), folder_mode)
                expected = dict(self.identity(out), **changes)
                inode = os.stat(out).st_ino
                run = self.run_as_nobody if as_nobody else self.run_tool
                self.assertEqual(run("in.xml", "out/o.xml"), (0, b""))
                self.assertEqual(self.get("out/o.xml"), stamped(b"<a/>\r\n"))
                self.assertEqual(self.identity(out), expected)
                self.assertEqual("in place" if os.stat(out).st_ino == inode else "rename", way)
                self.assertEqual(os.listdir(self.path("out")), ["o.xml"])

    def test_a_named_staging_file_is_private_until_it_is_the_output(self):
        """Without unnamed files the staging file has a name while the input
        is copied: a user of the runner's group reads it no more than the old
        output."""
        runner.need(self, shutil.which("strace"), "strace", "apt-get install -y strace")
        os.chmod(self.dir, 0o755)
        self.put("in.xml", b"<a/>")
        self.put("out.xml", b"old")
        subprocess.run(["strace", "-qq", "-o", self.path("trace"), BINARY, "in.xml", "out.xml"], cwd=self.dir,
                       check=True, stdin=subprocess.DEVNULL, env=UNDER_PTRACE)
        with open(self.path("trace")) as f:
            named = fault_injection.without_tmpfile(fault_injection.read_calls(f))

        def in_roots_group():
            os.setgroups([0])
            os.setuid(4321)
        cases = [
            # (case, how the old output is made private: 0600 before this)
            ("another user's 0640 file", lambda path: (os.chown(path, 1234, 2345), os.chmod(path, 0o640))),
            ("an ACL's mask as group bits", lambda path: subprocess.run(["setfacl", "-m", "u:65534:r", path])),
        ]
        for case, prepare in cases:
            with self.subTest(case):
                self.reset()
                os.chmod(self.dir, 0o755)
                self.put("out.xml", b"old")
                os.chmod(self.path("out.xml"), 0o600)
                prepare(self.path("out.xml"))
                expected = self.identity(self.path("out.xml"))
                os.mkfifo(self.path("in.xml"))
                proc = subprocess.Popen(["strace", "-qq", "-o", "/dev/null", "-e", named, BINARY, "in.xml", "out.xml"],
                                        cwd=self.dir, stdin=subprocess.DEVNULL, env=UNDER_PTRACE)
                with open(self.path("in.xml"), "wb") as f:
                    f.write(b"<a/>")
                    f.flush()
                    for _ in range(3000):
                        staging = [self.path(n) for n in os.listdir(self.dir) if n.startswith(".xmlstamp-")]
                        if staging:
                            break
                        time.sleep(0.01)
                    reader = subprocess.run(["cat", *staging], preexec_fn=in_roots_group, capture_output=True)
                self.assertEqual(proc.wait(timeout=60), 0)
                self.assertEqual((len(staging), reader.stdout), (1, b""))
                self.assertIn(b"Permission denied", reader.stderr)
                self.assertEqual(self.get("out.xml"), stamped(b"<a/>"))
                self.assertEqual(self.identity(self.path("out.xml")), expected)

    def test_a_failed_overwrite_in_place_puts_the_old_bytes_back(self):
        os.chmod(self.dir, 0o755)
        self.put("in.xml", b"<item/>\r\n" * 20000)
        os.mkdir(self.path("out"))
        subprocess.run(["mount", "-t", "tmpfs", "-o", "size=64k", "tmpfs", self.path("out")], check=True)
        self.mounts.append(self.path("out"))
        self.put("out/o.xml", b"old")
        os.chmod(self.path("out/o.xml"), 0o666)
        os.chmod(self.path("out"), 0o555)
        before = self.tree()
        inode = os.stat(self.path("out/o.xml")).st_ino
        self.assertEqual(self.run_as_nobody("in.xml", "out/o.xml"),
                         (1, failed(b"can't write the output file out/o.xml", b"No space left on device")))
        self.assertEqual(self.tree(), before)
        self.assertEqual(os.stat(self.path("out/o.xml")).st_ino, inode)

    def test_names_links_and_what_is_left_behind(self):
        os.chmod(self.dir, 0o755)
        self.put("in.xml", b"<a/>")
        for length in (250, 255):
            with self.subTest(length):
                name = "n" * (length - 4) + ".xml"
                self.assertEqual(self.run_tool("in.xml", name), (0, b""))
                self.assertEqual(self.get(name), stamped(b"<a/>"))
                os.remove(self.path(name))
        # A second name keeps the old bytes: build caches that hard-link files
        # rely on it, as on sed -i.
        self.put("out.xml", b"old")
        os.link(self.path("out.xml"), self.path("cache.xml"))
        self.assertEqual(self.run_tool("in.xml", "out.xml"), (0, b""))
        self.assertEqual(self.tree(), {"in.xml": b"<a/>", "out.xml": stamped(b"<a/>"), "cache.xml": b"old"})


class Links(ToolTest):
    """The system follows the output's links, with the protections it applies
    to them, and the file it opened is the one replaced."""

    system = "posix"

    def protect_symlinks(self, value):
        """Sets fs.protected_symlinks; the test's end puts back what it was."""
        if os.geteuid() != 0:
            self.skipTest("needs root")
        setting = "/proc/sys/fs/protected_symlinks"
        try:
            with open(setting) as f:
                old = f.read()
            with open(setting, "w") as f:
                f.write("%d\n" % value)
        except OSError as error:
            self.skipTest("needs to set fs.protected_symlinks, which is refused here: %s" % error)

        def put_back():
            with open(setting, "w") as f:
                f.write(old)
        self.addCleanup(put_back)

    def plant(self, folder_mode, folder_owner, link_owners, target):
        """vault/secret, root's only, and in planted/ the links out.xml ->
        hop1 -> ... -> vault/`target`, owned by `link_owners` in turn."""
        os.chmod(self.dir, 0o755)
        self.put("in.xml", b"<a/>")
        self.put("vault/secret", b"secret")
        os.chmod(self.path("vault"), 0o700)
        os.mkdir(self.path("planted"))
        os.chown(self.path("planted"), folder_owner, folder_owner)
        os.chmod(self.path("planted"), folder_mode)
        names = ["planted/out.xml"] + ["planted/hop%d" % i for i in range(1, len(link_owners))]
        for name, leads_to, owner in zip(names, names[1:] + ["vault/" + target], link_owners):
            os.symlink(self.path(leads_to), self.path(name))
            os.lchown(self.path(name), owner, owner)

    def test_links_are_followed_where_the_system_allows(self):
        refused = failed(b"can't write the output file planted/out.xml", b"Permission denied")
        dangling = failed(b"can't write the output file planted/out.xml", b"No such file or directory")
        cases = [
            # (case, fs.protected_symlinks, folder mode and owner, link owners, what the last leads to, message)
            ("another user's link to root's file", 1, 0o1777, 0, [65534], "secret", refused),
            ("another user's link to nothing", 1, 0o1777, 0, [65534], "created", refused),
            ("unprotected, as fopen: to root's file", 0, 0o1777, 0, [65534], "secret", b""),
            ("unprotected: to nothing, as cp", 0, 0o1777, 0, [65534], "created", dangling),
            ("own link to nothing, as cp", 1, 0o755, 0, [0], "created", dangling),
            ("the folder owner's link", 1, 0o1777, 65534, [65534], "secret", b""),
            ("a folder that is not sticky", 1, 0o777, 0, [65534], "secret", b""),
            ("chained, another user's second", 1, 0o1777, 0, [0, 65534], "secret", refused),
            ("chained, in a folder that is not sticky", 1, 0o777, 0, [65534, 65534], "secret", b""),
        ]
        for case, protected, folder_mode, folder_owner, link_owners, target, message in cases:
            with self.subTest(case):
                self.reset()
                self.protect_symlinks(protected)
                self.plant(folder_mode, folder_owner, link_owners, target)
                before = self.tree()
                self.assertEqual(self.run_tool("in.xml", "planted/out.xml"), (1 if message else 0, message))
                self.assertEqual(self.tree(), dict(before, **({} if message else {"vault/secret": stamped(b"<a/>")})))

    def test_a_link_swapped_with_a_file_never_leads_the_write(self):
        self.protect_symlinks(1)
        self.plant(0o1777, 0, [65534], "secret")
        self.put("planted/bait", b"plain")
        os.chown(self.path("planted/bait"), 65534, 65534)
        secret = os.stat(self.path("vault/secret"))
        swap = ("import ctypes\nAT_FDCWD, RENAME_EXCHANGE = -100, 2\n"
                "while True: ctypes.CDLL(None).renameat2(AT_FDCWD, b'out.xml', AT_FDCWD, b'bait', RENAME_EXCHANGE)")
        # Run by root, who may: what the system checks is the link's owner.
        swapper = subprocess.Popen([sys.executable, "-c", swap], cwd=self.path("planted"), preexec_fn=close_stdin)
        self.addCleanup(swapper.wait)
        self.addCleanup(swapper.kill)
        codes = set()
        for _ in range(300):
            codes.add(self.run_tool("in.xml", "planted/out.xml")[0])
            swapper.send_signal(signal.SIGSTOP)
            os.waitpid(swapper.pid, os.WUNTRACED)
            self.assertEqual(self.get("vault/secret"), b"secret")
            self.assertEqual(os.stat(self.path("vault/secret")).st_ino, secret.st_ino)
            if not any(os.path.islink(self.path("planted/" + name)) for name in ("out.xml", "bait")):
                # A stamp renamed over the link: plant it again.
                os.symlink(self.path("vault/secret"), self.path("planted/link"))
                os.lchown(self.path("planted/link"), 65534, 65534)
                os.rename(self.path("planted/link"), self.path("planted/bait"))
            swapper.send_signal(signal.SIGCONT)
        # Both the link and the plain file were met.
        self.assertEqual(codes, {0, 1})

    def test_a_name_replaced_before_the_rename(self):
        """Another file put in the output's place meanwhile, as another run's
        stamp is, is replaced in turn; a name that leads elsewhere now is left
        alone."""
        def link_to(target):
            return lambda path: (os.remove(path), os.symlink(target, path))
        cases = [
            # (case, output, what becomes of out.xml or link.xml, or both, once the output was looked up)
            ("another file by the name", "out.xml", {"out.xml": lambda path: os.rename(self.path("other.xml"), path)}),
            ("another file where the link leads", "link.xml",
             {"out.xml": lambda path: os.rename(self.path("other.xml"), path)}),
            ("a link to elsewhere by the name", "out.xml", {"out.xml": link_to("sub/other.xml")}),
            ("its file replaced, the link leads elsewhere", "link.xml",
             {"out.xml": lambda path: os.rename(self.path("sub/other.xml"), path), "link.xml": link_to("other.xml")}),
            ("a pipe by the name", "out.xml", {"out.xml": lambda path: (os.remove(path), os.mkfifo(path))}),
        ]
        for case, output, changes in cases:
            with self.subTest(case):
                self.reset()
                self.put("out.xml", b"old")
                self.put("other.xml", b"other")
                self.put("sub/other.xml", b"other")
                os.symlink("out.xml", self.path("link.xml"))
                os.mkfifo(self.path("in.xml"))
                proc = subprocess.Popen([BINARY, "in.xml", output], cwd=self.dir, stdin=subprocess.DEVNULL,
                                        stdout=subprocess.PIPE)
                with proc.stdout, open(self.path("in.xml"), "wb") as f:
                    f.write(b"<a/>")
                    f.flush()
                    # Once the input is being read, the output has been looked up.
                    while fcntl.ioctl(f, termios.FIONREAD, bytes(4)) != bytes(4):
                        time.sleep(0.01)
                    for name, change in changes.items():
                        change(self.path(name))
                    before = self.tree()
                    f.close()
                    outcome = proc.wait(timeout=60), proc.stdout.read()
                if "elsewhere" in case or "pipe" in case:
                    self.assertEqual(outcome, (1, failed(b"can't write the output file %s" % output.encode(),
                                                         b"Stale file handle")))
                    self.assertEqual(self.tree(), before)
                else:
                    self.assertEqual(outcome, (0, b""))
                    self.assertEqual(self.tree(), dict(before, **{"out.xml": stamped(b"<a/>")}))


class CommandMode(ToolTest):
    """Two arguments: no prompt, no wait, the outcome in the exit status."""

    def test_dot_slash_arguments_are_expanded_and_success_is_silent(self):
        self.put("data/a.xml", b"abc")
        os.mkdir(self.path("out"))
        self.assertEqual(self.run_tool("./data/a.xml", "./out/a.xml"), (0, b""))
        self.assertEqual(self.get("out/a.xml"), stamped(b"abc"))
        self.assertEqual(self.run_tool("./out/a.xml", "out/b.xml"), (0, b""))
        self.assertEqual(self.get("out/b.xml"), stamped(b"abc"))

    @posix_only
    def test_a_working_directory_longer_than_the_first_try(self):
        deep = self.path("a" * 200 + "/" + "b" * 200)
        os.makedirs(deep)
        with open(os.path.join(deep, "a.xml"), "wb") as f:
            f.write(b"abc")
        self.assertEqual(self.run_tool("./a.xml", "./b.xml", cwd=deep), (0, b""))
        self.assertEqual(self.get(os.path.join(deep, "b.xml")), stamped(b"abc"))
        self.assertEqual(self.run_tool("./none.xml", "b.xml", cwd=deep),
                         (1, b"can't find the software file %s/none.xml \n" % deep.encode()))

    def test_a_missing_input_names_the_expanded_path(self):
        self.put("out/a.xml", b"old")
        before = self.tree()
        expanded = self.work_dir() + "/data/none.xml"
        cases = [
            (("./data/none.xml", "./out/a.xml"), expanded),
            (("data/none.xml", "./out/a.xml"), "data/none.xml"),
            ((".\\data\\none.xml", "out/a.xml"), ".\\data\\none.xml"),
        ]
        for args, shown in cases:
            with self.subTest(args):
                self.assertEqual(self.run_tool(*args),
                                 (1, b"can't find the software file %s \n" % shown.encode()))
                self.assertEqual(self.tree(), before)

    def test_control_characters_in_names_are_escaped(self):
        self.put("in.xml", b"abc")
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
                self.assertEqual(self.run_tool(source, target), (1, printed))
                self.assertEqual(self.tree(), {"in.xml": b"abc"})

    def test_never_waits_for_a_key(self):
        self.put("a.xml", b"abc")
        proc = subprocess.Popen(LAUNCHER + [BINARY, "a.xml", "b.xml"], cwd=self.dir,
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

    def test_stamps_in_place(self):
        for args in (("./a.xml", "./a.xml"), ("a.xml", "a.xml")):
            with self.subTest(args):
                self.reset()
                self.put("a.xml", b"<a/>\r\n")
                self.assertEqual(self.run_tool(*args), (0, b""))
                self.assertEqual(self.tree(), {"a.xml": stamped(b"<a/>\r\n")})
                self.assertEqual(self.run_tool(*args), (0, b""))
                self.assertEqual(self.tree(), {"a.xml": stamped(b"<a/>\r\n")})

    def test_a_failed_write_in_place_keeps_the_input(self):
        content = b"<item/>\r\n" * 20000
        self.put("a.xml", content)
        code, out = self.run_tool("a.xml", "a.xml", preexec=limit_file_size(64 * 1024))
        self.assertEqual((code, out), (1, failed(b"can't write the output file a.xml", b"File too large")))
        self.assertEqual(self.tree(), {"a.xml": content})

    @posix_only
    def test_a_device_is_written_directly(self):
        self.put("a.xml", b"abc")
        self.assertEqual(self.run_tool("a.xml", "/dev/null"), (0, b""))
        self.assertEqual(self.run_tool("a.xml", "/dev/full"), (1, failed(b"can't write the output file /dev/full", b"No space left on device")))
        self.assertEqual(self.tree(), {"a.xml": b"abc"})

    @posix_only
    def test_pipes_and_sockets_reached_through_links(self):
        self.put("a.xml", b"abc")
        cases = [
            # (command, what standard output is)
            ('"$0" a.xml /dev/stdout', "pipe"),
            ('"$0" a.xml /dev/fd/3 3>&1', "pipe"),
            ('"$0" a.xml >(cat)', "pipe"),
            ('exec "$0" a.xml /proc/self/fd/1', "pipe"),
            ('"$0" a.xml /dev/stdout', "socket"),
        ]
        for command, kind in cases:
            with self.subTest(command=command, stdout=kind):
                ours, theirs = socket.socketpair()
                with ours, theirs:
                    proc = subprocess.run(["bash", "-c", command, BINARY], cwd=self.dir, stdin=subprocess.DEVNULL,
                                          stdout=theirs if kind == "socket" else subprocess.PIPE, timeout=60)
                    theirs.close()
                    received = proc.stdout if kind == "pipe" else ours.recv(4096)
                self.assertEqual((proc.returncode, received), (0, stamped(b"abc")))
                self.assertEqual(self.tree(), {"a.xml": b"abc"})

    @posix_only
    def test_a_removed_working_directory_touches_no_file(self):
        self.put("a.xml", b"abc")
        gone = self.path("gone")
        os.mkdir(gone)

        def remove_cwd():
            os.rmdir(gone)
            os.close(0)
        before = self.tree()
        del before["gone"]
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

    def work_dir(self):
        """The working directory as the tool writes it: Wine shows the Unix
        root as drive Z:."""
        return "Z:" + self.dir if WINDOWS else self.dir


class WhileTheToolRuns(ToolTest):
    """The trailer's sum is the sum of the bytes written, whatever happens to
    the input meanwhile; a pipe gets nothing until the input has ended."""
    system = "posix"

    def test_a_pipe_gets_nothing_before_the_input_ends(self):
        os.mkfifo(self.path("in"))
        os.mkfifo(self.path("out"))
        proc = subprocess.Popen(LAUNCHER + [BINARY, "in", "out"], cwd=self.dir, stdout=subprocess.PIPE)
        opened = threading.Event()
        received = []

        def read_output():
            with open(self.path("out"), "rb") as f:
                opened.set()
                received.append(f.read())
        reader = threading.Thread(target=read_output)
        reader.start()
        try:
            with open(self.path("in"), "wb") as f:
                f.write(b"<first/>\r\n")
                f.flush()
                self.assertFalse(opened.wait(0.5), "the output was opened before the input ended")
                f.write(b"<second/>")
            self.assertEqual(proc.wait(timeout=30), 0)
        finally:
            if proc.poll() is None:
                proc.kill()
            reader.join(timeout=30)
            proc.stdout.close()
        self.assertEqual(received, [stamped(b"<first/>\r\n<second/>")])

    def test_an_input_that_changes_gives_a_consistent_stamp(self):
        runner.need(self, shutil.which("strace"), "strace", "apt-get install -y strace")
        old = random.Random(3).randbytes(20 << 20)
        new = bytes(255 - b for b in old)
        cases = [
            # (the call during which the input changes, its change, what is stamped)
            ("the copy", lambda f: f.truncate(5 << 20), old[:5 << 20]),
            ("the copy", lambda f: f.write(new), new),
            ("the read-back", lambda f: f.truncate(0), old),
            ("the read-back", lambda f: f.write(new), old),
        ]
        for moment, change, content in cases:
            with self.subTest(moment):
                self.put("in.xml", old)
                call, when = self.occurrence("in.xml", "out.xml", moment)
                proc = subprocess.Popen(["strace", "-qq", "-o", "/dev/null", "-e",
                                         "inject=%s:delay_enter=1000000:when=%d" % (call, when),
                                         BINARY, "in.xml", "out.xml"], cwd=self.dir, stdin=subprocess.DEVNULL,
                                        env=UNDER_PTRACE)
                time.sleep(0.3)
                with open(self.path("in.xml"), "r+b") as f:
                    change(f)
                self.assertEqual(proc.wait(timeout=60), 0)
                self.assertEqual(self.get("out.xml"), stamped(content))

    def occurrence(self, *args_and_moment):
        """Which call, counted among calls of its name, a clean run makes at a
        moment: the first copy of the input, or the second read of the staged
        copy."""
        *args, moment = args_and_moment
        trace = self.path("trace")
        subprocess.run(["strace", "-qq", "-o", trace, BINARY, *args], cwd=self.dir, check=True,
                       stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, env=UNDER_PTRACE)
        with open(trace) as f:
            calls = fault_injection.read_calls(f)
        os.remove(trace)
        if moment == "the copy":
            return fault_injection.occurrence(calls, {"copy_file_range"})
        staged = fault_injection.staging_descriptor(calls)
        return fault_injection.occurrence(calls, {"read"}, lambda args: args.startswith(staged + ","), nth=2)


class OnWindows(ToolTest):
    system = "windows"

    def test_backslash_paths_name_files_in_the_working_directory(self):
        self.put("data/a.xml", b"abc")
        os.mkdir(self.path("out"))
        self.assertEqual(self.run_tool(".\\data\\a.xml", ".\\out\\a.xml"), (0, b""))
        self.assertEqual(self.get("out/a.xml"), stamped(b"abc"))

    def test_line_ends_and_ctrl_z_survive(self):
        content = b"<a>\r\n\r<b/>\n\x1a<c/>\x1a\r\n\x00"
        self.put("a.xml", content)
        self.assertEqual(self.run_tool("a.xml", "b.xml"), (0, b""))
        self.assertEqual(self.get("b.xml"), stamped(content))
        self.assertEqual(self.run_tool("b.xml", "b.xml"), (0, b""))
        self.assertEqual(self.get("b.xml"), stamped(content))

    def test_nul_is_written_directly(self):
        self.put("a.xml", b"abc")
        self.assertEqual(self.run_tool("a.xml", "NUL"), (0, b""))
        self.assertEqual(self.tree(), {"a.xml": b"abc"})

    def test_a_read_only_output_stays_as_it_is(self):
        self.put("a.xml", b"abc")
        self.put("b.xml", b"read only")
        os.chmod(self.path("b.xml"), 0o444)  # Wine's read-only attribute
        before = self.tree()
        if os.geteuid() == 0:
            code, out = self.run_wine_as_nobody("a.xml", "b.xml")
        else:
            code, out = self.run_tool("a.xml", "b.xml")
        self.assertEqual((code, out), (1, failed(b"can't write the output file b.xml", b"Permission denied")))
        self.assertEqual(self.tree(), before)

    def run_wine_as_nobody(self, *args):
        """Wine run by root writes any file, as root does; a plain user sees
        the read-only attribute."""
        os.chmod(self.dir, 0o777)
        with wine_of_nobody() as run:
            code, out = run(self.dir, *args, timeout=120)
        return code, self.text(out)


class Verify(ToolTest):
    """xmlstamp-verify: one line per file, the worst verdict as exit status."""

    def setUp(self):
        if not VERIFY:
            self.skipTest("no --verify binary")
        super().setUp()

    def verify(self, *args):
        return self.run_program(VERIFY, args)

    def test_verdicts(self):
        good = stamped(b"<a/>\r\n")  # sums to 312
        head = MARKER + b"\r\n<CRC key='CheckNum' value='"
        cases = [
            ("fresh", good, 0, b"ok (312)"),
            ("empty body", head + b"0'>", 0, b"ok (0)"),
            ("body edited", good.replace(b"<a/>", b"<b/>"), 1,
             b"checksum mismatch: the trailer says 312, the content sums to 313"),
            ("value edited", good.replace(b"312", b"300"), 1,
             b"checksum mismatch: the trailer says 300, the content sums to 312"),
            ("trailer removed", b"<a/>\r\n", 1, b"not stamped"),
            ("text after it", good + b"\r\n", 1, b"malformed trailer"),
            ("two trailers", good + good, 1, b"malformed trailer"),
            ("leading zero", good.replace(b"'312'", b"'0312'"), 1, b"malformed trailer"),
            ("signed", good.replace(b"'312'", b"'+312'"), 1, b"malformed trailer"),
            ("no '>", good[:-2], 1, b"malformed trailer"),
            ("largest value", good.replace(b"'312'", b"'4294967295'"), 1,
             b"checksum mismatch: the trailer says 4294967295, the content sums to 312"),
            ("value over 32 bits", good.replace(b"'312'", b"'4294967296'"), 1, b"malformed trailer"),
        ]
        for name, content, status, verdict in cases:
            with self.subTest(name):
                self.put("f.xml", content)
                self.assertEqual(self.verify("f.xml"), (status, b"f.xml: " + verdict + b"\n", b""))
                self.assertEqual(self.verify("-q", "f.xml"), (status, b"", b""))
                self.assertEqual(self.get("f.xml"), content)

    def test_a_report_not_written_whole_is_a_failure(self):
        """A CI job that keeps the report in a file on a full disk must not
        pass with an empty report."""
        self.put("ok.xml", stamped(b"abc"))
        self.put("plain.xml", b"abc")
        cases = [
            # (arguments, standard output, exit status, the reason on standard error, or None for nothing)
            (["ok.xml"], "/dev/full", 2, b"No space left on device"),
            (["ok.xml"], "closed", 2, b"Bad file descriptor"),
            (["plain.xml", "ok.xml"], "/dev/full", 2, b"No space left on device"),
            (["--version"], "/dev/full", 2, b"No space left on device"),
            (["--help"], "closed", 2, b"Bad file descriptor"),
            (["-q", "ok.xml"], "/dev/full", 0, None),
            (["-q", "plain.xml"], "closed", 1, None),
        ]
        for args, lost, status, reason in cases:
            with self.subTest(args=args, stdout=lost):
                code, err = self.run_into(lost, VERIFY, *args)
                # Windows words its reasons its own way.
                err = re.sub(rb" \(.+\)\r\n$", b" (...)\n", err) if WINDOWS else err
                message = b"xmlstamp-verify: write error (%s)\n" % (b"..." if WINDOWS else reason) if reason else b""
                self.assertEqual((code, err), (status, message))

    def test_unreadable_files_and_mixed_verdicts(self):
        self.put("good.xml", stamped(b"abc"))
        self.put("plain.xml", b"abc")
        os.mkdir(self.path("folder"))
        code, out, _ = self.verify("good.xml", "missing.xml", "plain.xml", "folder", "good.xml")
        self.assertEqual(code, 2)
        lines = out.split(b"\n")
        self.assertEqual(lines[0], b"good.xml: ok (317)")
        self.assertRegex(lines[1], rb"^missing\.xml: can't read \(%s\)$" % (
            rb"[^)]+" if WINDOWS else rb"No such file or directory"))
        self.assertEqual(lines[2], b"plain.xml: not stamped")
        self.assertRegex(lines[3], rb"^folder: can't read \([^)]+\)$")
        self.assertEqual(lines[4:], [b"good.xml: ok (317)", b""])

        self.assertEqual(self.verify("good.xml", "plain.xml", "good.xml")[0], 1)
        self.assertEqual(self.verify("good.xml", "good.xml")[0], 0)
        self.assertEqual(self.verify("-q", "plain.xml", "missing.xml"), (2, b"", b""))

    @posix_only
    def test_control_characters_in_names_are_escaped(self):
        """On Windows names with controls come from a listing: windows_test.py."""
        good = stamped(b"abc")
        rows = [
            # (the file's name, its content or None for none, its line)
            (RETITLES[0] + ".xml", good, RETITLES[1] + b".xml: ok (317)"),
            (CSI[0] + ".xml", good.replace(b"317", b"316"), CSI[1] + b".xml: checksum mismatch: the trailer says "
             b"316, the content sums to 317"),
            ("tab\there\x7f.xml", b"abc", b"tab\\x09here\\x7f.xml: not stamped"),
            (PLAIN[0] + ".xml", good + b"\n", PLAIN[1] + b".xml: malformed trailer"),
            (RETITLES[0] + "/none.xml", None, RETITLES[1] + b"/none.xml: can't read (No such file or directory)"),
        ]
        for name, content, _ in rows:
            if content is not None:
                self.put(name, content)
        self.assertEqual(self.verify(*(name for name, _, _ in rows)),
                         (2, b"".join(line + b"\n" for _, _, line in rows), b""))

    def test_exit_status_is_the_worst_verdict_in_any_order(self):
        self.put("ok.xml", stamped(b"abc"))
        self.put("mismatch.xml", stamped(b"abc").replace(b"abc", b"abd"))
        status = {"ok.xml": 0, "mismatch.xml": 1, "missing.xml": 2}
        for names in itertools.chain(*(itertools.permutations(status, n) for n in (2, 3))):
            with self.subTest(names):
                self.assertEqual(self.verify("-q", *names), (max(status[name] for name in names), b"", b""))

    def test_sums_from_2_31_on_print_unsigned(self):
        # Bodies of 0xFF and CR LF: the first sums past 2^31, the second wraps past 2^32.
        for count in (8421505, 16843009):
            with self.subTest(count):
                self.put("f.xml", stamped(b"\xff" * count))
                self.assertEqual(self.verify("f.xml"), (0, b"f.xml: ok (%d)\n" % ((255 * count + 23) % 2**32), b""))

    def test_verdicts_across_a_window_edge(self):
        # A file is read in windows of a power of two up to 8 MiB: this is an edge of each.
        edge = 8 << 20
        body = (b"<item/><!-- x -->\r\n" * (edge // 19 + 1))[:edge]

        def good(size):
            return stamped(body[:size] + MARKER)

        def ok(size):
            return b"ok (%d)" % (sum(body[:size]) % 2**32)

        trailer = len(good(edge)) - edge
        edited = bytearray(good(edge))
        edited[edge - 1] += 1
        rows = [
            (good(edge - 8), ok(edge - 8)),  # the marker across the edge
            (good(edge - 47), ok(edge - 47)),  # its value across it
            (good(edge - trailer), ok(edge - trailer)),  # the trailer ends at it
            (good(edge - trailer + 1), ok(edge - trailer + 1)),  # ... one byte after it
            (bytes(edited), b"checksum mismatch: the trailer says %s, the content sums to %d" % (
                ok(edge)[4:-1], sum(body) % 2**32 + 1)),
            (good(edge - trailer + 1)[:-1] + b")", b"malformed trailer"),
            (good(edge - trailer) + b"\n", b"malformed trailer"),
            (good(edge - 40) + stamped(MARKER), b"malformed trailer"),
            (body[:edge - 8] + MARKER[:-1] + body[:100], b"not stamped"),
        ]
        for n, (content, _) in enumerate(rows):
            self.put("f%d.xml" % n, content)
        code, out, _ = self.verify(*("f%d.xml" % n for n in range(len(rows))))
        self.assertEqual((code, out.splitlines()),
                         (1, [b"f%d.xml: %s" % (n, line) for n, (_, line) in enumerate(rows)]))

    @posix_only
    def test_a_pipe_is_read_like_a_file(self):
        content = stamped(b"<item/>\r\n" * 100000)
        proc = subprocess.run(LAUNCHER + [VERIFY, "/dev/stdin"], input=content, stdout=subprocess.PIPE, timeout=60)
        self.assertEqual((proc.returncode, proc.stdout),
                         (0, b"/dev/stdin: ok (%d)\n" % sum(content[:content.find(MARKER)])))

    def test_memory_does_not_grow_with_the_file(self):
        if SANITIZED:
            self.skipTest("AddressSanitizer has memory of its own")
        runner.need(self, os.path.exists("/usr/bin/time"), "GNU time", "apt-get install -y time")
        if shutil.disk_usage(self.dir).free < 2 << 30:
            self.skipTest("needs 2 GiB of free disk")
        chunk = (b"<item/>\r\n" * (1 << 17))[:1 << 20]
        sums = {self.path("big.xml"): sum(chunk) * 512 % 2**32}
        with open(self.path("big.xml"), "wb") as f:
            for _ in range(512):
                f.write(chunk)
            f.write(MARKER + b"\r\n<CRC key='CheckNum' value='%d'>" % sums[f.name])
        # Mostly a hole, which tmpfs reads as the zero page; a disk's file
        # system would take 4 GiB of new cache pages.
        holes = tempfile.TemporaryDirectory(dir="/dev/shm" if os.access("/dev/shm", os.W_OK) else self.dir)
        self.addCleanup(holes.cleanup)
        try:
            with open(os.path.join(holes.name, "huge.xml"), "wb") as f:
                f.seek(3 << 30)
                f.write(b"\x80" * 4096)
                f.seek((4 << 30) + 5)
                f.write(MARKER + b"\r\n<CRC key='CheckNum' value='%d'>" % (0x80 * 4096))
            sums[f.name] = 0x80 * 4096
        except OSError as e:
            print("no sparse file over 4 GiB here (%s): only 512 MiB checked" % e, file=sys.stderr)
        # A child of Python's would count Python's pages; GNU time forks a small one.
        report = self.path("peak")
        proc = subprocess.run(["/usr/bin/time", "-f", "%M", "-o", report, *LAUNCHER, VERIFY, *sums],
                              stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, timeout=600)
        self.assertEqual((proc.returncode, self.text(proc.stdout)),
                         (0, b"".join(b"%s: ok (%d)\n" % (name.encode(), sums[name]) for name in sums)))
        with open(report) as f:
            self.assertLess(int(f.read().split()[-1]) << 10, 16 << 20)

    def test_command_line(self):
        usage = b"usage: xmlstamp-verify [-q] FILE...\n"
        self.assertEqual(self.verify(), (2, b"", usage))
        self.assertEqual(self.verify("-q"), (2, b"", usage))
        code, out, err = self.verify("--help")
        self.assertEqual((code, err), (0, b""))
        self.assertEqual(self.verify("-h"), (code, out, err))
        self.assertTrue(out.startswith(usage), out)
        for text in (b"-q, --quiet", b"-h, --help", b"--version", b"  -- ", b"FILE: ok (SUM)", b"checksum mismatch",
                     b"not stamped", b"malformed trailer", b"can't read (REASON)", b"Exit status: 0"):
            self.assertIn(text, out)
        self.assertEqual(self.verify("-x", "a"), (2, b"", b"xmlstamp-verify: unknown option -x\n" + usage))
        self.put("-q", stamped(b""))
        self.assertEqual(self.verify("--", "-q"), (0, b"-q: ok (23)\n", b""))
        self.assertEqual(self.verify("--quiet", "--", "-q"), (0, b"", b""))

    def test_accepts_everything_the_stamping_tool_writes(self):
        rng = random.Random(5)
        pieces = [MARKER, b"<!--CRC", b"\r\n", b"\0", b"\x1a", b"\xff", b"<CRC key='CheckNum' value='9'>"]
        names = []
        for i in range(25):
            content = b"".join(rng.choice(pieces) if rng.random() < 0.3 else rng.randbytes(rng.randrange(50))
                               for _ in range(rng.randrange(8)))
            self.put("in%d" % i, content)
            self.assertEqual(self.run_tool("in%d" % i, "out%d" % i), (0, b""))
            names.append("out%d" % i)
        code, out, _ = self.verify(*names)
        self.assertEqual(code, 0, out)
        for name, line in zip(names, out.splitlines()):
            body = self.get(name)[:self.get(name).find(MARKER)]
            self.assertEqual(line, b"%s: ok (%d)" % (name.encode(), sum(body) % 2**32))


class AtATerminal(ToolTest):
    system = "posix"

    def test_waits_for_one_key_without_echo_and_restores_the_terminal(self):
        self.put("data/tovra.xml", b"abc")
        os.mkdir(self.path("out"))
        # A key, and Up and F5, which send several bytes: none may be left for the shell.
        for key in (b"k", b"\x1b[A", b"\x1b[15~"):
            with self.subTest(key=key):
                self.press_at_the_prompt(key)
                self.assertEqual(self.get("out/tovra.xml"), stamped(b"abc"))

    def press_at_the_prompt(self, key):
        master, slave = pty.openpty()
        before = termios.tcgetattr(slave)
        proc = subprocess.Popen(LAUNCHER + [BINARY], cwd=self.dir, stdin=slave, stdout=slave,
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


def configure(argv):
    """Takes the options above from `argv` into this module, for its own tests
    and for the scripts that build on them; returns the rest for unittest."""
    global BINARY, VERIFY, LAUNCHER, WINDOWS, SANITIZED
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--binary", required=True, help="the xmlstamp executable to test")
    parser.add_argument("--verify", default="", help="the xmlstamp-verify executable to test")
    parser.add_argument("--launcher", default="", help="a command that runs the binary, such as wine")
    parser.add_argument("--sanitized", action="store_true", help="the binary is built with AddressSanitizer")
    args, rest = parser.parse_known_args(argv[1:])
    BINARY = os.path.abspath(args.binary)
    VERIFY = os.path.abspath(args.verify) if args.verify else ""
    LAUNCHER = shlex.split(args.launcher)
    if LAUNCHER and os.sep in LAUNCHER[0]:
        LAUNCHER[0] = os.path.abspath(LAUNCHER[0])
    WINDOWS = BINARY.lower().endswith(".exe")
    SANITIZED = args.sanitized
    return [argv[0], *rest]


if __name__ == "__main__":
    runner.main(configure(sys.argv))
