#!/usr/bin/env python3
"""Turns a plain script (one string per line, with {markup}) into the two
prepared files the tool chain reads: NAME.pure, the strings end to end as
little-endian 16-bit code units, and NAME.info, one 8-byte record per string
(a 32-bit pointer to the string, then its signed 32-bit length in bytes).

    python3 make_example.py intro.txt intro
"""
import re
import struct
import sys

TEXT_CHARACTER = 0x1F00
END = 0x0000
PLAIN_CODES = {"br": 0x0001, "wait": 0x0002, "clear": 0x0003}
ARGUMENT_CODES = {"name": 0x0010, "item": 0x0110, "num": 0x0210, "color": 0x0310}
# Where the game keeps the script; the information file's first word points
# into it. The tool chain carries it over unchanged.
SCRIPT_ADDRESS = 0x00C80000


def encode(line):
    units = []
    for token in re.split(r"(\{[^}]*\})", line):
        if token.startswith("{"):
            words = token[1:-1].split()
            if words[0] in PLAIN_CODES and len(words) == 1:
                units.append(PLAIN_CODES[words[0]])
            elif words[0] in ARGUMENT_CODES and len(words) == 2:
                units += [ARGUMENT_CODES[words[0]], int(words[1])]
            else:
                sys.exit("unknown markup " + token)
        else:
            for char in token:
                if ord(char) > 0xFF:
                    sys.exit("character out of range: " + char)
                units.append(TEXT_CHARACTER + ord(char))
    return units + [END]


def main():
    source, name = sys.argv[1], sys.argv[2]
    pure, info = bytearray(), bytearray()
    with open(source, encoding="utf-8") as lines:
        for line in lines:
            line = line.rstrip("\n")
            if not line or line.startswith("#"):
                continue
            units = encode(line)
            info += struct.pack("<Ii", SCRIPT_ADDRESS + len(pure), 2 * len(units))
            pure += struct.pack("<%dH" % len(units), *units)
    with open(name + ".pure", "wb") as out:
        out.write(pure)
    with open(name + ".info", "wb") as out:
        out.write(info)


if __name__ == "__main__":
    main()
