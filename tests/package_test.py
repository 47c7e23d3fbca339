#!/usr/bin/env python3
"""What installing and the packages deliver, checked from the outside.

    package_test.py --build DIR --cmake PATH --cpack PATH --version X.Y.Z
                    [--binary EXE --description TEXT --config CONFIG] [--launcher CMD] TestCase...

ConsumerTest installs the build, moves the installed tree and builds a project
that stamps its configuration with find_package(xmlstamp). DebTest builds the
.deb and the .tar.gz, runs lintian, installs the .deb with dpkg into a root of
its own, runs its tools and removes it again. ZipTest builds the Windows .zip
and runs it as unpacked. ExeTest reads a Windows executable's resources and
symbols. ToolsOnlyTest builds the tools where GoogleTest is missing.
"""
import glob
import os
import re
import shutil
import struct
import subprocess
import tarfile
import unittest
import xml.etree.ElementTree as ET
import zipfile

import doc_links_test
import harness
from harness import ARGS, SAMPLE, SOURCE, checksum, run

DOCS = sorted(os.path.basename(path) for path in glob.glob(os.path.join(SOURCE, "docs", "*.md")))


def identity(path):
    """Changes whenever the file is written again: xmlstamp replaces it."""
    status = os.stat(path)
    return status.st_ino, status.st_mtime_ns


class PackageCase(harness.ToolTest):
    def cpack(self, generators, pattern):
        """Builds the packages and returns the one whose name ends in `pattern`."""
        run(ARGS.cpack, "-G", generators, "--config", os.path.join(ARGS.build, "CPackConfig.cmake"), "-B", self.dir)
        [package] = glob.glob(self.path("*" + pattern))
        return package

    def assert_documents_link(self, folder, suffix=""):
        """`folder` holds the README and docs/, each name ending in `suffix`,
        and their links lead to each other as in the source."""
        self.assertEqual(sorted(os.listdir(os.path.join(folder, "docs"))), [name + suffix for name in DOCS])
        documents = [os.path.join(folder, "README.md" + suffix)] + glob.glob(os.path.join(folder, "docs", "*"))
        self.assertEqual(doc_links_test.broken_links(documents), [])


class ConsumerTest(PackageCase):
    def test_find_package_stamps_as_a_build_step(self):
        staged, prefix = self.path("staged"), self.path("prefix")
        run(ARGS.cmake, "--install", ARGS.build, "--prefix", staged)
        os.rename(staged, prefix)
        for root, _, names in os.walk(prefix):
            for name in names:
                with open(os.path.join(root, name), "rb") as installed:
                    content = installed.read()
                for machine_path in {ARGS.build, os.path.realpath(ARGS.build), SOURCE, staged}:
                    self.assertNotIn(machine_path.encode(), content, name)
        self.assert_documents_link(os.path.join(prefix, "share", "doc", "xmlstamp"))

        source, build = self.path("source"), self.path("build")
        shutil.copytree(os.path.join(SOURCE, "tests", "consumer"), source)
        config = os.path.join(source, "unit.xml")
        with open(config, "wb") as f:
            f.write(b"abc")
        # CMake finds a prefix named on its command line, or whose bin is on PATH.
        path = dict(os.environ, PATH=os.path.join(prefix, "bin") + os.pathsep + os.environ["PATH"])
        ways = [(build, ["-DCMAKE_PREFIX_PATH=" + prefix], None), (self.path("on_path"), [], path)]
        for folder, options, env in ways:
            run(ARGS.cmake, "-S", source, "-B", folder, *options, env=env)
            with open(os.path.join(folder, "CMakeCache.txt")) as cache:
                self.assertIn("xmlstamp_DIR:PATH=%s/share/cmake/xmlstamp\n" % prefix, cache.read())
        run(ARGS.cmake, "--build", build)
        stamped = os.path.join(build, "stamped", "unit.xml")
        verify = os.path.join(prefix, "bin", "xmlstamp-verify")
        self.assertEqual(run(verify, stamped), stamped + ": ok (317)\n")

        before = identity(stamped)
        run(ARGS.cmake, "--build", build)
        self.assertEqual(identity(stamped), before, "a build with nothing changed stamped again")

        with open(config, "wb") as f:
            f.write(b"abcd")
        later = os.stat(stamped).st_mtime_ns + 2 * 10**9
        os.utime(config, ns=(later, later))
        run(ARGS.cmake, "--build", build)
        self.assertEqual(run(verify, stamped), stamped + ": ok (417)\n")


