#!/usr/bin/python3.11
"""Writes the reference LZO frames that the Windows build's lzo_frame must
reproduce byte for byte.

The frames come from python-lzo's compress() at its default level 1 over
Debian's liblzo2: the marker 0xF0, the length big-endian, then the LZO1X-1
stream of the library the Linux launcher links. The Windows launcher compiles
LZO from the same source package, so its frames must be identical.

Usage: make_lzo_reference.py FOLDER
Writes FOLDER/NAME.input and FOLDER/NAME.frame for every case.
"""

import os
import sys

import lzo


def log_lines(size):
    lines = []
    total = 0
    number = 0
    while total < size:
        line = "STUB:stub:line %d of a long run, value %d\n" % (number, number * 7919 % 10007)
        lines.append(line)
        total += len(line)
        number += 1
    return "".join(lines).encode()[:size]


def noise(size, seed=12345):
    """Bytes of a linear congruential generator: nothing for LZO to find."""
    out = bytearray(size)
    state = seed
    for i in range(size):
        state = (state * 1103515245 + 12345) & 0x7FFFFFFF
        out[i] = state >> 16 & 0xFF
    return bytes(out)


CASES = {
    "empty": b"",
    "abc": b"abc",
    "length_258": bytes(range(256)) + b"\x00\xff",
    "log_100k": log_lines(100 * 1024),
    "noise_64k": noise(64 * 1024),
    "repeated_1m": b"0123456789abcdef" * (64 * 1024),
    "mixed_300k": log_lines(150 * 1024) + noise(50 * 1024) + log_lines(100 * 1024),
}


def main():
    if len(sys.argv) != 2:
        sys.exit("usage: make_lzo_reference.py FOLDER")
    folder = sys.argv[1]
    os.makedirs(folder, exist_ok=True)
    for name, data in CASES.items():
        with open(os.path.join(folder, name + ".input"), "wb") as out:
            out.write(data)
        with open(os.path.join(folder, name + ".frame"), "wb") as out:
            out.write(lzo.compress(data))


if __name__ == "__main__":
    main()
