#!/usr/bin/env python3
"""Fails every system call that xmlstamp makes after start-up, one at a time,
and ends runs with SIGTERM, SIGINT and SIGKILL at chosen calls; on Windows,
every file and handle call of the pass, with the errors Windows gives in the
field, and ends the run right after each as TerminateProcess does. Each run must
either stamp correctly, or end with a message (or the signal) and leave every
file as it was, byte for byte and mode for mode, with nothing left over. A
clean run must stamp correctly, and flush the staged file before the rename
and the folder after, and a real failure of that last flush (EIO, ENOSPC)
must be reported with the stamp in place. A signal at any call of an
overwrite in place waits until the output is whole: old or stamped, never a
mix.

    fault_injection.py --binary PATH [--launcher WINE-RUN]

POSIX needs strace, and exits 77 (skipped) without it, unless CI is set; the
Windows build to sweep is xmlstamp-faults.exe, whose calls the test-only hook
of tests/fault_hook-win32.cpp fails.
"""
import glob
import os
import re
import resource
import shutil
import signal
import stat
import subprocess
import sys
import tempfile
import time

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


# Windows: the errors a hooked call fails with (its hook ends the run after a
# call with the status KILLED); a file's state is "", "hidden" or "read-only".
WINDOWS_ERRORS = {"access denied": 5, "sharing violation": 32, "lock violation": 33, "disk full": 112,
                  "network name gone": 64, "unexpected network error": 59, "I/O device error": 1117}
KILLED = 9
OLD = b"<old/>\r\n" * 16
LONG = harness.deep(5) + "/out.xml"  # over 260 characters from the root
WINDOWS_SCENARIOS = [
    ("new output", {"in.xml": (CONTENT, "")}, ["in.xml", "out.xml"], "out.xml"),
    ("existing output", {"in.xml": (CONTENT, ""), "out.xml": (OLD, "")}, ["in.xml", "out.xml"], "out.xml"),
    ("hidden output", {"in.xml": (CONTENT, ""), "out.xml": (OLD, "hidden")}, ["in.xml", "out.xml"], "out.xml"),
    # Wine run by root, as here, writes a read-only file, as root does.
    ("read-only output", {"in.xml": (CONTENT, ""), "out.xml": (OLD, "read-only")}, ["in.xml", "out.xml"],
     "out.xml"),
    ("in place", {"a.xml": (CONTENT, "")}, ["a.xml", "a.xml"], "a.xml"),
    ("long path", {"in.xml": (CONTENT, ""), LONG: (OLD, "")}, ["in.xml", LONG], LONG),
]


def with_stamp(files, target):
    """The files of a folder once `target` holds the stamp, in the mode it
    had; a device (no `target`) leaves them as they were."""
    if target is None:
        return dict(files)
    return dict(files, **{target: (STAMPED, files.get(target, (b"", "" if harness.WINDOWS else 0o100644))[1])})


def make(folder, name, content, mode):
    path = os.path.join(folder, name)
    os.makedirs(os.path.dirname(path), exist_ok=True)
    if mode is None:
        os.symlink(content, path)
    elif content is None:
        os.mknod(path, mode, os.makedev(1, 3))  # /dev/null's
    else:
        with open(path, "wb") as f:
            f.write(content)
        if mode == "hidden":
            os.setxattr(path, "user.DOSATTRIB", b"0x2")  # where Wine keeps it
        os.chmod(path, {"": 0o644, "hidden": 0o644, "read-only": 0o444}.get(mode, mode))


def snapshot(folder):
    """Each file's content and mode (on Windows, its state), a link's target."""
    found = {}
    for root, _, names in os.walk(folder):
        for name in names:
            path = os.path.join(root, name)
            key = os.path.relpath(path, folder)
            if os.path.islink(path):
                found[key] = (os.readlink(path), None)
            elif stat.S_ISCHR(os.lstat(path).st_mode):
                found[key] = (None, os.lstat(path).st_mode)
            else:
                with open(path, "rb") as f:
                    found[key] = (f.read(), windows_state(path) if harness.WINDOWS else os.stat(path).st_mode)
    return found


def windows_state(path):
    if not os.stat(path).st_mode & 0o200:
        return "read-only"
    hidden = "user.DOSATTRIB" in os.listxattr(path) and int(os.getxattr(path, "user.DOSATTRIB"), 16) & harness.HIDDEN
    return "hidden" if hidden else ""


