#!/usr/bin/env python3
"""What every Python test builds on: the options CTest gives a script (see
configure), the stamp a correct run writes, and running the tools in a fresh
folder, as another user, with limits, under strace or Wine, to compare their
output, exit status and files byte for byte. A script ends with main().
"""
import argparse
import contextlib
import functools
import os
import re
import resource
import shlex
import shutil
import signal
import subprocess
import sys
import tempfile
import unittest
import unittest.mock

import runner

# A test that lacks a tool or a locale skips with the package that brings
# it, or fails under CI; a script's status for a skip.
need, SKIPPED = runner.need, runner.SKIPPED
ARGS = argparse.Namespace()
BINARY = VERIFY = HELPER = ""
LAUNCHER = []
WINDOWS, PLATFORM = False, "posix"  # PLATFORM: "windows" or "posix", as a class's `system` says
SOURCE = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
SAMPLE = os.path.join(SOURCE, "data", "tovra.xml")

MARKER = b"<!--CRC Config-->"
PROMPT = b"Press any key to exit!"
# A name that retitles and clears a terminal shown raw, one with the C1 CSI in
# UTF-8, and one whose UTF-8 has bytes 80 to 9F that are no control; each as
# the tools show it.
RETITLES = ("no\x1b]0;pwned\x07\x1b[2Jsuch", b"no\\x1b]0;pwned\\x07\\x1b[2Jsuch")
CSI = ("c\u009b31m", b"c\\xc2\\x9b31m")
PLAIN = ("\u0100\u0400 \U0001F600", "\u0100\u0400 \U0001F600".encode())

# LeakSanitizer cannot work under strace.
UNDER_PTRACE = dict(os.environ, ASAN_OPTIONS="detect_leaks=0")
CALL = re.compile(r"^(?:\d+ +)?(\w+)\((.*)")
HIDDEN, SYSTEM = 0x2, 0x4


def body(content):
    """What a stamp of `content` sums: up to its first marker, or all of it
    and CR LF."""
    at = content.find(MARKER)
    return content + b"\r\n" if at < 0 else content[:at]


def checksum(content):
    return sum(body(content)) % 2**32


def stamped(content):
    """What a correct stamp of `content` is, computed independently."""
    return body(content) + MARKER + b"\r\n<CRC key='CheckNum' value='%d'>" % checksum(content)


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


def limited(file_size=None, memory=None, cgroup=None, then=close_stdin):
    """What a child runs before the tool: a largest file it may write (its
    signal ignored, so that the write fails), a largest address space, a
    cgroup to join."""
    def preexec():
        if cgroup:
            with open(cgroup, "w") as f:
                f.write(str(os.getpid()))
        if file_size:
            signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
            resource.setrlimit(resource.RLIMIT_FSIZE, (file_size, file_size))
        if memory:
            resource.setrlimit(resource.RLIMIT_AS, (memory, memory))
        then()
    return preexec


def run(*command, cwd=None, env=None):
    """Runs a command and returns its output; fails the test when it fails."""
    result = subprocess.run(command, cwd=cwd, env=env, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                            stderr=subprocess.STDOUT)
    output = result.stdout.decode(errors="replace")
    if result.returncode != 0:
        raise AssertionError("%s exited with %d:\n%s" % (" ".join(command), result.returncode, output))
    return output


def traced(args, cwd, options=(), env=(), **run):
    """A run of the tool under strace with its `options`: the calls it
    made, each its name and its arguments and result, and its outcome."""
    trace = os.path.join(tempfile.gettempdir(), "xmlstamp-trace-%d" % os.getpid())
    proc = subprocess.run(["strace", "-f", "-qq", "-o", trace, *options, BINARY, *args], cwd=cwd,
                          stdin=subprocess.DEVNULL, capture_output=True, timeout=60, env=dict(UNDER_PTRACE, **dict(env)),
                          **run)
    with open(trace) as f:
        calls = [m.groups() for m in map(CALL.match, f) if m]
    os.remove(trace)
    return calls, proc


