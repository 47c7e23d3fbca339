#!/usr/bin/env python3
"""The release command, run in two clones of the last commit in folders of
different names, a few seconds apart, under different umasks and time zones,
signed with a throwaway code-signing certificate and GnuPG key: the two give
the same bytes, artifacts and executables alike, dated the commit's time, with
SHA256SUMS beside them and the names that the README gives, and every Windows
executable, the installer and what it unpacks carry a signature that
osslsigncode accepts. What differs is named, with diffoscope where it is
installed. Unsigned without the keys, a refusal for each key that cannot sign,
and the time that packages record where the source is not in git.

    release_test.py --cmake PATH --version X.Y.Z TestCase...

Changes that are not committed are not in the clones.
"""
import email.utils
import glob
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
               "build/release-linux-arm64/xmlstamp", "build/release-linux-arm64/xmlstamp-verify",
               "build/release-windows/xmlstamp.exe", "build/release-windows/xmlstamp-verify.exe"]
NEEDED = (("git", "git"), ("x86_64-w64-mingw32-g++-posix", "g++-mingw-w64-x86-64-posix"), ("makensis", "nsis"),
          ("dpkg-shlibdeps", "dpkg-dev"), ("sha256sum", "coreutils"), ("aarch64-linux-gnu-g++", "g++-aarch64-linux-gnu"),
          ("osslsigncode", "osslsigncode"), ("openssl", "openssl"), ("gpg", "gnupg"), ("7z", "7zip"))


def release(folder, umask, zone, env=(), status=0):
    """Runs the release command in the clone `folder` with `env` added to the
    environment; returns its output, its words joined by single blanks."""
    env = dict(os.environ, TZ=zone, **dict(env))
    env.pop("SOURCE_DATE_EPOCH", None)
    result = subprocess.run(["sh", "-c", "umask %s && exec \"$0\" -P cmake/release.cmake" % umask, ARGS.cmake],
                            cwd=folder, env=env, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                            stderr=subprocess.STDOUT, text=True, errors="replace")
    assert result.returncode == status, "exited with %d, not %d:\n%s" % (result.returncode, status, result.stdout)
    return " ".join(result.stdout.split())