def hooked(args, folder, faults, names):
    """A run of the Windows build under Wine, its hook failing `faults`: the
    calls it made, each its name and what it did, and its outcome. A staging
    file left in Wine's temporary folder is added to the calls as "left".
    `names`: the files in `folder` before."""
    # Once in some thousand starts Wine fails to start the program (status 1,
    # nothing printed): a run that made no call never reached the tool.
    for _ in range(3):
        with tempfile.NamedTemporaryFile() as log:
            env = dict(os.environ, XMLSTAMP_CALLS=harness.windows_path(log.name), XMLSTAMP_FAULT=",".join(faults))
            proc = subprocess.run(harness.LAUNCHER + [harness.BINARY, *args], cwd=folder, env=env,
                                  stdin=subprocess.DEVNULL, capture_output=True, timeout=60)
            calls = [line.rstrip("\n").partition(" ")[::2] for line in open(log.name, errors="replace")]
        if calls:
            break
    # Wine closes the handles of a process ended so, and deletes what they
    # mark, only once it is gone.
    for _ in range(50 if proc.returncode == KILLED else 0):
        if set(snapshot(folder)) <= names:
            break
        time.sleep(0.01)
    temp = glob.glob(os.path.join(harness.wine_prefix(), "drive_c", "users", "*", "Temp"))
    calls += [("left", what[4:]) for _, what in calls
              if what.startswith("new ") and any(os.path.exists(os.path.join(t, what[4:])) for t in temp)]
    proc.stdout = proc.stdout.replace(b"\r\n", b"\n")
    return calls, proc


class Sweeps:
    """The runs made, and the failures found."""

    def __init__(self):
        self.failures = []
        self.runs = 0

    def run(self, files, args, faults):
        """Runs the tool in a fresh folder holding `files`, under strace with
        its options `faults`, or on Windows with its hook's; returns the
        folder's files before and after, the exit status, what the tool
        printed and its calls."""
        with tempfile.TemporaryDirectory() as folder:
            for name, (content, mode) in files.items():
                make(folder, name, content, mode)
            before = snapshot(folder)
            # A file left in the temporary folder shows in the snapshot.
            calls, proc = hooked(args, folder, faults, set(before)) if harness.WINDOWS else harness.traced(
                args, folder, faults, env={"TMPDIR": folder}, preexec_fn=no_core_files)
            after = dict(snapshot(folder), **{"temp " + name: None for call, name in calls if call == "left"})
            self.runs += 1
            return before, after, proc.returncode, proc.stdout, calls, proc.stderr

    def check(self, label, files, args, target, faults, ended_by=None, may_fail_late=False, flush_after=False,
              exposed=False):
        """`ended_by`: the status of a run that a signal or TerminateProcess
        ends. `flush_after`: the injection fails the flush that comes once the
        output has its new name, which no success may hide. `exposed`: the
        run may leave a staging file (see `exposed`)."""
        before, after, code, out, _, err = self.run(files, args, faults)
        stamped = with_stamp(before, target)
        # A file the tool could not remove is named, and the name must be true.
        named = re.findall(rb"(?m)^can't remove the temporary file .*?([^/\\]+) \([^()]*\) \n", out)
        out = re.sub(rb"(?m)^can't remove the temporary file .* \n", b"", out)
        left = {name: os.path.basename(name).encode() for name in after}
        if not set(named) <= set(left.values()):
            self.failures.append("%s: names a file it did not leave: %r" % (label, named))
        after = {name: file for name, file in after.items()
                 if left[name] not in named and not (exposed and left[name].startswith(b".xmlstamp-"))}
        # A signal must end the run, held or not.
        if code == 0 and after == stamped and out == b"" and ended_by is None and not flush_after:
            return
        # A failure says what it leaves: the old files, or, when the flush of
        # the folder after the rename fails, the stamp, not known to survive
        # a power cut.
        if ended_by is not None:
            if code == ended_by and (after == before or (may_fail_late and after == stamped)):
                return
        elif code == 1 and out.endswith(b" \n"):
            if out.startswith(b"can't ") and after == before and not flush_after:
                return
            if re.match(rb"the output file \S+ is in place, but may not be on disk \(", out) and after == stamped:
                return
        self.failures.append("%s: exit %s, %r, files %s%s" % (
            label, code, out, after if after != before else "as before", ", stderr %r" % err[-300:] if err else ""))

    def clean_run(self, name, files, args, target, extra):
        """The calls of a run with only the `extra` options, which must stamp
        correctly: a tool that always failed cleanly would pass every injection."""
        before, after, code, out, calls, _ = self.run(files, args, list(extra))
        if (code, out, after) != (0, b"", with_stamp(before, target)):
            raise AssertionError("%s, without injection: exit %s, %r, files %s" % (
                name, code, out, after if after != before else "as before"))
        return calls

    def sweep(self, name, files, args, target, extra=()):
        """Fails each call of a clean run in turn; returns the clean run's calls."""
        calls, runs = self.clean_run(name, files, args, target, extra), self.runs
        start = next(i for i, (call, _) in enumerate(calls) if call in ("getcwd", "_wgetcwd"))
        late = flushes_after(calls)
        for i, call, when in injection_points(calls, extra, start):
            for inject in injections(i, call, when, late, extra):
                self.check("%s, %s" % (name, " ".join(inject)), files, args, target, [*extra, *inject],
                           flush_after=i in late)
        print("%s: %d calls, %d failed in turn" % (name, len(calls) - start, self.runs - runs))
        return calls

    def kill_sweep(self, name, files, args, target, extra=()):
        """Ends the run right after each call of a clean run, as Task Manager or
        a cancelled build does: the output is old or stamped, whole."""
        calls = self.clean_run(name, files, args, target, extra)
        for i, call, when in injection_points(calls, extra, 0):
            self.check("%s, %s:%d:kill" % (name, call, when), files, args, target,
                       [*extra, "%s:%d:kill" % (call, when)], ended_by=KILLED, may_fail_late=True,
                       exposed=exposed(calls[:i + 1]))
        print("%s: ended after each of %d calls" % (name, len(calls)))

    def signal_sweep(self, name, files, args, target, extra, sig):
        """Delivers `sig` at each call after the last failure that `extra`
        injects, the refused rename that sends the output down the overwrite in
        place: wherever it arrives, the output is old or stamped, never a mix."""
        calls = self.clean_run(name, files, args, target, extra)
        refused = max(i for i, (_, result) in enumerate(calls) if result.endswith("(INJECTED)"))
        for _, call, when in injection_points(calls, extra, refused + 1):
            inject = "inject=%s:signal=%s:when=%d" % (call, sig.name, when)
            self.check("%s, %s" % (name, inject), files, args, target, [*extra, "-e", inject],
                       ended_by=-sig, may_fail_late=True)


