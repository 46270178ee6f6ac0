#!/usr/bin/env python3
"""Makes an MSI that wixl built reproducible: its summary's times become EPOCH and
its package code (the summary's revision number) is derived from the package's
content, so two builds of one commit give the same bytes and any change to what
the package holds gives another package code.
    msi-stamp.py MSI EPOCH

wixl stamps the clock and a random package code into the summary stream
(\\005SummaryInformation); both are patched in place, at the same length, inside
the compound file. The package code is a name-based UUID of the SHA-256 of the
whole file with a placeholder code in its place.
"""
import hashlib
import struct
import sys
import uuid

END_OF_CHAIN = 0xFFFFFFFE
SUMMARY = "\x05SummaryInformation"
VT_LPSTR, VT_FILETIME = 30, 64
PID_REVNUMBER, PID_LASTPRINTED, PID_CREATE_DTM, PID_LASTSAVE_DTM = 9, 11, 12, 13
PLACEHOLDER = b"{00000000-0000-0000-0000-000000000000}"
# The namespace of Quillon's package codes: its upgrade code.
NAMESPACE = uuid.UUID("3D32C70B-38F8-4BAB-A869-07CC520842A7")


def fail(message):
    sys.exit(f"msi-stamp: {message}")


def u32(data, at):
    return struct.unpack_from("<I", data, at)[0]


def summary_segments(data):
    """The (file offset, length) pieces that hold the summary stream, in order."""
    if data[:8] != bytes.fromhex("d0cf11e0a1b11ae1"):
        fail("not a compound file")
    shift, mini_shift = struct.unpack_from("<HH", data, 0x1E)
    size, mini_size = 1 << shift, 1 << mini_shift
    if u32(data, 0x48) != 0:
        fail("more FAT than the header lists (a file this large is not expected)")

    def sector(n):
        return data[(n + 1) * size:(n + 2) * size]

    fat = b"".join(sector(u32(data, 0x4C + 4 * i)) for i in range(u32(data, 0x2C)))

    def chain(start, table):
        out = []
        while start != END_OF_CHAIN:
            if start in out or 4 * start >= len(table):
                fail("a broken sector chain")
            out.append(start)
            start = u32(table, 4 * start)
        return out

    directory = b"".join(sector(n) for n in chain(u32(data, 0x30), fat))
    entries = [directory[i:i + 128] for i in range(0, len(directory), 128)]
    root = entries[0]
    for entry in entries:
        name = entry[:struct.unpack_from("<H", entry, 64)[0]].decode("utf-16-le").rstrip("\0")
        if name == SUMMARY:
            break
    else:
        fail("no summary stream")
    start, length = u32(entry, 116), u32(entry, 120)
    if length >= u32(data, 0x38):
        return [((n + 1) * size, size) for n in chain(start, fat)], length
    mini_fat = b"".join(sector(n) for n in chain(u32(data, 0x3C), fat))
    mini_stream = chain(u32(root, 116), fat)
    segments = []
    for n in chain(start, mini_fat):
        at = n * mini_size
        segments.append(((mini_stream[at // size] + 1) * size + at % size, mini_size))
    return segments, length


def main():
    if len(sys.argv) != 3:
        sys.exit(__doc__)
    path, epoch = sys.argv[1], int(sys.argv[2])
    data = bytearray(open(path, "rb").read())
    segments, length = summary_segments(data)
    stream = bytearray(b"".join(data[at:at + n] for at, n in segments)[:length])

    section = u32(stream, 44)
    offsets = {}
    for i in range(u32(stream, section + 4)):
        pid, at = struct.unpack_from("<II", stream, section + 8 + 8 * i)
        offsets[pid] = section + at
    filetime = (epoch + 11644473600) * 10_000_000
    for pid in (PID_LASTPRINTED, PID_CREATE_DTM, PID_LASTSAVE_DTM):
        if pid in offsets:
            if u32(stream, offsets[pid]) != VT_FILETIME:
                fail(f"summary property {pid} is not a time")
            struct.pack_into("<Q", stream, offsets[pid] + 4, filetime)
    if PID_REVNUMBER not in offsets or u32(stream, offsets[PID_REVNUMBER]) != VT_LPSTR:
        fail("no package code in the summary")
    code_at = offsets[PID_REVNUMBER] + 8
    if u32(stream, code_at - 4) != len(PLACEHOLDER) + 1:
        fail("the package code is not a braced GUID")

    def write(code):
        stream[code_at:code_at + len(PLACEHOLDER)] = code
        done = 0
        for at, n in segments:
            piece = stream[done:min(done + n, length)]
            data[at:at + len(piece)] = piece
            done += n

    write(PLACEHOLDER)
    digest = hashlib.sha256(data).hexdigest()
    write(("{%s}" % str(uuid.uuid5(NAMESPACE, digest)).upper()).encode())
    open(path, "wb").write(data)


main()
