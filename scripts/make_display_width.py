#!/usr/bin/env python3
"""Writes src/unicode/display_width.inc: the characters that do not take one
column on a terminal, as ranges.

Each row {first, last, columns} says that every code point from first to last
takes that many columns: 2 for East Asian wide and fullwidth characters (CJK,
kana, Hangul syllables, emoji shown as pictures), 0 for combining marks,
enclosing marks, format characters (zero-width space and joiner, the bidi
marks) and the medial and final jamo that join a Hangul syllable. Every other
printable character takes one. Run it again when Python's Unicode version
moves on, beside scripts/make_case_folding.py.
"""
import sys
import unicodedata


def columns(c):
    ch = chr(c)
    category = unicodedata.category(ch)
    if category in ("Mn", "Me", "Cf") and c != 0x00AD:  # the soft hyphen shows
        return 0
    if 0x1160 <= c <= 0x11FF or 0xD7B0 <= c <= 0xD7FF:
        return 0
    if unicodedata.east_asian_width(ch) in ("W", "F"):
        return 2
    return 1


def main():
    rows = []
    for c in range(0x300, 0x110000):
        if 0xD800 <= c <= 0xDFFF:
            continue
        n = columns(c)
        if n == 1:
            continue
        if rows and rows[-1][2] == n and rows[-1][1] == c - 1:
            rows[-1][1] = c
        else:
            rows.append([c, c, n])
    out = sys.stdout
    out.write("// Made by scripts/make_display_width.py from Unicode %s; do not edit.\n"
              % unicodedata.unidata_version)
    out.write("// {first, last, columns}: see the script.\n")
    for first, last, n in rows:
        out.write("{0x%04X, 0x%04X, %d},\n" % (first, last, n))


main()