def need_strace(test):
    """strace traces what it starts: the tool itself, not an emulator."""
    if LAUNCHER:
        test.skipTest("strace would trace the emulator that runs the tool")
    need(test, shutil.which("strace"), "strace", "apt-get install -y strace")


def occurrence(calls, wanted, test=lambda args: True, nth=1):
    """The name and the per-name count, which strace's `when` takes, of the
    nth call in `wanted` whose arguments pass `test`."""
    seen = {}
    for call, args in calls:
        seen[call] = seen.get(call, 0) + 1
        if call in wanted and test(args):
            nth -= 1
            if nth == 0:
                return call, seen[call]
    raise AssertionError("no call among %s" % (wanted,))


def without_tmpfile(calls):
    """The strace option that fails the first unnamed file a run like `calls`
    creates, as a file system without them does."""
    return "inject=openat:error=EOPNOTSUPP:when=%d" % occurrence(calls, {"openat"}, lambda a: "O_TMPFILE" in a)[1]


def staging_descriptor(calls):
    """The descriptor of the unnamed staging file of a run like `calls`."""
    return next(re.search(r"= (\d+)$", args).group(1) for call, args in calls if call == "openat" and "O_TMPFILE" in args)


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


class ToolTest(unittest.TestCase):
    """A test in a fresh folder of its own, removed at its end, after what
    the test set up in it is undone."""
    system = None  # "posix" or "windows" for a class of what only that system has
    root = False  # True for a class whose tests need root

    def setUp(self):
        if self.system not in (None, PLATFORM):
            self.skipTest("%s only" % self.system)
        if self.root:
            self.need_root()
        folder = tempfile.TemporaryDirectory()
        self.addCleanup(folder.cleanup)
        self.dir = os.path.realpath(folder.name)

    def reset(self):
        """Undoes what the test set up so far, in a fresh folder."""
        self.doCleanups()
        self.setUp()

    def need_root(self):
        if os.geteuid() != 0:
            self.skipTest("needs root")

    def mount(self, *args):
        """Runs mount with `args`, the last of them the mount point, which
        the test's end unmounts."""
        subprocess.run(["mount", *args], check=True)
        self.addCleanup(subprocess.run, ["umount", args[-1]], check=True)

    def locked_down(self, output):
        """Makes the folder of `output` a 64 KiB file system of its own, in
        which anyone may write `output` ("old") but only root make a file."""
        folder = os.path.dirname(self.path(output))
        os.makedirs(folder)
        self.mount("-t", "tmpfs", "-o", "size=64k", "tmpfs", folder)
        self.put(output, b"old")
        os.chmod(self.path(output), 0o666)
        os.chmod(folder, 0o555)

    def path(self, name):
        return os.path.join(self.dir, name)

    def put(self, name, content):
        os.makedirs(os.path.dirname(self.path(name)), exist_ok=True)
        with open(self.path(name), "wb") as f:
            f.write(content)

    def make(self, files):
        """Makes `files`, {name: what tree() gives for it}: bytes, "dir" for
        a folder, "-> TARGET" for a link."""
        for name, content in files.items():
            if content == "dir":
                os.makedirs(self.path(name), exist_ok=True)
            elif isinstance(content, str):
                os.makedirs(os.path.dirname(self.path(name)), exist_ok=True)
                os.symlink(content[3:], self.path(name))
            else:
                self.put(name, content)

    def assertLeavesFiles(self, files, args, outcome, **options):
        """Runs the tool with `args` in a fresh folder holding `files`: it
        gives `outcome` and leaves every file as it was."""
        self.reset()
        self.make(files)
        before = self.tree()
        self.assertEqual(self.run_tool(*args, **options), outcome)
        self.assertEqual(self.tree(), before)

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

    def run_tool(self, *args, preexec=close_stdin, stdin=None, cwd=None, timeout=60):
        code, out, _ = self.run_program(BINARY, args, preexec, stdin, cwd, timeout)
        return code, out

    def run_program(self, program, args, preexec=close_stdin, stdin=None, cwd=None, timeout=60, env=None):
        proc = subprocess.run(LAUNCHER + [program, *args], cwd=cwd or self.dir, stdin=stdin, env=env,
                              stdout=subprocess.PIPE, stderr=subprocess.PIPE, preexec_fn=preexec, timeout=timeout)
        return proc.returncode, self.text(proc.stdout), self.text(proc.stderr)

    def run_as_nobody(self, *args):
        """Runs the tool as uid 65534, which unlike root is refused what its
        permissions refuse; from a copy that user can reach, wherever the build
        tree is. Wine runs it in a prefix of that user's own."""
        if os.geteuid() != 0:
            return self.run_tool(*args)
        if WINDOWS:
            os.chmod(self.dir, 0o777)
            with wine_of_nobody() as run:
                code, out = run(self.dir, *args, timeout=120)
            return code, self.text(out)
        reachable = tempfile.TemporaryDirectory()
        self.addCleanup(reachable.cleanup)
        os.chmod(reachable.name, 0o755)
        code, out, _ = self.run_program(shutil.copy(BINARY, reachable.name), args, as_nobody)
        return code, out

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


