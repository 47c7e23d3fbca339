#!/usr/bin/env python3
"""Times xmlstamp-verify against GNU "sum -s", which reads a file and adds up
its bytes as verifying must, on cached files from 64 KiB to 1 GiB.

    bench/compare_sum.py --verify build/linux/xmlstamp-verify [--sizes 64K,1M] [--rounds N] [--dir DIR]

Each round runs the two in a shuffled order, each after an untimed sync; the
files are read once before timing, so both find them in the cache. The ratios
are taken per round and their medians printed. Peak memory comes from GNU time.
"""

from compare_cp import inputs, make_input, medians, parse_command_line, peak_memory, shuffled_rounds, timed

MARKER = b"<!--CRC Config-->"
SIZES = {"64K": 64 << 10, "1M": 1 << 20, "64M": 64 << 20, "1G": 1 << 30}
ROUNDS = {"64K": 300, "1M": 300, "64M": 30, "1G": 9}


def make_stamped(path, size):
    """XML-like text of `size` bytes, then the trailer with its sum."""
    make_input(path, size)
    total = 0
    with open(path, "rb") as f:
        while chunk := f.read(1 << 24):
            total += sum(chunk)
    with open(path, "ab") as f:
        f.write(MARKER + b"\r\n<CRC key='CheckNum' value='%d'>" % (total % 2**32))


def compare(verify, stamped, rounds):
    contenders = {"xmlstamp-verify": [[verify, stamped]], "sum -s": [["sum", "-s", stamped]]}
    for commands in contenders.values():
        timed(commands)
    times, ratios = medians(shuffled_rounds(contenders, rounds), "xmlstamp-verify", ("sum -s",))
    return times, ratios["sum -s"]


def main():
    args, verify = parse_command_line(__doc__, "verify", SIZES)
    print("| size | xmlstamp-verify | sum -s | verify / sum | peak memory |")
    print("|---|---|---|---|---|")
    for size_name, _, stamped in inputs(args, SIZES, make_stamped):
        times, ratio = compare(verify, stamped, args.rounds or ROUNDS[size_name])
        peak = peak_memory([verify, stamped])
        print("| %s | %.2f ms | %.2f ms | %.2f | %.1f MiB |" % (
            size_name, times["xmlstamp-verify"] * 1e3, times["sum -s"] * 1e3, ratio, peak / 2**20), flush=True)


if __name__ == "__main__":
    main()
