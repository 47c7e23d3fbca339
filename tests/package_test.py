#!/usr/bin/env python3
"""What installing delivers, checked from the outside.

    package_test.py --build DIR --cmake PATH --version X.Y.Z TestCase...

ConsumerTest installs the build, moves the installed tree and builds a project
that stamps its configuration with find_package(xmlstamp).
"""
import argparse
import os
import shutil
import subprocess
import sys
import tempfile
import unittest

SOURCE = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
ARGS = argparse.Namespace()


def run(*command):
    """Runs a command and returns its output; fails the test when it fails."""
    result = subprocess.run(command, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
    output = result.stdout.decode(errors="replace")
    if result.returncode != 0:
        raise AssertionError("%s exited with %d:\n%s" % (" ".join(command), result.returncode, output))
    return output


def identity(path):
    """Changes whenever the file is written again: xmlstamp replaces it."""
    status = os.stat(path)
    return status.st_ino, status.st_mtime_ns


class PackageCase(unittest.TestCase):
    def setUp(self):
        temporary = tempfile.TemporaryDirectory()
        self.addCleanup(temporary.cleanup)
        self.dir = os.path.realpath(temporary.name)

    def path(self, *names):
        return os.path.join(self.dir, *names)


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

        source, build = self.path("source"), self.path("build")
        shutil.copytree(os.path.join(SOURCE, "tests", "consumer"), source)
        config = os.path.join(source, "unit.xml")
        with open(config, "wb") as f:
            f.write(b"abc")
        run(ARGS.cmake, "-S", source, "-B", build, "-DCMAKE_PREFIX_PATH=" + prefix)
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


if __name__ == "__main__":
    parser = argparse.ArgumentParser()
    for option in ("--build", "--cmake", "--version"):
        parser.add_argument(option)
    ARGS, rest = parser.parse_known_args(namespace=ARGS)
    unittest.main(argv=[sys.argv[0], "-v"] + rest)
