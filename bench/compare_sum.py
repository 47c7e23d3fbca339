#!/usr/bin/env python3
"""Times xmlstamp-verify against GNU "sum -s", which reads a file and adds up
its bytes as verifying must, on cached files from 64 KiB to 1 GiB, and on
refused files of 512 MiB, which it reads again for the cause.

    bench/compare_sum.py --verify build/linux/xmlstamp-verify [--sizes 64K,1M] [--rounds N] [--dir DIR]

A refused file is a stamp with its line ends converted to LF ("512M-LF"),
one byte of its body edited ("512M-edited"), or written as UTF-16
("512M-UTF-16", twice the bytes). Each round runs the two in a shuffled
order, each after an untimed sync; the files are read once before timing, so
both find them in the cache. The ratios are taken per round and their
medians printed. Peak memory comes from GNU time.
"""
import os

from compare_cp import inputs, make_input, medians, parse_command_line, peak_memory, shuffled_rounds, timed

MARKER = b"<!--CRC Config-->"
# Each file's size, and how it was changed after stamping.
SIZES = {"64K": (64 << 10, None), "1M": (1 << 20, None), "64M": (64 << 20, None), "1G": (1 << 30, None),
         "512M-LF": (512 << 20, "LF"), "512M-edited": (512 << 20, "edited"), "512M-UTF-16": (512 << 20, "UTF-16")}
ROUNDS = {"64K": 300, "1M": 300, "64M": 30, "1G": 9, "512M-LF": 9, "512M-edited": 9, "512M-UTF-16": 9}


def changed(chunk, change, first):
    """A piece of a stamped file, changed; no piece but the last ends in CR."""
    if change == "LF":
        return chunk.replace(b"\r\n", b"\n")
    if change == "edited" and first:
        return b"\t" + chunk[1:]
    if change == "UTF-16":
        return (b"\xff\xfe" if first else b"") + chunk.decode("latin-1").encode("utf-16-le")
    return chunk


def make_stamped(path, size_and_change):
    """XML-like text of the size given, then the trailer with its sum; then
    the change named, if any."""
    size, change = size_and_change
    make_input(path, size)
    total = 0
    with open(path, "rb") as f:
        while chunk := f.read(1 << 24):
            total += sum(chunk)
    with open(path, "ab") as f:
        f.write(MARKER + b"\r\n<CRC key='CheckNum' value='%d'>" % (total % 2**32))
    if change:
        with open(path, "rb") as f, open(path + ".changed", "wb") as out:
            # The input's lines end in CR LF: a piece that ends in LF ends a line.
            for n, chunk in enumerate(iter(lambda: f.read(1 << 24) + f.readline(), b"")):
                out.write(changed(chunk, change, n == 0))
        os.replace(path + ".changed", path)


def compare(verify, stamped, rounds, statuses):
    contenders = {"xmlstamp-verify": [[verify, stamped]], "sum -s": [["sum", "-s", stamped]]}
    for commands in contenders.values():
        timed(commands, statuses)
    times, ratios = medians(shuffled_rounds(contenders, rounds, statuses), "xmlstamp-verify", ("sum -s",))
    return times, ratios["sum -s"]


def main():
    args, verify = parse_command_line(__doc__, "verify", SIZES)
    print("| size | xmlstamp-verify | sum -s | verify / sum | peak memory |")
    print("|---|---|---|---|---|")
    for size_name, (_, change), stamped in inputs(args, SIZES, make_stamped):
        # A refused file's exit status is 1.
        statuses = (1,) if change else (0,)
        times, ratio = compare(verify, stamped, args.rounds or ROUNDS[size_name], statuses)
        peak = peak_memory([verify, stamped], statuses)
        print("| %s | %.2f ms | %.2f ms | %.2f | %.1f MiB |" % (
            size_name, times["xmlstamp-verify"] * 1e3, times["sum -s"] * 1e3, ratio, peak / 2**20), flush=True)


if __name__ == "__main__":
    main()
