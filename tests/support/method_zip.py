#!/usr/bin/env python3
"""Writes a ZIP archive whose entries are compressed with a method Python's
zipfile cannot write: 93 (Zstandard, through the zstd tool) or 95 (xz).

    method_zip.py ARCHIVE METHOD FILE...
"""
import binascii
import lzma
import struct
import subprocess
import sys


def compress(method, data):
    if method == 95:
        return lzma.compress(data, format=lzma.FORMAT_XZ)
    if method == 93:
        return subprocess.run(["zstd", "-q", "-c", "-3"], input=data, stdout=subprocess.PIPE, check=True).stdout
    sys.exit("method %d is not written here" % method)


def main():
    archive, method, names = sys.argv[1], int(sys.argv[2]), sys.argv[3:]
    out, central = bytearray(), bytearray()
    for name in names:
        data = open(name, "rb").read()
        packed = compress(method, data)
        crc = binascii.crc32(data) & 0xFFFFFFFF
        fixed = struct.pack("<HHHHHIII", 63, 0, method, 0, 0x21, crc, len(packed), len(data))
        offset = len(out)
        out += b"PK\x03\x04" + fixed + struct.pack("<HH", len(name), 0) + name.encode() + packed
        central += (b"PK\x01\x02" + struct.pack("<H", 63) + fixed +
                    struct.pack("<HHHHHII", len(name), 0, 0, 0, 0, 0, offset) + name.encode())
    end = struct.pack("<4sHHHHIIH", b"PK\x05\x06", 0, 0, len(names), len(names), len(central), len(out), 0)
    open(archive, "wb").write(out + central + end)


main()
