#!/usr/bin/env python3
"""Fails every system call that xmlstamp makes after start-up, one at a time,
and ends runs with SIGTERM, SIGINT and SIGKILL at chosen calls. Each run must
either stamp correctly, or end with a message (or the signal) and leave every
file as it was, byte for byte and mode for mode, with nothing left over. A
clean run must stamp correctly, and flush the staged file before the rename
and the folder after, and a real failure of that last flush (EIO, ENOSPC)
must be reported with the stamp in place. A signal at any call of an
overwrite in place waits until the output is whole: old or stamped, never a
mix.

    fault_injection.py --binary PATH

Needs strace. Exits 77 (skipped) without it, unless CI is set.
"""
import os
import re
import resource
import shutil
import signal
import stat
import sys
import tempfile

import harness
from harness import occurrence, staging_descriptor, without_tmpfile

CONTENT = b"<config>\r\n  <item/>\r\n</config>\r\n"
STAMPED = harness.stamped(CONTENT)

# (scenario, files before (a link's content is its target's name; a device
# has none), arguments, the file that gets the stamp, or None for a device)
SCENARIOS = [
    ("new output", {"in.xml": (CONTENT, 0o644)}, ["in.xml", "out.xml"], "out.xml"),
    # Longer than the stamp: an overwrite cut short would leave old bytes after the new.
    ("existing output", {"in.xml": (CONTENT, 0o644), "out.xml": (b"<old/>\r\n" * 16, 0o640)},
     ["in.xml", "out.xml"], "out.xml"),
    ("in place", {"a.xml": (CONTENT, 0o600)}, ["a.xml", "a.xml"], "a.xml"),
    # Cut at its marker: the staged copy is shortened.
    ("stamped input", {"in.xml": (STAMPED + b"<junk/>", 0o644), "out.xml": (b"<old/>\r\n" * 16, 0o640)},
     ["in.xml", "out.xml"], "out.xml"),
    ("linked output", {"in.xml": (CONTENT, 0o644), "real.xml": (b"old", 0o640), "out.xml": ("real.xml", None)},
     ["in.xml", "out.xml"], "real.xml"),
    # Not /dev/null itself: a run that took it for a file would replace it.
    ("device output", {"in.xml": (CONTENT, 0o644), "null": (None, stat.S_IFCHR | 0o666)}, ["in.xml", "null"], None),
]


def with_stamp(files, target):
    """The files of a folder once `target` holds the stamp, in the mode it
    had; a device (no `target`) leaves them as they were."""
    if target is None:
        return dict(files)
    return dict(files, **{target: (STAMPED, files.get(target, (b"", 0o100644))[1])})


def snapshot(folder):
    """Each name's content and mode, or a link's target."""
    found = {}
    for name in os.listdir(folder):
        path = os.path.join(folder, name)
        if os.path.islink(path):
            found[name] = (os.readlink(path), None)
        elif stat.S_ISCHR(os.lstat(path).st_mode):
            found[name] = (None, os.lstat(path).st_mode)
        else:
            with open(path, "rb") as f:
                found[name] = (f.read(), os.stat(path).st_mode)
    return found


