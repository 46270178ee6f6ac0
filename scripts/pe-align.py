#!/usr/bin/env python3
"""Pads a PE file with zeros to a multiple of 8 bytes and sets its header checksum.
    pe-align.py EXE
A signature is appended at an 8-byte boundary: osslsigncode pads an unaligned file
first, and `osslsigncode remove-signature` leaves that padding. Padded beforehand,
the unsigned file is the signed one with its signature removed, byte for byte.
"""
import struct
import sys


def checksum(data, at):
    """The PE checksum: 16-bit one's-complement sum, its own field as zero, plus the size."""
    total = 0
    words = struct.unpack_from("<%dH" % (len(data) // 2), data)
    for i, word in enumerate(words):
        if i * 2 in (at, at + 2):
            continue
        total += word
        total = (total & 0xFFFF) + (total >> 16)
    return (total & 0xFFFF) + len(data)


def main():
    if len(sys.argv) != 2:
        sys.exit(__doc__)
    path = sys.argv[1]
    data = bytearray(open(path, "rb").read())
    data += bytes(-len(data) % 8)
    pe = struct.unpack_from("<I", data, 0x3C)[0]
    if data[pe:pe + 4] != b"PE\0\0":
        sys.exit(f"pe-align: {path} is not a PE file")
    at = pe + 24 + 64  # CheckSum in the optional header, at the same place in PE32 and PE32+
    struct.pack_into("<I", data, at, checksum(data, at))
    open(path, "wb").write(data)


main()
