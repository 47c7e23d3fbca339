#!/usr/bin/env python3
"""The file systems users have where Windows and virtual machines meet Linux,
which leave out calls that ext4 has; a folder this user may write but not
read; a sandbox without /proc. Wherever cp writes a file, the tool stamps
it, and where it fails, its message says what is left. The Windows build
meets the shares that refuse renames on a drive of Wine's, X:, where copy /y
writes."""
import re
import contextlib
import os
import shutil
import stat
import subprocess
import sys
import threading
import time

import harness
import passthrough_fs
from harness import MARKER, stamped

# The rows of passthrough_fs.LACKING that the Windows build meets too.
WINDOWS_ROWS = ("rename refused", "rename and delete refused")

# An input with an old trailer and bytes after it, so that its copy is cut.
RESTAMPED = b"<config/>\r\n" + MARKER + b"\r\n<CRC key='CheckNum' value='1'>junk"
OLD = b"<old/>\r\n" * 40  # longer than the stamp: an overwrite must shorten it


def fuse_python():
    """An interpreter that has fusepy, or None."""
    for python in (sys.executable, "/usr/bin/python3"):
        probe = subprocess.run([python, "-c", "import fusepy"], capture_output=True)
        if probe.returncode == 0:
            return python
    return None


class FileSystems(harness.ToolTest):
    root = True

    @contextlib.contextmanager
    def mounted(self, lacks):
        """A passthrough over a fresh folder that leaves out `lacks`; yields
        the mount point and the folder behind it."""
        python = fuse_python()
        harness.need(self, python and os.path.exists("/dev/fuse"), "FUSE and fusepy",
                    "apt-get install -y python3-fusepy fuse3")
        back, mountpoint = self.path("back-" + lacks), self.path("mnt-" + lacks)
        os.mkdir(back)
        os.mkdir(mountpoint)
        script = os.path.join(os.path.dirname(os.path.abspath(__file__)), "passthrough_fs.py")
        server = subprocess.Popen([python, script, back, mountpoint, lacks], stdin=subprocess.DEVNULL)
        drive = os.path.join(harness.wine_prefix(), "dosdevices", "x:") if harness.WINDOWS else None
        try:
            for _ in range(500):
                if os.path.ismount(mountpoint) or server.poll() is not None:
                    break
                time.sleep(0.01)
            self.assertTrue(os.path.ismount(mountpoint), "the passthrough did not mount")
            if drive:
                with contextlib.suppress(FileNotFoundError):
                    os.remove(drive)  # left by a run that was killed
                os.symlink(mountpoint, drive)
            yield mountpoint, back
        finally:
            if drive and os.path.islink(drive):
                os.remove(drive)
            subprocess.run(["umount", mountpoint], stderr=subprocess.DEVNULL)
            server.wait(timeout=30)

    def cp_writes(self, mountpoint, back, existing):
        """Whether cp (on Windows, copy /y) writes a file there, new or over an
        existing one."""
        if existing:
            with open(os.path.join(back, "cp.xml"), "wb") as f:
                f.write(OLD)
        copy = harness.LAUNCHER + ["cmd", "/c", "copy", "/y", "X:\\in.xml", "X:\\cp.xml"]
        copied = subprocess.run(copy if harness.WINDOWS else ["cp", "in.xml", "cp.xml"], cwd=mountpoint,
                                capture_output=True)
        with open(os.path.join(back, "cp.xml"), "rb") as f:
            written = copied.returncode == 0 and f.read() == RESTAMPED
        os.remove(os.path.join(back, "cp.xml"))
        return written

    def test_stamps_wherever_cp_writes(self):
        cases = [
            # (case, the input, the output, what the output holds before)
            ("new output", "in.xml", "new.xml", None),
            ("existing output", "in.xml", "out.xml", OLD),
            ("in place", "a.xml", "a.xml", RESTAMPED),
        ]
        for lacks in WINDOWS_ROWS if harness.WINDOWS else passthrough_fs.LACKING:
            with self.mounted(lacks) as (mountpoint, back):
                for case, source, target, old in cases:
                    with self.subTest(lacks=lacks, case=case):
                        # Made behind the file system's back: it may not be able to.
                        for name, content in (("in.xml", RESTAMPED), ("a.xml", RESTAMPED), ("out.xml", OLD)):
                            with open(os.path.join(back, name), "wb") as f:
                                f.write(content)
                            os.chmod(os.path.join(back, name), 0o640)
                        with contextlib.suppress(FileNotFoundError):
                            os.remove(os.path.join(back, "new.xml"))
                        cp_writes = self.cp_writes(mountpoint, back, old is not None)
                        identity = old and os.stat(os.path.join(back, target))
                        code, out = self.run_tool(*(("X:\\" if harness.WINDOWS else "") + name
                                                    for name in (source, target)), cwd=mountpoint)
                        # Where a file it made cannot be removed, a run names it.
                        left = re.findall(rb"(?m)^can't remove the temporary file .*?([^/\\]+) \(.*\) \n", out)
                        out = re.sub(rb"(?m)^can't remove the temporary file .*\n", b"", out)
                        now = None
                        with contextlib.suppress(FileNotFoundError), open(os.path.join(back, target), "rb") as f:
                            now = f.read()
                        if code == 0 or cp_writes:
                            self.assertEqual((code, out, now), (0, b"", stamped(RESTAMPED)))
                        elif out.startswith(b"can't write the output file"):
                            self.assertEqual(now, old)
                        else:
                            self.assertRegex(out, rb"^the output file \S+ is in place, but may not be on disk")
                            self.assertEqual(now, stamped(RESTAMPED))
                        if old is not None:
                            st = os.stat(os.path.join(back, target))
                            self.assertEqual((st.st_mode, st.st_uid, st.st_gid),
                                             (identity.st_mode, identity.st_uid, identity.st_gid))
                        self.assertEqual(sorted(n.encode() for n in os.listdir(back) if n.startswith(".xmlstamp-")),
                                         sorted(left))
                        for name in left:
                            os.remove(os.path.join(back, name.decode()))

    @harness.posix_only
    def test_a_folder_this_user_may_write_but_not_read(self):
        os.chmod(self.dir, 0o755)
        self.put("in.xml", b"<a/>")
        os.mkdir(self.path("drop"))
        os.chown(self.path("drop"), 65534, 65534)
        self.put("drop/out.xml", b"old")
        os.chown(self.path("drop/out.xml"), 65534, 65534)
        os.chmod(self.path("drop"), 0o333)
        old_inode = os.stat(self.path("drop/out.xml")).st_ino
        for output in ("drop/new.xml", "drop/out.xml"):
            with self.subTest(output):
                self.assertEqual(self.run_as_nobody("in.xml", output), (0, b""))
                self.assertEqual(self.get(output), stamped(b"<a/>"))
        # Renamed over, not overwritten in place through the temporary folder.
        self.assertNotEqual(os.stat(self.path("drop/out.xml")).st_ino, old_inode)
        self.assertEqual(sorted(os.listdir(self.path("drop"))), ["new.xml", "out.xml"])

    @harness.posix_only
    def test_outputs_in_a_sandbox_without_proc(self):
        """A chroot with the static tool in it and no /proc: a link, a chain of
        links, a device and a FIFO as outputs work as they do with it."""
        probe = subprocess.run(["ldd", harness.BINARY], capture_output=True, text=True)
        if probe.returncode == 0:
            self.skipTest("the tool is linked dynamically")
        os.chmod(self.dir, 0o755)
        shutil.copy(harness.BINARY, self.path("xmlstamp"))
        self.put("in.xml", b"<a/>")
        self.put("real.xml", b"old")
        os.symlink("real.xml", self.path("link.xml"))
        os.mkdir(self.path("sub"))
        os.symlink("/link.xml", self.path("sub/chain.xml"))
        os.mknod(self.path("null"), stat.S_IFCHR | 0o666, os.makedev(1, 3))
        os.mkfifo(self.path("fifo"))

        def in_sandbox():
            os.chroot(self.dir)
            os.chdir("/")
            os.close(0)
        cases = [
            # (case, output, the file that gets the stamp)
            ("a link", "link.xml", "real.xml"),
            ("a chain of links, one absolute", "sub/chain.xml", "real.xml"),
            ("a device", "null", None),
            ("a FIFO", "fifo", "fifo"),
        ]
        for case, output, target in cases:
            with self.subTest(case):
                self.put("real.xml", b"old")
                read = {}
                reader = threading.Thread(target=lambda: read.update(got=open(self.path("fifo"), "rb").read()))
                if target == "fifo":
                    reader.start()
                code, out, _ = self.run_program("/xmlstamp", ["in.xml", output], in_sandbox)
                if reader.is_alive():
                    os.close(os.open(self.path("fifo"), os.O_WRONLY | os.O_NONBLOCK))  # it waits for a writer
                    reader.join()
                self.assertEqual((code, out), (0, b""))
                got = read.get("got") if target == "fifo" else self.get(target) if target else b""
                self.assertEqual(got, stamped(b"<a/>") if target else b"")
                self.assertTrue(os.path.islink(self.path("link.xml")))
                self.assertEqual(os.listdir(self.path("sub")), ["chain.xml"])
                self.assertEqual(sorted(n for n in os.listdir(self.dir) if n.startswith(".xmlstamp")), [])


if __name__ == "__main__":
    harness.main()