class DebTest(PackageCase):
    def test_deb_passes_lintian_and_its_tools_run(self):
        for program, package in (("dpkg-shlibdeps", "dpkg-dev"), ("file", "file"), ("lintian", "lintian")):
            harness.need(self, shutil.which(program), program, "apt-get install -y " + package)
        deb = self.cpack("DEB;TGZ", ".deb")
        # Not one tag, not even an informational or a pedantic one.
        lintian = subprocess.run(["lintian", "--pedantic", "-I", "--fail-on", "error,warning,info,pedantic", deb],
                                 stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        self.assertEqual((lintian.returncode, lintian.stdout), (0, ""), lintian.stderr)

        # Installed by dpkg into a root of its own, and removed at the end.
        root = self.path("root")
        os.makedirs(os.path.join(root, "var", "lib", "dpkg", "updates"))
        open(os.path.join(root, "var", "lib", "dpkg", "status"), "w").close()
        dpkg = ["dpkg", "--root=" + root, "--force-script-chrootless", "--force-not-root"]
        run(*dpkg, "--install", deb)
        # Debian compresses every document over 4 KB but the copyright file.
        doc = os.path.join(root, "usr", "share", "doc", "xmlstamp")
        plain = {name: os.path.getsize(os.path.join(folder, name)) for folder, _, names in os.walk(doc)
                 for name in names if not name.endswith(".gz") and name != "copyright"}
        self.assertEqual({name: size for name, size in plain.items() if size > 4096}, {})
        self.assert_documents_link(doc, ".gz")
        tool, verify = (os.path.join(root, "usr", "bin", name) for name in ("xmlstamp", "xmlstamp-verify"))
        stamped = self.path("tovra.xml")
        self.assertEqual(run(tool, SAMPLE, stamped), "")
        with open(SAMPLE, "rb") as f:
            self.assertEqual(run(verify, stamped), "%s: ok (%d)\n" % (stamped, checksum(f.read())))
        self.assertEqual(run(verify, "--version"), "xmlstamp-verify %s\n" % ARGS.version)
        # dpkg-shlibdeps finds the libraries of a dynamic build, and none of a
        # static one.
        linked = "NEEDED" in run("readelf", "--dynamic", tool)
        self.assertEqual(run("dpkg-deb", "--field", deb, "Depends").strip() != "", linked)
        run(*dpkg, "--remove", "xmlstamp")
        self.assertEqual(os.listdir(root), ["var"])
        self.assertEqual([os.path.join(folder, name) for folder, _, names in os.walk(os.path.join(root, "var"))
                          for name in names if "xmlstamp" in name], [])

        with tarfile.open(glob.glob(self.path("*.tar.gz"))[0]) as archive:
            names = {name.split("/", 1)[-1] for name in archive.getnames()}
        expected = {"bin/xmlstamp", "bin/xmlstamp-verify", "share/man/man1/xmlstamp.1.gz",
                    "share/man/man1/xmlstamp-verify.1.gz", "share/doc/xmlstamp/README.md", "share/doc/xmlstamp/NEWS.md",
                    "share/doc/xmlstamp/LICENSE", "share/cmake/xmlstamp/xmlstampConfig.cmake"}
        expected |= {"share/doc/xmlstamp/docs/" + name for name in DOCS}
        self.assertEqual(expected - names, set())


class ZipTest(PackageCase):
    def test_zip_holds_the_tools_and_works_by_double_click(self):
        unzipped = self.path("unzipped")
        with zipfile.ZipFile(self.cpack("ZIP", ".zip")) as archive:
            names = {name.split("/", 1)[-1] for name in archive.namelist()}
            archive.extractall(unzipped)
        expected = {"bin/xmlstamp.exe", "bin/xmlstamp-verify.exe", "bin/data/tovra.xml", "bin/out/", "README.md",
                    "NEWS.md", "LICENSE", "share/cmake/xmlstamp/xmlstampConfig.cmake"}
        self.assertEqual(expected - names, set())

        [top] = os.listdir(unzipped)
        self.assert_documents_link(os.path.join(unzipped, top))

        # A double click starts the tool in its own folder, with no arguments.
        folder = os.path.join(unzipped, top, "bin")
        launcher = harness.LAUNCHER
        self.assertEqual(run(*launcher, os.path.join(folder, "xmlstamp.exe"), cwd=folder), "Press any key to exit!")
        with open(SAMPLE, "rb") as f:
            line = "out/tovra.xml: ok (%d)\r\n" % checksum(f.read())
        self.assertEqual(run(*launcher, os.path.join(folder, "xmlstamp-verify.exe"), "out/tovra.xml", cwd=folder), line)


class ToolsOnlyTest(PackageCase):
    def test_the_tools_build_without_googletest(self):
        build = self.path("build")
        configured = run(ARGS.cmake, "-S", SOURCE, "-B", build, "-DCMAKE_DISABLE_FIND_PACKAGE_GTest=ON")
        self.assertEqual([line for line in configured.splitlines() if "GoogleTest" in line],
                         ["-- Tests off: they need GoogleTest and Python 3 (apt-get install -y libgtest-dev python3)"])
        run(ARGS.cmake, "--build", build, "-j2", "--target", "xmlstamp", "xmlstamp-verify")
        version = run(os.path.join(build, "xmlstamp-verify"), "--version")
        self.assertEqual(version, "xmlstamp-verify %s\n" % ARGS.version)
        self.assertEqual(run(os.path.join(build, "xmlstamp"), SAMPLE, self.path("out.xml")), "")


def pe_resources(data):
    """The symbol table's offset and count, and the resources as
    {(type, id): bytes}, the first language of each."""
    header = struct.unpack_from("<I", data, 0x3C)[0]
    assert data[header:header + 4] == b"PE\0\0", "not a PE file"
    _, sections, _, symbols, symbol_count, optional_size, _ = struct.unpack_from("<HHIIIHH", data, header + 4)
    table = header + 24 + optional_size
    for i in range(sections):
        name, _, address, _, start = struct.unpack_from("<8sIIII", data, table + 40 * i)
        if name.rstrip(b"\0") == b".rsrc":
            break
    else:
        return (symbols, symbol_count), {}

    def entries(offset):
        named, numbered = struct.unpack_from("<HH", data, start + offset + 12)
        for i in range(named + numbered):
            yield struct.unpack_from("<II", data, start + offset + 16 + 8 * i)

    resources = {}
    for kind, kind_dir in entries(0):
        for ident, ident_dir in entries(kind_dir & 0x7FFFFFFF):
            _, leaf = next(entries(ident_dir & 0x7FFFFFFF))
            rva, size = struct.unpack_from("<II", data, start + leaf)
            resources[(kind, ident)] = data[start + rva - address:start + rva - address + size]
    return (symbols, symbol_count), resources


class ExeTest(unittest.TestCase):
    def test_manifest_version_resource_and_no_symbols(self):
        with open(ARGS.binary, "rb") as f:
            symbols, resources = pe_resources(f.read())
        if ARGS.config == "Release":
            self.assertEqual(symbols, (0, 0), "a Release executable with a symbol table")

        manifest = resources.get((24, 1), b"")  # RT_MANIFEST, the one a process loads
        self.assertNotIn(b"activeCodePage", manifest)
        tree = ET.fromstring(manifest)
        supported = [e.get("Id") for e in tree.iter("{urn:schemas-microsoft-com:compatibility.v1}supportedOS")]
        self.assertEqual(supported, ["{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}"])
        long_paths = [e.text for e in tree.iter("{http://schemas.microsoft.com/SMI/2016/WindowsSettings}longPathAware")]
        self.assertEqual(long_paths, ["true"])

        text = resources.get((16, 1), b"").decode("utf-16-le")  # RT_VERSION
        strings = dict(re.findall(r"(FileDescription|ProductName|FileVersion)\0+([^\0]+)", text))
        self.assertEqual(strings, {"FileDescription": ARGS.description, "ProductName": "xmlstamp",
                                   "FileVersion": ARGS.version})


if __name__ == "__main__":
    harness.main()
