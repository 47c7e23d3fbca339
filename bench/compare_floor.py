#!/usr/bin/env python3
"""Times xmlstamp against the floor, bench/stamp_floor.c: the least that a
durable stamp must do (copy inside the kernel, sum, append, flush the file,
link it, rename it over the output, flush the folder), from a 4 KB config on.

    bench/compare_floor.py --binary build/linux/xmlstamp [--sizes 4K,64K] [--rounds N] [--dir DIR]

The floor program is the stamp_floor built beside the binary. Each round runs
the two in a shuffled order, each after an untimed sync and each replacing
the output of its last round, as a build does; the medians of the per-round
ratios are printed.
"""
import os

from compare_cp import inputs, make_input, medians, parse_command_line, shuffled_rounds

SIZES = {"4K": 4000, "64K": 64 << 10, "1M": 1 << 20}
ROUNDS = {"4K": 300, "64K": 300, "1M": 100}


def compare(binary, floor, source, rounds):
    work = os.path.dirname(source)
    contenders = {
        "xmlstamp": [[binary, source, os.path.join(work, "stamped")]],
        "floor": [[floor, source, os.path.join(work, "floored")]],
    }
    return medians(shuffled_rounds(contenders, rounds), "xmlstamp", ("floor",))


def main():
    args, binary = parse_command_line(__doc__, "binary", SIZES)
    floor = os.path.join(os.path.dirname(binary), "stamp_floor")
    print("| size | xmlstamp | floor | xmlstamp / floor |")
    print("|---|---|---|---|")
    for size_name, _, source in inputs(args, SIZES, make_input):
        times, ratio = compare(binary, floor, source, args.rounds or ROUNDS[size_name])
        print("| %s | %.2f ms | %.2f ms | %.3f |" % (
            size_name, times["xmlstamp"] * 1e3, times["floor"] * 1e3, ratio["floor"]), flush=True)


if __name__ == "__main__":
    main()
