"""The fuzzer's seeds: small archives holding the marker, written at run
time from fixed parameters by Python's zipfile, Info-ZIP zip, 7-Zip and a
record-by-record builder here (data descriptors, ZIP64 forms, traditional
encryption). Every seed is the same on every run on one machine: times are
fixed, random bytes come from a fixed generator."""
import io
import os
import random
import shutil
import struct
import subprocess
import tempfile
import zipfile
import zlib

from zipfmt import parse

MARKER = b"DFZ-MARKER-5c1e9a"
PASSWORD = "dfzpw"
DOS_TIME, DOS_DATE = 0x6000, 0x5A21          # 12:00, 2025-01-01
FILE_TIME = 1735732800                       # the same moment, for files on disk

CLEAN_TEXT = b"".join(b"clean line %03d of the first entry, nothing to see\n" % i for i in range(24))
PAYLOAD_TEXT = (b"".join(b"payload line %03d before the marker\n" % i for i in range(12))
                + b"here it is: " + MARKER + b" and the line goes on\n"
                + b"".join(b"payload line %03d after the marker\n" % i for i in range(12)))
OTHER_TEXT = b"the last entry is short and clean\n" * 3
ENTRIES = [("clean.txt", CLEAN_TEXT), ("payload.txt", PAYLOAD_TEXT), ("last.txt", OTHER_TEXT)]


def _zipfile(method, **extra):
    buf = io.BytesIO()
    with zipfile.ZipFile(buf, "w", method, **extra) as z:
        for name, data in ENTRIES:
            info = zipfile.ZipInfo(name, (2025, 1, 1, 12, 0, 0))
            info.compress_type = method
            info.external_attr = 0o644 << 16
            z.writestr(info, data)
    return buf.getvalue()


def _zipfile_dir_comment():
    buf = io.BytesIO()
    with zipfile.ZipFile(buf, "w", zipfile.ZIP_DEFLATED) as z:
        z.writestr(zipfile.ZipInfo("docs/", (2025, 1, 1, 12, 0, 0)), b"")
        for name, data in ENTRIES[:2]:
            info = zipfile.ZipInfo("docs/" + name, (2025, 1, 1, 12, 0, 0))
            info.compress_type = zipfile.ZIP_DEFLATED
            z.writestr(info, data)
        z.comment = b"an archive comment"
    return buf.getvalue()


def _files(folder):
    for name, data in ENTRIES:
        path = os.path.join(folder, name)
        with open(path, "wb") as f:
            f.write(data)
        os.utime(path, (FILE_TIME, FILE_TIME))
    return [name for name, _ in ENTRIES]


def _tool(args, folder, stdin=None):
    done = subprocess.run(args, cwd=folder, input=stdin, stdout=subprocess.PIPE,
                          stderr=subprocess.PIPE, timeout=60)
    if done.returncode != 0:
        raise RuntimeError("%s: %s" % (" ".join(args), done.stderr.decode(errors="replace")))
    return done.stdout


def _zip(options):
    with tempfile.TemporaryDirectory() as d:
        names = _files(d)
        _tool(["zip", "-q", "-X"] + options + ["out.zip"] + names, d)
        with open(os.path.join(d, "out.zip"), "rb") as f:
            return f.read()


def _zip_pipe():
    with tempfile.TemporaryDirectory() as d:
        return _tool(["zip", "-q", "-X", "-", "-"], d, stdin=PAYLOAD_TEXT)


def _7zz(method):
    with tempfile.TemporaryDirectory() as d:
        names = _files(d)
        _tool(["7zz", "a", "-tzip", "-bso0", "-bsp0", "-mtc=off", "-mta=off", "-mm=" + method,
               "out.zip"] + names, d)
        with open(os.path.join(d, "out.zip"), "rb") as f:
            return f.read()


def _fixed_times(image):
    """The DOS time and date of every local and central record set to one
    moment, so that seeds a tool stamps with the clock stay the same."""
    out = bytearray(image)
    for rec in parse(image):
        if rec.kind in ("local", "central"):
            struct.pack_into("<HH", out, rec.field("time").at, DOS_TIME, DOS_DATE)
    return bytes(out)


# --- the record-by-record builder -------------------------------------------

def _deflate(data):
    c = zlib.compressobj(9, zlib.DEFLATED, -15)
    return c.compress(data) + c.flush()


class _Crypt:
    """Traditional PKWARE encryption, for a deterministic encrypted seed."""

    def __init__(self, password):
        self.k = [0x12345678, 0x23456789, 0x34567890]
        for c in password.encode():
            self._update(c)

    @staticmethod
    def _crc(crc, b):
        return zlib.crc32(bytes([b]), crc ^ 0xFFFFFFFF) ^ 0xFFFFFFFF

    def _update(self, b):
        k = self.k
        k[0] = self._crc(k[0], b)
        k[1] = ((k[1] + (k[0] & 0xFF)) * 134775813 + 1) & 0xFFFFFFFF
        k[2] = self._crc(k[2], (k[1] >> 24) & 0xFF)

    def encrypt(self, data):
        out = bytearray()
        for b in data:
            t = (self.k[2] | 2) & 0xFFFF
            out.append(b ^ (((t * (t ^ 1)) >> 8) & 0xFF))
            self._update(b)
        return bytes(out)


