#!/usr/bin/env python3
"""Times xmlstamp against cp, and against "cp in out && sync out", which makes
a copy as durable as a stamp, from a 4 KB config to a 1 GiB file.

    bench/compare_cp.py --binary build/linux/xmlstamp [--sizes 4K,1M] [--rounds N] [--dir DIR]

Each round runs the three in a shuffled order, each after an untimed sync, so
that no one inherits another's dirty pages; the ratios are taken per round and
their medians printed, which holds up on a shared, noisy machine. Peak memory
comes from GNU time (/usr/bin/time, Debian package "time"): a child started
directly from Python would count Python's own pages.
"""
import argparse
import os
import random
import statistics
import subprocess
import tempfile
import time

SIZES = {"4K": 4000, "64K": 64 << 10, "1M": 1 << 20, "64M": 64 << 20, "1G": 1 << 30}
ROUNDS = {"4K": 300, "64K": 300, "1M": 100, "64M": 15, "1G": 5}
LINE = b'  <item id="%d" name="channel %d" min="-40" max="125"/>\r\n'


def make_input(path, size):
    """XML-like text of `size` bytes, with no marker."""
    with open(path, "wb") as f:
        written, i = 0, 0
        while written < size:
            chunk = b"".join(LINE % (n, n) for n in range(i, i + 4096))[:size - written]
            f.write(chunk)
            written += len(chunk)
            i += 4096


def timed(commands, statuses=(0,)):
    """Runs the commands one after another, their output to /dev/null;
    returns their wall seconds. A command's exit status is 0, or one of
    `statuses`. posix_spawn, unlike fork, costs Python the same for any child."""
    quiet = [(os.POSIX_SPAWN_OPEN, fd, os.devnull, os.O_WRONLY, 0) for fd in (1, 2)]
    start = time.perf_counter()
    for argv in commands:
        pid = os.posix_spawnp(argv[0], argv, os.environ, file_actions=quiet)
        _, status = os.waitpid(pid, 0)
        if os.waitstatus_to_exitcode(status) not in (0, *statuses):
            raise SystemExit("%s failed with %s" % (" ".join(argv), status))
    return time.perf_counter() - start


def peak_memory(argv, statuses=(0,)):
    proc = subprocess.run(["/usr/bin/time", "-f", "%M", *argv], stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    if proc.returncode not in (0, *statuses):
        raise SystemExit("%s failed with %d" % (" ".join(argv), proc.returncode))
    return int(proc.stderr.split()[-1]) * 1024


def shuffled_rounds(contenders, rounds, statuses=(0,)):
    """Times each list of commands `rounds` times, in a new shuffled order each
    round and each after an untimed sync; returns the times of each."""
    times = {name: [] for name in contenders}
    for _ in range(rounds):
        order = list(contenders)
        random.shuffle(order)
        for name in order:
            subprocess.run(["sync"], check=True)
            times[name].append(timed(contenders[name], statuses))
    return times


def medians(times, ours, bases):
    """The median time of each contender, and for each of `bases` the median
    of the per-round ratios of `ours` to it."""
    ratios = {base: statistics.median(a / b for a, b in zip(times[ours], times[base])) for base in bases}
    return {name: statistics.median(t) for name, t in times.items()}, ratios


def parse_command_line(doc, tool, sizes):
    """The options every comparison takes: the tool to time (as --TOOL PATH),
    --sizes, --rounds and --dir. Returns them and the tool's absolute path."""
    parser = argparse.ArgumentParser(description=doc.splitlines()[0])
    parser.add_argument("--" + tool, required=True)
    parser.add_argument("--sizes", default=",".join(sizes), help="a comma-separated choice of " + ",".join(sizes))
    parser.add_argument("--rounds", type=int, default=0, help="rounds per size (default: more for small files)")
    parser.add_argument("--dir", default=None, help="where the files go (default: a temporary folder)")
    args = parser.parse_args()
    return args, os.path.abspath(getattr(args, tool))


def inputs(args, sizes, make):
    """For each size chosen on the command line, a file of it that `make`
    writes in a temporary folder, which lasts until the next: the size's name,
    the size and the file's path."""
    for size_name in args.sizes.split(","):
        with tempfile.TemporaryDirectory(dir=args.dir) as work:
            path = os.path.join(work, "config.xml")
            make(path, sizes[size_name])
            yield size_name, sizes[size_name], path


def compare(binary, source, rounds):
    work = os.path.dirname(source)
    contenders = {
        "xmlstamp": [[binary, source, os.path.join(work, "stamped")]],
        "cp": [["cp", source, os.path.join(work, "copied")]],
        "cp+sync": [["cp", source, os.path.join(work, "synced")], ["sync", os.path.join(work, "synced")]],
    }
    return medians(shuffled_rounds(contenders, rounds), "xmlstamp", ("cp", "cp+sync"))


def main():
    args, binary = parse_command_line(__doc__, "binary", SIZES)
    print("| size | xmlstamp | cp | cp+sync | xmlstamp / cp | xmlstamp / cp+sync | peak memory | file + 8 MiB |")
    print("|---|---|---|---|---|---|---|---|")
    for size_name, size, source in inputs(args, SIZES, make_input):
        times, ratio = compare(binary, source, args.rounds or ROUNDS[size_name])
        peak = peak_memory([binary, source, os.path.join(os.path.dirname(source), "stamped")])
        print("| %s | %.2f ms | %.2f ms | %.2f ms | %.2f | %.2f | %.1f MiB | %.1f MiB |" % (
            size_name, times["xmlstamp"] * 1e3, times["cp"] * 1e3, times["cp+sync"] * 1e3,
            ratio["cp"], ratio["cp+sync"], peak / 2**20, (size + (8 << 20)) / 2**20), flush=True)


if __name__ == "__main__":
    main()
