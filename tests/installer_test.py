#!/usr/bin/env python3
"""The Windows installer under Wine, each test in a Wine prefix of its own:
a silent upgrade over an older version, both tools by name in a new console,
the Apps & features entry, a silent uninstall that leaves only the user's
files, and a system PATH of any length and form kept as it was.

    installer_test.py --build DIR --cpack PATH --version X.Y.Z --wine PATH --makensis PATH TestCase...
"""
import glob
import hashlib
import os
import re
import shutil
import subprocess
import time

import harness
from harness import ARGS, run

WINESERVER = "/usr/lib/wine/wineserver"
UNINSTALL = r"HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall"
ENVIRONMENT = r"HKLM\SYSTEM\CurrentControlSet\Control\Session Manager\Environment"
BIN = r"C:\Program Files\xmlstamp\bin"


class InstallerCase(harness.ToolTest):
    def setUp(self):
        harness.need(self, os.access(ARGS.makensis, os.X_OK), "makensis", "apt-get install -y nsis")
        super().setUp()
        prefix = self.path("prefix")
        self.env = dict(os.environ, WINEPREFIX=prefix, WINEDEBUG="-all", WINEDLLOVERRIDES="mscoree,mshtml=")
        self.drive_c = os.path.join(prefix, "drive_c")
        self.addCleanup(self.stop_wine)
        # Wine's services, started with the prefix, would hold a pipe to
        # them open.
        subprocess.run([ARGS.wine, "wineboot", "--init"], env=self.env, stdin=subprocess.DEVNULL,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, check=True, timeout=300)

    def stop_wine(self):
        for option in ("-k", "-w"):
            subprocess.run([WINESERVER, option], env=self.env, stderr=subprocess.DEVNULL)

    def installer(self, version, extra=None):
        """Builds the installer, for `version`, with the files of folder
        `extra` too."""
        folder = os.path.join(self.dir, "installer-" + version)
        options = ["-D", "CPACK_PACKAGE_VERSION=" + version, "-D", "CPACK_PACKAGE_FILE_NAME=xmlstamp-" + version]
        if extra:
            options += ["-D", "CPACK_INSTALLED_DIRECTORIES=%s;/" % extra]
        run(ARGS.cpack, "-G", "NSIS64", "--config", os.path.join(ARGS.build, "CPackConfig.cmake"),
                         "-B", folder, *options)
        [installer] = glob.glob(os.path.join(folder, "*-setup.exe"))
        [staged] = glob.glob(os.path.join(folder, "_CPack_Packages", "*", "NSIS64", "*-setup"))
        return installer, staged

    def wine(self, *args, cwd=None):
        """Runs a Windows program to its end: its exit status and output."""
        proc = subprocess.run([ARGS.wine, *args], cwd=cwd or self.dir, env=self.env, stdin=subprocess.DEVNULL,
                              stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, timeout=300)
        return proc.returncode, proc.stdout.decode(errors="replace")

    def install(self, installer, *options):
        self.assertEqual(self.wine(installer, "/S", *options), (0, ""))

    def uninstall(self):
        """Runs the uninstall command that Apps & features would, and waits for
        the copy of the uninstaller that does the work to remove the entry,
        its last step."""
        command = self.values(UNINSTALL + r"\xmlstamp")["QuietUninstallString"][1]
        program, option = re.fullmatch(r'"([^"]+)" (/S)', command).groups()
        self.assertEqual(self.wine(program, option), (0, ""))
        deadline = time.monotonic() + 120
        while self.values(UNINSTALL + r"\xmlstamp") is not None:
            self.assertLess(time.monotonic(), deadline, "the uninstaller did not finish")
            time.sleep(0.2)

    def values(self, key):
        """The values of a registry key, {name: (type, data)}, or None when
        there is no such key."""
        code, out = self.wine("reg", "query", key)
        if code != 0:
            return None
        lines = [line.strip().split("    ", 2) for line in out.splitlines()[2:] if line.startswith("    ")]
        return {line[0]: (line[1], line[2] if len(line) > 2 else "") for line in lines}

    def entries_named(self, name):
        """The Apps & features entries, keys under Uninstall, of that name."""
        _, out = self.wine("reg", "query", UNINSTALL, "/s")
        blocks = [block.strip("\r\n").splitlines() for block in out.split("\r\n\r\n")]
        return [block[0] for block in blocks if "    DisplayName    REG_SZ    " + name in block]

    def system_path(self):
        """Its type and value; names of values have no case."""
        [path] = [value for name, value in self.values(ENVIRONMENT).items() if name.lower() == "path"]
        return path

    def tree(self, folder):
        """The files and folders under `folder`, with a digest of each file's
        bytes."""
        found = {}
        for root, folders, files in os.walk(folder):
            for name in folders + files:
                path = os.path.join(root, name)
                relative = os.path.relpath(path, folder).replace(os.sep, "\\")
                if os.path.isdir(path):
                    found[relative] = None
                else:
                    with open(path, "rb") as f:
                        found[relative] = hashlib.sha256(f.read()).hexdigest()[:16]
        return found