def wine_prefix():
    """The Wine prefix that the launcher runs the tools in: the build's own."""
    return os.environ.get("WINEPREFIX") or os.path.join(os.path.dirname(LAUNCHER[0]), "wineprefix")


def windows_path(path):
    """Wine shows the Unix root as drive Z:."""
    return "Z:" + path.replace("/", "\\")


def deep(levels):
    """A relative folder path of about 62 characters a level."""
    return "/".join("%d%s" % (i, "ü" * 60) for i in range(levels))


class WindowsTest(ToolTest):
    """What only the Windows executable does, helped by windows_helper (built
    beside it from tests/windows_helper.cpp), under the locale's code page."""
    system = "windows"

    @classmethod
    def setUpClass(cls):
        # Wine takes names from the system through the locale's character set.
        cls.enterClassContext(unittest.mock.patch.dict(os.environ, LANG="C.UTF-8"))
        os.environ.pop("LC_ALL", None)

    def run_in(self, lang, program, *args, cwd=None):
        code, out, _ = self.run_program(program, args, None, subprocess.DEVNULL, cwd, env=dict(os.environ, LANG=lang))
        return code, out

    def helper(self, *args, lang="C.UTF-8"):
        code, out = self.run_in(lang, HELPER, *args)
        self.assertEqual(code, 0, args)
        return out.decode().strip()

    def attributes(self, name, *change):
        return int(self.helper("attributes", "\\\\?\\" + windows_path(self.path(name)), *change), 16)

    def leftovers(self):
        return [name for name in self.tree() if name.endswith(".tmp")]


def configure(argv):
    """Takes the options that any script is given from `argv` into this
    module; returns the rest, for unittest. The launcher (the build's
    wine-run, say) runs a binary built for another system; a .exe is tested
    as Windows behaves."""
    global BINARY, VERIFY, HELPER, LAUNCHER, WINDOWS, PLATFORM
    parser = argparse.ArgumentParser(description=sys.modules["__main__"].__doc__.splitlines()[0],
                                     allow_abbrev=False)
    # The tools, the Windows helper and what runs them; what the package
    # tests build and run with.
    for option in ("--binary", "--verify", "--helper", "--launcher", "--build", "--cmake", "--cpack", "--version",
                   "--wine", "--makensis", "--description", "--config"):
        parser.add_argument(option, default="")
    parser.add_argument("--sanitized", action="store_true", help="the tools are built with AddressSanitizer")
    args, rest = parser.parse_known_args(argv[1:], namespace=ARGS)
    BINARY, VERIFY, HELPER = (os.path.abspath(path) if path else "" for path in (args.binary, args.verify, args.helper))
    LAUNCHER = shlex.split(args.launcher)
    if LAUNCHER and os.sep in LAUNCHER[0]:
        LAUNCHER[0] = os.path.abspath(LAUNCHER[0])
    WINDOWS = BINARY.lower().endswith(".exe")
    PLATFORM = "windows" if WINDOWS else "posix"
    return [argv[0], *rest]


def main():
    """Runs the tests of the script being run, as CTest asks (tests/runner.py)."""
    runner.main(configure([sys.argv[0], "-v", *sys.argv[1:]]))
