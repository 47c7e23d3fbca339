#!/usr/bin/env python3
"""The release command, run in two clones of the last commit in folders of
different names, a few seconds apart, under different umasks and time zones:
the two give the same bytes, artifacts and executables alike, dated the
commit's time, with SHA256SUMS beside them and the names that the README
gives. What differs is named, with diffoscope where it is installed. And the
time that packages record where the source is not in git.

    release_test.py --cmake PATH --version X.Y.Z TestCase...

Changes that are not committed are not in the clones.
"""
import email.utils
import os
import re
import shutil
import subprocess
import tarfile
import time
import zipfile

import harness
from harness import ARGS, SOURCE, run

EXECUTABLES = ["build/release-linux/xmlstamp", "build/release-linux/xmlstamp-verify",
               "build/release-windows/xmlstamp.exe", "build/release-windows/xmlstamp-verify.exe"]


def release(folder, umask, zone):
    """Clones the last commit into `folder` and runs the release command
    there; returns the artifacts folder."""
    commit = run("git", "-C", SOURCE, "rev-parse", "HEAD").strip()
    run("git", "clone", "--quiet", SOURCE, folder)
    run("git", "-C", folder, "checkout", "--quiet", "--detach", commit)
    env = dict(os.environ, TZ=zone)
    env.pop("SOURCE_DATE_EPOCH", None)
    run("sh", "-c", "umask %s && exec \"$0\" -P cmake/release.cmake" % umask, ARGS.cmake, cwd=folder, env=env)
    return os.path.join(folder, "build", "release-artifacts")


class Reproducible(harness.ToolTest):
    def test_two_releases_give_the_same_bytes(self):
        for program, package in (("git", "git"), ("x86_64-w64-mingw32-g++-posix", "g++-mingw-w64-x86-64-posix"),
                                 ("makensis", "nsis"), ("dpkg-shlibdeps", "dpkg-dev"), ("sha256sum", "coreutils")):
            harness.need(self, shutil.which(program), program, "apt-get install -y " + package)
        first = self.path("first/xmlstamp")
        second = self.path("a second folder/deeper/src")
        artifacts = release(first, "022", "UTC")
        time.sleep(2)
        release(second, "077", "Asia/Tokyo")

        names = sorted(os.listdir(artifacts))
        version = ARGS.version
        self.assertEqual(names, ["SHA256SUMS", "xmlstamp-%s-Linux.tar.gz" % version,
                                 "xmlstamp-%s-win64-setup.exe" % version, "xmlstamp-%s-win64.zip" % version,
                                 "xmlstamp_%s_amd64.deb" % version])
        self.assertEqual(run("sha256sum", "-c", "SHA256SUMS", cwd=artifacts),
                         "".join("%s: OK\n" % name for name in names[1:]))
        with open(os.path.join(first, "README.md")) as f:
            named = set(re.findall(r"xmlstamp[-_][0-9][\w.-]*\.(?:exe|zip|deb|tar\.gz)", f.read()))
        self.assertEqual(named - set(names), set(), "the README names what the release does not make")
        different = []
        for name in [os.path.join("build", "release-artifacts", name) for name in names] + EXECUTABLES:
            with open(os.path.join(first, name), "rb") as a, open(os.path.join(second, name), "rb") as b:
                if a.read() != b.read():
                    different.append(name)
        self.assertEqual(different, [], "\n".join(self.explain(first, second, name) for name in different))

        # Dated the commit's time.
        epoch = int(run("git", "-C", first, "log", "-1", "--format=%ct"))
        with tarfile.open(os.path.join(artifacts, names[1])) as archive:
            self.assertEqual({member.mtime for member in archive.getmembers()}, {epoch})
        with zipfile.ZipFile(os.path.join(artifacts, names[3])) as archive:
            self.assertEqual({member.date_time for member in archive.infolist()},
                             {time.gmtime(epoch - epoch % 2)[:6]})

    def explain(self, first, second, name):
        if not shutil.which("diffoscope"):
            return "%s differs (apt-get install -y diffoscope says how)" % name
        result = subprocess.run(["diffoscope", "--no-progress", os.path.join(first, name),
                                 os.path.join(second, name)], stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                                text=True, errors="replace", timeout=600)
        return result.stdout[:4000]


class SourceDateEpoch(harness.ToolTest):
    def test_the_time_packages_record(self):
        # A source outside git, dated by its changelog's latest entry.
        folder = self.dir
        os.makedirs(os.path.join(folder, "cmake", "debian"))
        with open(shutil.copy(os.path.join(SOURCE, "cmake", "debian", "changelog"), folder + "/cmake/debian")) as f:
            dated = email.utils.parsedate_to_datetime(re.search(r"^ -- .*>  (.*)$", f.read(), re.M).group(1))
        with open(os.path.join(folder, "epoch.cmake"), "w") as f:
            f.write('set(CPACK_XMLSTAMP_SOURCE_DIR "%s")\ninclude("%s/cmake/cpack-options.cmake")\n'
                    'message("$ENV{SOURCE_DATE_EPOCH}")\n' % (folder, SOURCE))
        cases = [
            # (SOURCE_DATE_EPOCH in the environment, cpack's exit status, a line it prints)
            ("1234567890", 0, "1234567890"),
            (None, 0, "%d" % dated.timestamp()),
            ("tomorrow", 1, 'SOURCE_DATE_EPOCH is "tomorrow", not a number of seconds since 1970'),
        ]
        for given, status, line in cases:
            with self.subTest(given):
                env = {name: value for name, value in os.environ.items() if name != "SOURCE_DATE_EPOCH"}
                env.update({"SOURCE_DATE_EPOCH": given} if given is not None else {})
                result = subprocess.run([ARGS.cmake, "-P", "epoch.cmake"], cwd=folder, env=env,
                                        stdin=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
                printed = [text.strip() for text in result.stderr.splitlines()]
                self.assertEqual((result.returncode, line in printed), (status, True), result.stderr)


if __name__ == "__main__":
    harness.main()