def build(entries, zip64=False, descriptor=False, encrypt=False, comment=b""):
    """entries: (name, data, method 0 or 8). ZIP64 puts both sizes in a
    ZIP64 extra field of both records (classic fields full) and writes the
    ZIP64 end record and locator; a descriptor follows each entry's data
    (ZIP64 sizes in it when zip64), its local header holding zeros."""
    rng = random.Random(7)
    out = bytearray()
    central = bytearray()
    for name, data, method in entries:
        body = _deflate(data) if method == 8 else data
        crc = zlib.crc32(data)
        flags = (8 if descriptor else 0) | (1 if encrypt else 0)
        if encrypt:
            header = bytes(rng.randrange(256) for _ in range(11))
            check = (DOS_TIME >> 8) if descriptor else (crc >> 24)
            body = _Crypt(PASSWORD).encrypt(header + bytes([check]) + body)
        csize, usize = len(body), len(data)
        version = 45 if zip64 else 20
        offset = len(out)
        z64 = struct.pack("<HHQQ", 1, 16, usize, csize) if zip64 else b""
        lsizes = (0xFFFFFFFF, 0xFFFFFFFF) if zip64 else (0, 0) if descriptor else (csize, usize)
        lcrc = 0 if descriptor else crc
        lextra = struct.pack("<HHQQ", 1, 16, 0, 0) if zip64 and descriptor else z64
        out += struct.pack("<4sHHHHHIIIHH", b"PK\x03\x04", version, flags, method, DOS_TIME,
                           DOS_DATE, lcrc, lsizes[0], lsizes[1], len(name), len(lextra))
        out += name.encode() + lextra + body
        if descriptor:
            if zip64:
                out += struct.pack("<4sIQQ", b"PK\x07\x08", crc, csize, usize)
            else:
                out += struct.pack("<4sIII", b"PK\x07\x08", crc, csize, usize)
        csizes = (0xFFFFFFFF, 0xFFFFFFFF) if zip64 else (csize, usize)
        central += struct.pack("<4sHHHHHHIIIHHHHHII", b"PK\x01\x02", 0x0314, version, flags,
                               method, DOS_TIME, DOS_DATE, crc, csizes[0], csizes[1], len(name),
                               len(z64), 0, 0, 0, 0o644 << 16, offset)
        central += name.encode() + z64
    cd_offset = len(out)
    out += central
    n = len(entries)
    if zip64:
        z64end = len(out)
        out += struct.pack("<4sQHHIIQQQQ", b"PK\x06\x06", 44, 45, 45, 0, 0, n, n,
                           len(central), cd_offset)
        out += struct.pack("<4sIQI", b"PK\x06\x07", 0, z64end, 1)
        out += struct.pack("<4sHHHHIIH", b"PK\x05\x06", 0, 0, 0xFFFF, 0xFFFF, 0xFFFFFFFF,
                           0xFFFFFFFF, len(comment))
    else:
        out += struct.pack("<4sHHHHIIH", b"PK\x05\x06", 0, 0, n, n, len(central), cd_offset,
                           len(comment))
    return bytes(out + comment)


def _built(method, **options):
    return build([(name, data, method) for name, data in ENTRIES], **options)


# name -> (maker, tools it needs)
SEEDS = {
    "zipfile-stored": (lambda: _zipfile(zipfile.ZIP_STORED), []),
    "zipfile-deflated": (lambda: _zipfile(zipfile.ZIP_DEFLATED), []),
    "zipfile-bzip2": (lambda: _zipfile(zipfile.ZIP_BZIP2), []),
    "zipfile-lzma": (lambda: _zipfile(zipfile.ZIP_LZMA), []),
    "zipfile-folder-comment": (_zipfile_dir_comment, []),
    "zip-plain": (lambda: _zip([]), ["zip"]),
    "zip-fd": (lambda: _zip(["-fd"]), ["zip"]),
    "zip-fz": (lambda: _zip(["-fz"]), ["zip"]),
    "zip-pipe": (_zip_pipe, ["zip"]),
    "7zz-deflate": (lambda: _7zz("Deflate"), ["7zz"]),
    "7zz-copy": (lambda: _7zz("Copy"), ["7zz"]),
    "7zz-deflate64": (lambda: _7zz("Deflate64"), ["7zz"]),
    "7zz-bzip2": (lambda: _7zz("BZip2"), ["7zz"]),
    "7zz-lzma": (lambda: _7zz("LZMA"), ["7zz"]),
    "7zz-ppmd": (lambda: _7zz("PPMd"), ["7zz"]),
    "built-descriptor": (lambda: _built(8, descriptor=True), []),
    "built-stored-descriptor": (lambda: _built(0, descriptor=True), []),
    "built-zip64": (lambda: _built(8, zip64=True), []),
    "built-zip64-descriptor": (lambda: _built(8, zip64=True, descriptor=True), []),
    "built-encrypted": (lambda: _built(8, encrypt=True), []),
}


def make_seeds(names=None):
    """name -> archive bytes for every seed whose tools are installed, and
    the names skipped for a missing tool."""
    made, skipped = {}, []
    for name, (maker, tools) in SEEDS.items():
        if names and name not in names:
            continue
        if any(shutil.which(t) is None for t in tools):
            skipped.append(name)
            continue
        made[name] = _fixed_times(maker())
    return made, skipped


def clean_archive():
    """A small clean archive, the 'second archive' a mutation inserts."""
    return build([("inserted.txt", b"an inserted clean archive\n" * 4, 8)])