class Sweeps:
    """The runs made, and the failures found."""

    def __init__(self):
        self.failures = []
        self.runs = 0

    def run(self, files, args, strace_options):
        """Runs the tool under strace in a fresh folder holding `files`;
        returns the folder's files before and after, the exit status and what
        the tool printed."""
        with tempfile.TemporaryDirectory() as folder:
            for name, (content, mode) in files.items():
                if mode is None:
                    os.symlink(content, os.path.join(folder, name))
                    continue
                if content is None:
                    os.mknod(os.path.join(folder, name), mode, os.makedev(1, 3))  # /dev/null's
                    continue
                with open(os.path.join(folder, name), "wb") as f:
                    f.write(content)
                os.chmod(os.path.join(folder, name), mode)
            before = snapshot(folder)
            # A file left in the temporary folder shows in the snapshot.
            calls, proc = harness.traced(args, folder, strace_options, env={"TMPDIR": folder},
                                         preexec_fn=no_core_files)
            self.runs += 1
            return before, snapshot(folder), proc.returncode, proc.stdout, calls

    def check(self, label, files, args, target, strace_options, signal_number=None, may_fail_late=False,
              flush_after=False):
        """`flush_after`: the injection fails the flush that comes once the
        output has its new name, which no success may hide."""
        before, after, code, out, _ = self.run(files, args, strace_options)
        stamped = with_stamp(before, target)
        # A signal must end the run, held or not.
        if code == 0 and after == stamped and out == b"" and not signal_number and not flush_after:
            return
        # A failure says what it leaves: the old files, or, when the flush of
        # the folder after the rename fails, the stamp, not known to survive
        # a power cut.
        if signal_number:
            if code == -signal_number and (after == before or (may_fail_late and after == stamped)):
                return
        elif code == 1 and out.endswith(b" \n"):
            if out.startswith(b"can't ") and after == before and not flush_after:
                return
            if re.match(rb"the output file \S+ is in place, but may not be on disk \(", out) and after == stamped:
                return
        self.failures.append("%s: exit %s, %r, files %s" % (label, code, out, after if after != before else "as before"))

    def clean_run(self, name, files, args, target, extra):
        """The calls of a run with only the `extra` options, which must stamp
        correctly: a tool that always failed cleanly would pass every injection."""
        before, after, code, out, calls = self.run(files, args, list(extra))
        if (code, out, after) != (0, b"", with_stamp(before, target)):
            raise AssertionError("%s, without injection: exit %s, %r, files %s" % (
                name, code, out, after if after != before else "as before"))
        return calls

    def sweep(self, name, files, args, target, extra=()):
        """Fails each call of a clean run in turn; returns the clean run's calls."""
        calls = self.clean_run(name, files, args, target, extra)
        start = next(i for i, (call, _) in enumerate(calls) if call == "getcwd")
        late = flushes_after(calls)
        for i, call, when in injection_points(calls, extra, start):
            for error in ("EIO", "ENOSPC") if i in late else ("EIO",):
                inject = "inject=%s:error=%s:when=%d" % (call, error, when)
                self.check("%s, %s" % (name, inject), files, args, target, [*extra, "-e", inject],
                           flush_after=i in late)
        return calls

    def signal_sweep(self, name, files, args, target, extra, sig):
        """Delivers `sig` at each call after the last failure that `extra`
        injects, the refused rename that sends the output down the overwrite in
        place: wherever it arrives, the output is old or stamped, never a mix."""
        calls = self.clean_run(name, files, args, target, extra)
        refused = max(i for i, (_, result) in enumerate(calls) if result.endswith("(INJECTED)"))
        for _, call, when in injection_points(calls, extra, refused + 1):
            inject = "inject=%s:signal=%s:when=%d" % (call, sig.name, when)
            self.check("%s, %s" % (name, inject), files, args, target, [*extra, "-e", inject],
                       signal_number=sig, may_fail_late=True)


def no_core_files():
    resource.setrlimit(resource.RLIMIT_CORE, (0, 0))


def injection_points(calls, extra, start):
    """Each call from index `start` on that an injection can aim at, as its
    index, name and per-name count, which strace's `when` takes. The exit and
    the calls that `extra` already injects into are left out."""
    seen = {}
    for i, (call, _) in enumerate(calls):
        seen[call] = seen.get(call, 0) + 1
        if i >= start and call != "exit_group" and not any(call in option for option in extra):
            yield i, call, seen[call]


def flushes_after(calls):
    """The indexes of the flushes of a folder in `calls`: each comes once the
    output has its name there."""
    folders, found = set(), set()
    for i, (call, args) in enumerate(calls):
        opened = re.search(r"= (\d+)$", args)
        if call == "openat" and opened:
            (folders.add if "O_DIRECTORY" in args else folders.discard)(opened.group(1))
        elif call == "close":
            folders.discard(args.split(")")[0])
        elif call == "fsync" and args.split(")")[0] in folders:
            found.add(i)
    return found


def check_flush_order(sweeps, name, calls):
    """A success must survive a power cut: the staged file is flushed before
    the rename, and the folder that holds the new name after it."""
    staged = staging_descriptor(calls)
    renamed = next(i for i, (call, args) in enumerate(calls) if call == "renameat" and args.endswith("= 0"))
    folder = calls[renamed][1].split(",")[0]
    flushed = [(i, args.split(")")[0]) for i, (call, args) in enumerate(calls) if call == "fsync"]
    if not any(i < renamed and fd == staged for i, fd in flushed):
        sweeps.failures.append("%s: the staged file is not flushed before the rename" % name)
    if not any(i > renamed and fd == folder for i, fd in flushed):
        sweeps.failures.append("%s: the folder is not flushed after the rename" % name)


