#!/usr/bin/env python3
"""Links to the output: the system follows them, with the protections it
applies to them (fs.protected_symlinks), the link stays, and the file the
tool opened is the one replaced, however the link is swapped meanwhile."""
import os
import signal
import subprocess
import sys

import harness
from harness import PROMPT, failed, stamped


class Links(harness.ToolTest):
    system = "posix"

    def protect_symlinks(self, value):
        """Sets fs.protected_symlinks; the test's end puts back what it was."""
        self.need_root()
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
        self.make({"in.xml": b"<a/>", "vault/secret": b"secret", "planted": "dir"})
        os.chmod(self.path("vault"), 0o700)
        os.chown(self.path("planted"), folder_owner, folder_owner)
        os.chmod(self.path("planted"), folder_mode)
        names = ["planted/out.xml"] + ["planted/hop%d" % i for i in range(1, len(link_owners))]
        for name, leads_to, owner in zip(names, names[1:] + ["vault/" + target], link_owners):
            os.symlink(self.path(leads_to), self.path(name))
            os.lchown(self.path(name), owner, owner)

    def test_a_link_is_kept_and_its_target_replaced(self):
        self.make({"data/tovra.xml": b"abc", "real/config.xml": b"old", "out/tovra.xml": "-> ../real/config.xml"})
        self.assertEqual(self.run_tool(), (0, PROMPT))
        self.assertEqual(os.readlink(self.path("out/tovra.xml")), "../real/config.xml")
        self.assertEqual(self.get("real/config.xml"), stamped(b"abc"))
        self.assertEqual(sorted(os.listdir(self.path("real"))), ["config.xml"])

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
        swapper = subprocess.Popen([sys.executable, "-c", swap], cwd=self.path("planted"),
                                   preexec_fn=harness.close_stdin)
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


if __name__ == "__main__":
    harness.main()
