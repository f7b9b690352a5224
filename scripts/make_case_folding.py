#!/usr/bin/env python3
"""Writes src/unicode/case_folding.inc: Unicode's simple case folding as ranges.

Each row {first, last, delta, stride} says that every code point c from first
to last with (c - first) % stride == 0 folds to c + delta. A character folds
to its one-character case fold where it has one, else to its one-character
lower case. Run it again when Python's Unicode version moves on.
"""
import sys
import unicodedata


def fold(c):
    ch = chr(c)
    f = ch.casefold()
    if len(f) == 1:
        return ord(f)
    low = ch.lower()
    if len(low) == 1:
        return ord(low)
    return c


def main():
    pairs = [(c, fold(c)) for c in range(0x80, 0x110000) if 0xD800 > c or c > 0xDFFF]
    pairs = [(c, f) for c, f in pairs if c != f]
    rows = []
    for c, f in pairs:
        d = f - c
        if rows:
            first, last, delta, stride = rows[-1]
            if delta == d and stride == 0 and c - last in (1, 2):
                rows[-1] = [first, c, d, c - last]
                continue
            if delta == d and stride and c - last == stride:
                rows[-1][1] = c
                continue
        rows.append([c, c, d, 0])
    out = sys.stdout
    out.write("// Made by scripts/make_case_folding.py from Unicode %s; do not edit.\n"
              % unicodedata.unidata_version)
    out.write("// {first, last, delta, stride}: see the script.\n")
    for first, last, delta, stride in rows:
        out.write("{0x%04X, 0x%04X, %d, %d},\n" % (first, last, delta, stride or 1))


main()