class Lifecycle(InstallerCase):
    def test_upgrade_use_and_uninstall(self):
        extra = os.path.join(self.dir, "extra")
        os.makedirs(os.path.join(extra, "docs"))
        with open(os.path.join(extra, "docs", "retired.md"), "w") as f:
            f.write("A document that the next version no longer ships.\n")
        old, _ = self.installer("0.9.0", extra)
        new, staged = self.installer(ARGS.version)
        path_before = self.system_path()

        # Elsewhere, and the upgrade goes there too. /D= takes the rest of the
        # command line, unquoted, as a user types it.
        self.install(old, r"/D=C:\Tools\xml", "stamp")
        self.assertEqual(self.values(UNINSTALL + r"\xmlstamp")["DisplayVersion"], ("REG_SZ", "0.9.0"))
        self.install(new)
        self.assertFalse(os.path.exists(os.path.join(self.drive_c, "Program Files", "xmlstamp")))
        installed = os.path.join(self.drive_c, "Tools", "xml stamp")
        files = self.tree(installed)
        uninstaller_bytes = files.pop("Uninstall.exe", None)
        self.assertIsNotNone(uninstaller_bytes)
        self.assertEqual(files, self.tree(staged), "not the new version's files, or not only those")
        self.assertEqual(self.entries_named("xmlstamp"), [r"HKEY_LOCAL_MACHINE\%s\xmlstamp" % UNINSTALL[5:]])
        entry = self.values(UNINSTALL + r"\xmlstamp")
        expected = {"DisplayName": "xmlstamp", "DisplayVersion": ARGS.version, "Publisher": "The xmlstamp authors",
                    "UninstallString": r'"C:\Tools\xml stamp\Uninstall.exe"'}
        self.assertEqual({name: entry.get(name, (None, None))[1] for name in expected}, expected)
        self.assertEqual(self.system_path(), (path_before[0], path_before[1] + r";C:\Tools\xml stamp\bin"))
        # An installed version that cannot be removed fails the install,
        # which leaves it as it was.
        uninstaller = os.path.join(installed, "Uninstall.exe")
        os.rename(uninstaller, uninstaller + ".saved")
        shutil.copy(os.path.join(installed, "bin", "xmlstamp.exe"), uninstaller)  # exits 1 for these arguments
        self.assertEqual(self.wine(new, "/S"), (2, ""))
        os.replace(uninstaller + ".saved", uninstaller)
        self.assertEqual(self.tree(installed), dict(files, **{"Uninstall.exe": uninstaller_bytes}))

        # In a new console, by name alone; then a double click in bin and a
        # stamp of the user's own.
        self.assertEqual(self.wine("cmd", "/c", "xmlstamp-verify --version"), (0, "xmlstamp-verify %s\r\n" % ARGS.version))
        work = os.path.join(self.drive_c, "work")
        os.makedirs(os.path.join(work, "out"))
        with open(os.path.join(work, "unit.xml"), "wb") as f:
            f.write(b"abc")
        self.assertEqual(self.wine("cmd", "/c", r"xmlstamp unit.xml out\unit.xml", cwd=work), (0, ""))
        self.assertEqual(self.wine("cmd", "/c", r"xmlstamp-verify out\unit.xml", cwd=work),
                         (0, "out\\unit.xml: ok (317)\r\n"))
        stamped = self.tree(work)
        bin_folder = os.path.join(installed, "bin")
        self.assertEqual(self.wine(os.path.join(bin_folder, "xmlstamp.exe"), cwd=bin_folder),
                         (0, "Press any key to exit!"))
        user_file = self.tree(bin_folder)["out\\tovra.xml"]

        self.uninstall()
        self.assertEqual(self.tree(installed), {"bin": None, "bin\\out": None, "bin\\out\\tovra.xml": user_file})
        self.assertEqual(self.tree(work), stamped)
        self.assertEqual(self.entries_named("xmlstamp"), [])
        self.assertEqual(self.system_path(), path_before)
        self.assertNotEqual(self.wine("cmd", "/c", "xmlstamp-verify --version")[0], 0)


class SystemPath(InstallerCase):
    def test_the_system_path_is_kept_whole(self):
        installer, _ = self.installer(ARGS.version)
        default = self.system_path()[1]
        long_path = ";".join(r"C:\Tools\tool %03d\bin" % i for i in range(150))
        cases = [
            # (case, the PATH's type and value, its value once installed, once uninstalled)
            ("longer than NSIS's strings", "REG_EXPAND_SZ", long_path, long_path + ";" + BIN, long_path),
            ("ends with ;, of type REG_SZ", "REG_SZ", r"C:\a;C:\b;", r"C:\a;C:\b;" + BIN, r"C:\a;C:\b"),
            ("names it already", "REG_EXPAND_SZ", default + r";c:\program files\XMLSTAMP\bin\;C:\x",
             default + r";c:\program files\XMLSTAMP\bin\;C:\x", default + r";C:\x"),
            ("like names", "REG_EXPAND_SZ", BIN + r"2;%SystemRoot%;" + BIN[:-4],
             BIN + r"2;%SystemRoot%;" + BIN[:-4] + ";" + BIN, BIN + r"2;%SystemRoot%;" + BIN[:-4]),
            ("empty", "REG_EXPAND_SZ", "", BIN, ""),
        ]
        for case, kind, before, installed, uninstalled in cases:
            with self.subTest(case):
                self.assertEqual(self.wine("reg", "add", ENVIRONMENT, "/v", "Path", "/t", kind, "/d", before, "/f")[0], 0)
                self.install(installer)
                self.assertEqual(self.system_path(), (kind, installed))
                self.uninstall()
                self.assertEqual(self.system_path(), (kind, uninstalled))


if __name__ == "__main__":
    harness.main()
