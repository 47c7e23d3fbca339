#!/usr/bin/env python3
"""Writing the output: it is replaced by a complete file or not at all, a
device is written directly, the stamp is exact wherever the marker falls
among the pieces the tool reads and however large the input, the memory
needed does not grow with it, and the output stays the same file."""
import contextlib
import functools
import hashlib
import os
import random
import shutil
import stat
import subprocess
import threading
import time

import harness
from harness import MARKER, PROMPT, failed, posix_only, stamped


class Writing(harness.ToolTest):
    def test_a_write_that_fails_part_way_leaves_what_was_there(self):
        content = b"<item/>\r\n" * 20000
        cases = [
            # (case, files before, arguments, what the tool prints)
            ("an old output", {"data/tovra.xml": content, "out/tovra.xml": b"the old output"}, [],
             failed(b"can't write the output file out/tovra.xml", b"File too large") + PROMPT),
            ("in place", {"a.xml": content}, ["a.xml", "a.xml"], failed(b"can't write the output file a.xml",
                                                                        b"File too large")),
        ]
        for case, files, args, printed in cases:
            with self.subTest(case):
                self.assertLeavesFiles(files, args, (1, printed), preexec=harness.limited(file_size=64 * 1024))

    @posix_only
    def test_a_device_is_written_directly(self):
        full = failed(b"can't write the output file %s", b"No space left on device")
        cases = [
            # (files before, arguments, exit status and what the tool prints)
            ({"a.xml": b"abc"}, ["a.xml", "/dev/null"], (0, b"")),
            ({"a.xml": b"abc"}, ["a.xml", "/dev/full"], (1, full % b"/dev/full")),
            ({"data/tovra.xml": b"abc", "out/tovra.xml": "-> /dev/full"}, [],
             (1, full % b"out/tovra.xml" + PROMPT)),
        ]
        for files, args, outcome in cases:
            with self.subTest(args=args):
                self.assertLeavesFiles(files, args, outcome)

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
        self.make({"data/tovra.xml": b"abc", "out/tovra.xml": b"read only"})
        os.chmod(self.path("out/tovra.xml"), 0o444)
        os.chmod(self.dir, 0o755)
        before = self.tree()
        self.assertEqual(self.run_as_nobody(),
                         (1, failed(b"can't write the output file out/tovra.xml", b"Permission denied") + PROMPT))
        self.assertEqual(self.tree(), before)

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

    def need_unsanitized(self):
        if harness.ARGS.sanitized or harness.LAUNCHER:
            self.skipTest("AddressSanitizer or an emulator needs more address space than the limits leave")

    @posix_only
    def test_memory_needed_does_not_grow_with_the_file(self):
        self.need_unsanitized()
        os.makedirs(self.path("data"))
        with open(self.path("data/tovra.xml"), "wb") as f:
            f.truncate(1 << 30)
        self.put("out/tovra.xml", b"old")
        # The bytes pass through the system, or through one small buffer.
        self.assertEqual(self.run_tool(preexec=harness.limited(memory=2 << 20), timeout=600), (0, PROMPT))
        trailer = b"\r\n" + MARKER + b"\r\n<CRC key='CheckNum' value='23'>"
        with open(self.path("out/tovra.xml"), "rb") as f:
            self.assertEqual(os.fstat(f.fileno()).st_size, (1 << 30) + len(trailer))
            f.seek(-len(trailer) - 1, os.SEEK_END)
            self.assertEqual(f.read(), b"\0" + trailer)

    @posix_only
    def test_memory_is_bounded_for_every_output(self):
        """A device's stamp, and the old bytes of an overwrite in place, wait
        in an unnamed file in the temporary folder, never in memory."""
        self.need_unsanitized()
        self.need_root()
        join_cgroup = self.memory_cgroup(64 << 20)
        os.chmod(self.dir, 0o755)
        copy = shutil.copy(harness.BINARY, self.dir)
        self.make({"tmp": "dir", "full": "dir", "ro": "dir"})
        os.chmod(self.path("tmp"), 0o1777)
        self.mount("-t", "tmpfs", "-o", "size=16m", "tmpfs", self.path("full"))
        for name in ("big.xml", "ro/out.xml"):
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
            ("/dev/zero into /dev/null", "/dev/zero", "null", "tmp", False, "alive"),
            ("... into a full temporary folder", "/dev/zero", "null", "full", False,
             (1, failed(b"can't write the output file null", b"No space left on device"))),
            ("256 MiB into a pipe", "big.xml", "pipe", "tmp", False, (0, b"")),
            ("256 MiB in place in a folder that takes no new file", "big.xml", "ro/out.xml", "tmp", True, (0, b"")),
        ]
        for case, source, output, tmp, nobody, outcome in cases:
            with self.subTest(case):
                received = hashlib.sha256()

                def drain():
                    with open(self.path(output), "rb") as f:
                        for chunk in iter(functools.partial(f.read, 1 << 20), b""):
                            received.update(chunk)
                reader = threading.Thread(target=drain)
                preexec = harness.limited(memory=64 << 20, cgroup=join_cgroup,
                                          then=harness.as_nobody if nobody else harness.close_stdin)
                proc = subprocess.Popen([copy, source, output], cwd=self.dir, stdout=subprocess.PIPE,
                                        env=dict(os.environ, TMPDIR=self.path(tmp)), preexec_fn=preexec)
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
                self.assertEqual(os.listdir(self.path(tmp)), [])
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



class Identity(harness.ToolTest):
    """A replaced output stays the same file to its owner and its system:
    renamed over when the new file can be made what the old one was, else
    overwritten in place, with the old bytes put back when that fails; the
    staging file is no more readable than the old output."""
    system, root = "posix", True

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
                harness.need(self, shutil.which("setfacl"), "setfacl", "apt-get install -y acl")
                subprocess.run(["setfacl", *args, path], check=True)
            return set_acl

        def chown(uid, mode, gid=None):
            return lambda path: (os.chown(path, uid, uid if gid is None else gid), os.chmod(path, mode))

        def bind_mount(path):
            self.put("elsewhere.xml", b"old")
            self.mount("--bind", self.path("elsewhere.xml"), path)

        def on_ntfs_with_acl(path):
            with open(self.path("ntfs.img"), "wb") as f:
                f.truncate(16 << 20)
            made = subprocess.run(["mkntfs", "-F", "-q", "-f", self.path("ntfs.img")], capture_output=True)
            if made.returncode != 0 or subprocess.run(["ntfs-3g", "-o", "permissions,acl", self.path("ntfs.img"),
                                                       os.path.dirname(path)]).returncode != 0:
                harness.need(self, False, "ntfs-3g and FUSE", "apt-get install -y ntfs-3g")
            self.addCleanup(subprocess.run, ["umount", os.path.dirname(path)], check=True)
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
                self.make({"in.xml": b"<a/>\r\n", "out/o.xml": b"old"})
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
        harness.need_strace(self)
        os.chmod(self.dir, 0o755)
        self.make({"in.xml": b"<a/>", "out.xml": b"old"})
        named = harness.without_tmpfile(harness.traced(["in.xml", "out.xml"], self.dir, check=True)[0])

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
                proc = subprocess.Popen(["strace", "-qq", "-o", "/dev/null", "-e", named, harness.BINARY, "in.xml",
                                         "out.xml"], cwd=self.dir, stdin=subprocess.DEVNULL, env=harness.UNDER_PTRACE)
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
        self.locked_down("out/o.xml")
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


if __name__ == "__main__":
    harness.main()
