#!/usr/bin/env python3
"""Writes the example archive that scripts/demo.sh cleans with zipscan.

    python3 examples/make_example.py OUT.zip

The archive mixes clean entries (stored, deflated, and one in the legacy
"shrunk" method), the standard anti-virus test file in a deflated entry and
in an encrypted one (password "infected"), and a web page with an injected
script for a cure signature. It is written at run time because a stored copy
would be quarantined by a scanner on the reader's machine.

The small ZIP writer here is also used by the zipscan tests: it writes any
mix of stored (0), shrunk (1) and deflated (8) entries, with or without the
traditional ZIP encryption, which neither Python's zipfile nor Info-ZIP zip
can produce for method 1.
"""
import random
import struct
import sys
import zlib

# The test file, each byte XORed with 0x5A, so that this file is not itself
# taken for it.
_TEST_FILE_MASKED = (
    "026f157b0a7f1a1b0a016e060a00026f6e720a04736d1919736d277e1f13191b0877090e1b141e1b"
    "081e771b140e130c13080f09770e1f090e771c13161f7b7e12711270")

PASSWORD = "infected"
INJECTED = b"<script>steal(document.cookie)</script>"


def test_file():
    """The 68-byte anti-virus test file."""
    return bytes(b ^ 0x5A for b in bytes.fromhex(_TEST_FILE_MASKED))


class _BitWriter:
    def __init__(self):
        self.out = bytearray()
        self.acc = 0
        self.bits = 0

    def write(self, value, width):
        self.acc |= value << self.bits
        self.bits += width
        while self.bits >= 8:
            self.out.append(self.acc & 0xFF)
            self.acc >>= 8
            self.bits -= 8

    def finish(self):
        if self.bits:
            self.out.append(self.acc & 0xFF)
        return bytes(self.out)


def shrink(data):
    """Compresses with method 1 (LZW, 9 to 13-bit codes, least significant bit
    first). The code width grows only through the escape 256,1, as the
    format requires. Decoders disagree about a table that has filled up
    without a partial clear, and this writer sends none, so it refuses input
    that would fill the table (a few kilobytes always fit)."""
    out = _BitWriter()
    width = 9
    table = {bytes([i]): i for i in range(256)}
    next_code = 257

    def emit(code):
        nonlocal width
        while code >= (1 << width):
            out.write(256, width)
            out.write(1, width)
            width += 1
        out.write(code, width)

    w = b""
    for byte in data:
        wc = w + bytes([byte])
        if wc in table:
            w = wc
            continue
        emit(table[w])
        if next_code >= 8192:
            raise ValueError("input too large for this shrink writer")
        table[wc] = next_code
        next_code += 1
        w = bytes([byte])
    if w:
        emit(table[w])
    return out.finish()


def _crc_step(crc, byte):
    # One byte of CRC-32 on the raw register, by way of zlib.
    return zlib.crc32(bytes([byte]), crc ^ 0xFFFFFFFF) ^ 0xFFFFFFFF


class _ZipCrypto:
    def __init__(self, password):
        self.keys = [0x12345678, 0x23456789, 0x34567890]
        for c in password.encode("latin-1"):
            self._update(c)

    def _update(self, c):
        k0, k1, k2 = self.keys
        k0 = _crc_step(k0, c)
        k1 = ((k1 + (k0 & 0xFF)) * 134775813 + 1) & 0xFFFFFFFF
        k2 = _crc_step(k2, k1 >> 24)
        self.keys = [k0, k1, k2]

    def encrypt(self, data):
        out = bytearray()
        for p in data:
            t = (self.keys[2] | 2) & 0xFFFF
            out.append(p ^ (((t * (t ^ 1)) >> 8) & 0xFF))
            self._update(p)
        return bytes(out)


class ZipWriter:
    """Collects entries and writes a plain single-volume ZIP archive."""

    DOS_TIME = (12 << 11) | (0 << 5)              # 12:00:00
    DOS_DATE = ((2024 - 1980) << 9) | (5 << 5) | 1  # 2024-05-01

    def __init__(self, seed=1):
        self.entries = []
        self.random = random.Random(seed)

    def add(self, name, data, method=8, password=None):
        """method: 0 stored, 1 shrunk, 8 deflated; a name ending in '/' is a
        directory."""
        crc = zlib.crc32(data) & 0xFFFFFFFF
        if method == 0:
            packed = data
        elif method == 1:
            packed = shrink(data)
        elif method == 8:
            c = zlib.compressobj(9, zlib.DEFLATED, -15)
            packed = c.compress(data) + c.flush()
        else:
            raise ValueError("unsupported method %d" % method)
        flags = 0
        if password is not None:
            flags |= 1
            header = bytes(self.random.randrange(256) for _ in range(11)) + bytes([crc >> 24])
            packed = _ZipCrypto(password).encrypt(header + packed)
        self.entries.append((name.encode("utf-8"), method, flags, crc, packed, len(data)))

    def bytes(self):
        out = bytearray()
        central = bytearray()
        for name, method, flags, crc, packed, size in self.entries:
            offset = len(out)
            version = 20 if method in (0, 8) or flags else 10
            # Unix permissions in the high half, the MS-DOS directory bit low.
            external = (0o40755 << 16) | 0x10 if name.endswith(b"/") else 0o100644 << 16
            out += struct.pack("<IHHHHHIIIHH", 0x04034B50, version, flags, method, self.DOS_TIME,
                               self.DOS_DATE, crc, len(packed), size, len(name), 0) + name + packed
            central += struct.pack("<IHHHHHHIIIHHHHHII", 0x02014B50, (3 << 8) | 20, version, flags,
                                   method, self.DOS_TIME, self.DOS_DATE, crc, len(packed), size,
                                   len(name), 0, 0, 0, 0, external, offset) + name
        start = len(out)
        out += central
        out += struct.pack("<IHHHHIIH", 0x06054B50, 0, 0, len(self.entries), len(self.entries),
                           len(central), start, 0)
        return bytes(out)


MANUAL = b"".join(
    b"Chapter %d. The scanner opens every entry of an archive, hands its bytes to the "
    b"engine and does what the engine says: keep it, cure it or delete it.\n" % n
    for n in range(1, 13))

PAGE = (b"<!doctype html>\n<html><head><title>Shop</title>" + INJECTED +
        b"</head>\n<body><h1>Welcome</h1></body></html>\n")


def example():
    w = ZipWriter()
    w.add("README.txt", b"An example archive for zipscan. Two entries carry the "
          b"anti-virus test file, one page carries an injected script.\n", method=8)
    w.add("docs/", b"", method=0)
    w.add("docs/manual.txt", MANUAL, method=1)
    w.add("docs/notes.txt", b"Stored, not compressed.\n", method=0)
    w.add("downloads/eicar.com", test_file(), method=8)
    w.add("private/eicar-secret.txt", test_file(), method=8, password=PASSWORD)
    w.add("web/index.html", PAGE, method=8)
    return w.bytes()


def main(argv):
    if len(argv) != 2:
        sys.stderr.write("usage: make_example.py OUT.zip\n")
        return 2
    with open(argv[1], "wb") as f:
        f.write(example())
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