def no_core_files():
    resource.setrlimit(resource.RLIMIT_CORE, (0, 0))


def injection_points(calls, extra, start):
    """Each call from index `start` on that an injection can aim at, as its
    index, name and per-name count, which strace's `when` takes. The exit and
    the calls that `extra` already injects into are left out."""
    seen = {}
    for i, (call, _) in enumerate(calls):
        seen[call] = seen.get(call, 0) + 1
        if i >= start and call not in ("exit_group", "left") and not injected(extra, call, seen[call]):
            yield i, call, seen[call]


def injected(extra, call, when):
    """Whether `extra` injects into this call already: on Windows this very
    call, or every one of its name; on POSIX any of its name."""
    if harness.WINDOWS:
        return any(option.startswith(("%s:%d:" % (call, when), call + ":0:")) for option in extra)
    return any(call in option for option in extra)


def injections(i, call, when, late, extra):
    """The failures of the call of index `i`, each as options: on POSIX EIO,
    and ENOSPC too at a flush after the rename; on Windows each error of
    WINDOWS_ERRORS, or one of them in turn down a way that `extra` sends."""
    if not harness.WINDOWS:
        return [["-e", "inject=%s:error=%s:when=%d" % (call, error, when)] for error in
                (("EIO", "ENOSPC") if i in late else ("EIO",))]
    errors = list(WINDOWS_ERRORS.values())
    return [["%s:%d:%d" % (call, when, error)] for error in ([errors[i % len(errors)]] if extra else errors)]


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


def exposed(calls):
    """Whether a run ended right after the last of `calls` may leave its
    staging file on Windows: just created, not yet marked for deletion; or
    with its mark taken off and its handle closed for the swap, which takes
    only a file nobody has open."""
    (call, what), before = calls[-1], calls[-2][1] if len(calls) > 1 else ""
    return what.startswith("new ") or what == "unmark" or (call == "CloseHandle" and before == "unmark")


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
                              [*extra, "-e", inject], ended_by=-sig)


def sweep_windows(sweeps):
    """Each Windows scenario, down its own ways: a folder where no rename
    works, and one that takes no staging file beside the output. An output
    overwritten in place is not whole while it is written, which a process
    ended from outside cannot wait for: those ways meet no kill."""
    refused = ["ReplaceFileW:0:5", "MoveFileExW:0:5"]
    for name, files, args, target in WINDOWS_SCENARIOS:
        calls = sweeps.sweep(name, files, args, target)
        if "read-only" not in name:  # which Wine's ReplaceFileW refuses
            sweeps.kill_sweep(name, files, args, target)
        ways = [("no rename", refused)]
        # A new output in a folder that takes no file beside it is refused.
        beside = "CreateFileW:%d:5" % occurrence(calls, {"CreateFileW"}, lambda what: what.startswith("new "))[1]
        if name != "new output":
            ways.append(("no staging file beside it", [beside]))
        for way, extra in ways:
            sweeps.sweep("%s, %s" % (name, way), files, args, target, extra)


def sweep_posix(sweeps):
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


def main():
    harness.configure(sys.argv)
    if not harness.WINDOWS and shutil.which("strace") is None:
        print("Skipped: fault_injection needs strace (apt-get install -y strace)")
        return 1 if os.environ.get("CI") else harness.SKIPPED
    sweeps = Sweeps()
    (sweep_windows if harness.WINDOWS else sweep_posix)(sweeps)
    for failure in sweeps.failures:
        print("FAILED", failure)
    print("%d runs, %d failed" % (sweeps.runs, len(sweeps.failures)))
    return 1 if sweeps.failures else 0


if __name__ == "__main__":
    sys.exit(main())
