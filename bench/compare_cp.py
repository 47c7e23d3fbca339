#!/usr/bin/env python3
"""Stamps a 4 KB config and a 64 MiB file, alternating with cp of the same
file, and prints the median time of each, their ratio and xmlstamp's peak
resident memory.

    bench/compare_cp.py --binary build/linux/xmlstamp [--rounds N] [--dir DIR]

Needs GNU time (/usr/bin/time, Debian package "time") for the memory figure.
"""
import argparse
import os
import random
import statistics
import subprocess
import tempfile
import time

CONFIG = (b'<?xml version="1.0" encoding="UTF-8"?>\r\n<config>\r\n'
          + b''.join(b'  <item id="%d" name="channel %d" min="-40" max="125"/>\r\n' % (i, i) for i in range(70))
          + b'</config>\r\n')[:4000]


def peak_memory(argv):
    """Peak resident bytes of argv, from GNU time: a child forked from Python
    would count Python's own pages as its peak."""
    proc = subprocess.run(["/usr/bin/time", "-f", "%M", *argv], stderr=subprocess.PIPE, check=True)
    return int(proc.stderr.split()[-1]) * 1024


def timed(argv):
    """Runs argv to its end; returns its wall seconds."""
    start = time.perf_counter()
    pid = os.fork()
    if pid == 0:
        try:
            os.execvp(argv[0], argv)
        finally:
            os._exit(127)
    _, status = os.waitpid(pid, 0)
    elapsed = time.perf_counter() - start
    if os.waitstatus_to_exitcode(status) != 0:
        raise SystemExit("%s failed with %s" % (" ".join(argv), status))
    return elapsed


def compare(binary, source, rounds):
    stamp_times, cp_times = [], []
    stamped, copied = source + ".stamped", source + ".copied"
    for _ in range(rounds):
        stamp_times.append(timed([binary, source, stamped]))
        cp_times.append(timed(["cp", source, copied]))
    peak = peak_memory([binary, source, stamped])
    return statistics.median(stamp_times), statistics.median(cp_times), peak


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--binary", required=True)
    parser.add_argument("--rounds", type=int, default=0, help="rounds per file (default 300 small, 30 large)")
    parser.add_argument("--dir", default=None, help="where the files go (default: a temporary folder)")
    args = parser.parse_args()
    binary = os.path.abspath(args.binary)
    with tempfile.TemporaryDirectory(dir=args.dir) as work:
        small = os.path.join(work, "config.xml")
        large = os.path.join(work, "image.xml")
        with open(small, "wb") as f:
            f.write(CONFIG)
        with open(large, "wb") as f:
            f.write(random.Random(1).randbytes(64 << 20))
        print("%-10s %10s %10s %7s %12s %12s" % ("file", "xmlstamp", "cp", "ratio", "peak RSS", "goal RSS"))
        for name, path, rounds in (("4 KB", small, args.rounds or 300), ("64 MiB", large, args.rounds or 30)):
            stamp, cp, peak = compare(binary, path, rounds)
            size = os.path.getsize(path)
            print("%-10s %8.2f ms %7.2f ms %7.2f %9.1f MiB %9.1f MiB" % (
                name, stamp * 1e3, cp * 1e3, stamp / cp, peak / 2**20, (size + (8 << 20)) / 2**20))


if __name__ == "__main__":
    main()