def fallbacks(name, calls):
    """What file systems that lack a call answer it (filesystems_test.py has
    them for real), as strace options for a run like `calls`: each sends the
    run its own way, which every failure must leave as clean as any other."""
    unread = "inject=openat:error=EACCES:when=%d" % occurrence(
        calls, {"openat"}, lambda args: args.split(", ")[1] == '"."' and "O_RDONLY|O_CLOEXEC|O_DIRECTORY" in args)[1]
    rows = [
        ("no rename", "inject=renameat:error=ENOSYS:when=1"),
        ("a rename that will not replace", "inject=renameat:error=EEXIST:when=1"),
        ("no flush", "inject=fsync:error=EINVAL"),
        ("a folder this user may not read", unread),
        ("no truncate", "inject=ftruncate:error=ENOSYS"),
    ]
    for lacks, inject in rows:
        if {"no truncate": name == "stamped input",
            "a rename that will not replace": name != "new output"}.get(lacks, True):
            yield lacks, ["-e", inject]


# Every signal that ends a process unless it is caught, but SIGKILL.
ENDING_SIGNALS = [signal.SIGHUP, signal.SIGINT, signal.SIGQUIT, signal.SIGILL, signal.SIGTRAP, signal.SIGABRT,
                  signal.SIGBUS, signal.SIGFPE, signal.SIGUSR1, signal.SIGSEGV, signal.SIGUSR2, signal.SIGPIPE,
                  signal.SIGALRM, signal.SIGTERM, signal.SIGSTKFLT, signal.SIGXCPU, signal.SIGXFSZ, signal.SIGVTALRM,
                  signal.SIGPROF, signal.SIGIO, signal.SIGPWR, signal.SIGSYS, signal.SIGRTMIN, signal.SIGRTMAX]


def sweep_file_scenario(sweeps, name, files, args, target):
    """Every failure and the signals that a run with a file as its output
    may meet, on each of the ways it may take."""
    calls = sweeps.sweep(name, files, args, target)
    # A refused rename sends the output down the overwrite in place, with
    # the old bytes kept aside to put back.
    in_place = ["-e", "inject=renameat:error=EBUSY:when=1"]
    if name != "new output":
        sweeps.sweep(name + ", overwritten in place", files, args, target, in_place)
    # The output's own ways; a link or the same file as input take no other.
    for lacks, extra in fallbacks(name, calls) if name in ("new output", "existing output", "stamped input") else ():
        sweeps.sweep("%s, %s" % (name, lacks), files, args, target, extra)
    # Without an unnamed file the staging file has a name from the start,
    # which a signal must take with it.
    no_tmpfile = without_tmpfile(calls)
    sweeps.sweep(name + ", named staging file", files, args, target, ["-e", no_tmpfile])
    # Signals wait while the output is overwritten in place.
    if name != "new output":
        for extra, sig in ((in_place, signal.SIGTERM), (in_place, signal.SIGINT),
                           (in_place + ["-e", no_tmpfile], signal.SIGTERM)):
            sweeps.signal_sweep("%s, %s" % (name, " ".join(extra)), files, args, target, extra, sig)
    check_flush_order(sweeps, name, calls)
    for extra in ([], ["-e", no_tmpfile]):
        for wanted in ({"copy_file_range", "write", "pwrite64"}, {"fsync"}):
            # Only an unnamed staging file can be left by kill -9 without a
            # trace; every signal that would end the run takes a named one.
            for sig in ENDING_SIGNALS if extra and "fsync" not in wanted else (
                    signal.SIGTERM, signal.SIGINT) + ((signal.SIGKILL,) if not extra else ()):
                call, when = occurrence(calls, wanted)
                inject = "inject=%s:signal=%d:when=%d" % (call, sig, when)
                sweeps.check("%s, %s %s" % (name, " ".join(extra), inject), files, args, target,
                              [*extra, "-e", inject], signal_number=sig)


def main():
    harness.configure(sys.argv)
    if shutil.which("strace") is None:
        print("Skipped: fault_injection needs strace (apt-get install -y strace)")
        return 1 if os.environ.get("CI") else harness.SKIPPED

    sweeps = Sweeps()
    for name, files, args, target in SCENARIOS:
        if target is None and os.geteuid() != 0:
            print("skipped %s: only root makes a device" % name)
        elif target is None:
            # A device: nothing is renamed; without an unnamed file in the
            # temporary folder, its stamp is held in memory.
            calls = sweeps.sweep(name, files, args, target)
            sweeps.sweep(name + ", in memory", files, args, target, ["-e", without_tmpfile(calls)])
        else:
            sweep_file_scenario(sweeps, name, files, args, target)
    for failure in sweeps.failures:
        print("FAILED", failure)
    print("%d runs, %d failed" % (sweeps.runs, len(sweeps.failures)))
    return 1 if sweeps.failures else 0


if __name__ == "__main__":
    sys.exit(main())