class Reproducible(harness.ToolTest):
    def keys(self):
        """A throwaway CA, code-signing certificates good and bad in PKCS#12
        files with a password, and a GnuPG key; the environment that signs
        with the good ones."""
        def openssl(*args):
            run("openssl", *args, cwd=self.dir)
        self.put("password", b"secret\n")
        openssl("req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", "ca.key", "-out", "ca.pem", "-subj", "/CN=CA")
        # (the file, its extended key usage, the days it is valid: -1 ended yesterday)
        for name, usage, days in (("good", "codeSigning", 2), ("server", "serverAuth", 2), ("expired", "codeSigning", -1)):
            self.put(name + ".ext", b"keyUsage=digitalSignature\nextendedKeyUsage=%s\n" % usage.encode())
            openssl("req", "-newkey", "rsa:2048", "-nodes", "-keyout", name + ".key", "-out", name + ".csr", "-subj",
                    "/CN=" + name)
            openssl("x509", "-req", "-in", name + ".csr", "-CA", "ca.pem", "-CAkey", "ca.key", "-days", str(days),
                    "-extfile", name + ".ext", "-out", name + ".pem")
            openssl("pkcs12", "-export", "-inkey", name + ".key", "-in", name + ".pem", "-certfile", "ca.pem",
                    "-passout", "file:password", "-out", name + ".p12")
        home = self.path("gnupg")
        os.mkdir(home, 0o700)
        self.addCleanup(subprocess.run, ["gpgconf", "--kill", "gpg-agent"], env=dict(os.environ, GNUPGHOME=home))
        run("gpg", "--batch", "--passphrase", "", "--quick-generate-key", "Release <release@example.org>", "rsa2048",
            "sign", "never", env=dict(os.environ, GNUPGHOME=home))
        return {"XMLSTAMP_SIGN_PKCS12": self.path("good.p12"), "XMLSTAMP_SIGN_PASSWORD_FILE": self.path("password"),
                "XMLSTAMP_GPG_KEY": "release@example.org", "GNUPGHOME": home}

    def signatures(self, artifacts):
        """What osslsigncode says of the installer and of each Windows
        executable in it or in the .zip: {name: "signed", "unsigned" or its
        complaint}."""
        unpacked = self.path("unpacked")
        shutil.rmtree(unpacked, ignore_errors=True)
        os.mkdir(unpacked)
        for archive in glob.glob(os.path.join(artifacts, "*-setup.exe")) + glob.glob(os.path.join(artifacts, "*.zip")):
            run("7z", "x", "-o" + unpacked, shutil.copy(archive, unpacked))
        verdicts = {}
        for path in glob.glob(unpacked + "/**/*.[ed][xl][el]", recursive=True):
            out = subprocess.run(["osslsigncode", "verify", "-CAfile", self.path("ca.pem"), "-in", path],
                                 stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True).stdout
            verdicts[os.path.relpath(path, unpacked)] = ("signed" if out.endswith("\nSucceeded\n") else
                                                         "unsigned" if "No signature found" in out else out[-300:])
        return verdicts

    def test_two_releases_give_the_same_bytes(self):
        for program, package in NEEDED:
            harness.need(self, shutil.which(program), program, "apt-get install -y " + package)
        version = ARGS.version
        keys = self.keys()
        first = self.path("first/xmlstamp")
        second = self.path("a second folder/deeper/src")
        commit = run("git", "-C", SOURCE, "rev-parse", "HEAD").strip()
        for folder in (first, second):
            run("git", "clone", "--quiet", SOURCE, folder)
            run("git", "-C", folder, "checkout", "--quiet", "--detach", commit)
        artifacts = os.path.join(first, "build", "release-artifacts")

        # Without the keys: unsigned, and it says so.
        self.assertIn("-- Not signed, as nothing asks for it: the Windows executables and the installer "
                      "(XMLSTAMP_SIGN_PKCS12) and SHA256SUMS (XMLSTAMP_GPG_KEY)", release(first, "022", "UTC"))
        unsigned = self.signatures(artifacts)
        self.assertEqual(set(unsigned.values()), {"unsigned"})
        with open(os.path.join(artifacts, "SHA256SUMS")) as f:
            unsigned_sums = f.read().splitlines()

        # A key that cannot sign, or a signature that cannot be made (no
        # timestamp server answers), fails the release with its reason, and no
        # SHA256SUMS lists what it left.
        self.put("wrong", b"guessed\n")
        cases = [
            # (what differs from the keys' environment, what the release says)
            ({"XMLSTAMP_SIGN_PASSWORD_FILE": self.path("wrong")}, "with the password in \"%s\" (Mac verify error: "
                                                                  "invalid password?)" % self.path("wrong")),
            ({"XMLSTAMP_SIGN_PKCS12": self.path("server.p12")}, "is not for signing code: its extended key usage "
                                                                "lacks Code Signing"),
            ({"XMLSTAMP_SIGN_PKCS12": self.path("expired.p12")}, "CN = expired in \"%s\" expired on"
                                                                 % self.path("expired.p12")),
            ({"XMLSTAMP_GPG_KEY": "nobody@example.org"}, "GNUPGHOME has no secret key by that name"),
            ({"XMLSTAMP_SIGN_TIMESTAMP_URL": "http://127.0.0.1:9/"}, "osslsigncode could not sign"),
        ]
        for change, reason in cases:
            with self.subTest(reason):
                said = release(first, "022", "UTC", dict(keys, **change), status=1)
                self.assertIn(reason, said.split("Can't sign the release: ", 1)[-1])
                self.assertFalse(os.path.exists(os.path.join(artifacts, "SHA256SUMS")))
                # A key is checked before anything is built; osslsigncode's own words are shown.
                self.assertEqual(("== release-linux" in said, "RFC 3161 timestamping failed" in said),
                                 ("XMLSTAMP_SIGN_TIMESTAMP_URL" in change,) * 2)

        release(first, "022", "UTC", keys)
        time.sleep(2)
        release(second, "077", "Asia/Tokyo", keys)

        names = sorted(os.listdir(artifacts))
        self.assertEqual(names, ["SHA256SUMS", "SHA256SUMS.asc", "xmlstamp-%s-Linux-aarch64.tar.gz" % version,
                                 "xmlstamp-%s-Linux-x86_64.tar.gz" % version, "xmlstamp-%s-win64-setup.exe" % version,
                                 "xmlstamp-%s-win64.zip" % version, "xmlstamp_%s_amd64.deb" % version,
                                 "xmlstamp_%s_arm64.deb" % version])
        self.assertEqual(run("sha256sum", "-c", "SHA256SUMS", cwd=artifacts),
                         "".join("%s: OK\n" % name for name in names[2:]))
        self.assertIn('Good signature from "Release <release@example.org>"',
                      run("gpg", "--verify", "SHA256SUMS.asc", "SHA256SUMS", cwd=artifacts, env=dict(os.environ, **keys)))
        with open(os.path.join(artifacts, "SHA256SUMS")) as f:
            signed_sums = f.read().splitlines()
        self.assertEqual([line.split()[1] for line in unsigned_sums if line not in signed_sums], names[4:6],
                         "signing changed more than the Windows artifacts")
        signed = self.signatures(artifacts)
        self.assertEqual(signed, dict.fromkeys(unsigned, "signed"))
        self.assertLessEqual({"xmlstamp-%s-win64/bin/xmlstamp.exe" % version, "Uninstall.exe",
                              "$PLUGINSDIR/path-entry.exe", "$PLUGINSDIR/UserInfo.dll"}, set(signed))
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
        for name in names[2:4]:
            with tarfile.open(os.path.join(artifacts, name)) as archive:
                self.assertEqual({member.mtime for member in archive.getmembers()}, {epoch})
        with zipfile.ZipFile(os.path.join(artifacts, names[5])) as archive:
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
