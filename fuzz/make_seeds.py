#!/usr/bin/env python3
"""Writes a seed corpus for one fuzz target from the shared archive corpus.

Archive-level targets get whole archives; a decoder target (named after its
method, e.g. unshrink_fuzz) gets the raw compressed bytes of every entry of its
method, behind whatever small header the target expects (see each target).
"""
import os
import shutil
import struct
import sys
import zipfile

def find_corpus():
    """The shared corpus named by ZIPEXT_CORPUS_DIR, or a "shared/corpus"
    folder next to the checkout or one of its parents; None without it (the
    targets then start from an empty corpus)."""
    named = os.environ.get("ZIPEXT_CORPUS_DIR", "")
    candidates = [named] if named else []
    here = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    while True:
        parent = os.path.dirname(here)
        if parent == here:
            break
        candidates.append(os.path.join(parent, "shared", "corpus"))
        here = parent
    return next((c for c in candidates if os.path.isfile(os.path.join(c, "MANIFEST.tsv"))), None)


CORPUS = find_corpus()

# decoder target -> compression methods whose raw data seeds it
DECODER_METHODS = {
    "stored_fuzz": [0],
    "inflate_fuzz": [8],
    "unshrink_fuzz": [1],
    "unreduce_fuzz": [2, 3, 4, 5],
    "explode_fuzz": [6],
    "deflate64_fuzz": [9],
    "codec_fuzz": [12, 14, 93, 95],
}
MAX_SEED = 1 << 20


def packed_archive(method, packed, data):
    """A one-entry archive of a method zipfile cannot write (xz, Zstandard):
    written stored, then the method, CRC and size patched in both records."""
    import io
    buf = io.BytesIO()
    with zipfile.ZipFile(buf, "w", zipfile.ZIP_STORED) as z:
        z.writestr("c.txt", packed)
    image = bytearray(buf.getvalue())
    central = image.rfind(b"PK\x01\x02")
    for at, shift in ((0, 0), (central, 2)):
        struct.pack_into("<H", image, at + shift + 8, method)
        struct.pack_into("<I", image, at + shift + 14, zipfile.crc32(data))
        struct.pack_into("<I", image, at + shift + 22, len(data))
    return bytes(image)


def generated_archives(out):
    """Without the shared corpus: small archives made here with zipfile
    (each method Python writes, xz and Zstandard, a directory, a comment,
    foreign bytes in front) and damaged copies of them, so that no target
    starts empty."""
    import io
    import lzma
    import random
    import subprocess
    made = []
    text = b"".join(b"line %d of a small text file\n" % i for i in range(300))
    for method in (zipfile.ZIP_STORED, zipfile.ZIP_DEFLATED, zipfile.ZIP_BZIP2, zipfile.ZIP_LZMA):
        buf = io.BytesIO()
        with zipfile.ZipFile(buf, "w", method) as z:
            z.writestr("a.txt", text)
            z.writestr("dir/", b"")
            z.writestr("b.bin", bytes(range(256)) * 8)
            z.comment = b"generated seed"
        made.append(buf.getvalue())
    made.append(packed_archive(95, lzma.compress(text, format=lzma.FORMAT_XZ), text))
    if shutil.which("zstd"):
        packed = subprocess.run(["zstd", "-q", "-c"], input=text, stdout=subprocess.PIPE, check=True).stdout
        made.append(packed_archive(93, packed, text))
    made.append(b"MZ foreign bytes in front" + made[1])
    rng = random.Random(7)
    damaged = []
    for image in made:
        damaged.append(image[: len(image) // 2])
        for _ in range(3):
            b = bytearray(image)
            b[rng.randrange(len(b))] ^= 1 << rng.randrange(8)
            damaged.append(bytes(b))
    paths = []
    os.makedirs(os.path.join(out, ".generated"), exist_ok=True)
    for i, image in enumerate(made + damaged):
        path = os.path.join(out, ".generated", "g%03d.zip" % i)
        with open(path, "wb") as f:
            f.write(image)
        paths.append(path)
    return paths


def archives(out):
    if CORPUS is None:
        yield from generated_archives(out)
        return
    for root, _, files in os.walk(CORPUS):
        if "listings" in root:
            continue
        for f in sorted(files):
            if f.endswith((".tsv", ".md")):
                continue
            yield os.path.join(root, f)


def main():
    target, out = sys.argv[1], sys.argv[2]
    os.makedirs(out, exist_ok=True)
    n = 0
    methods = DECODER_METHODS.get(target)
    for path in archives(out):
        if methods is None:
            if os.path.getsize(path) <= MAX_SEED:
                with open(path, "rb") as src, open(os.path.join(out, "a%04d" % n), "wb") as dst:
                    dst.write(src.read())
                n += 1
            continue
        try:
            zf = zipfile.ZipFile(path)
            infos = zf.infolist()
            raw = open(path, "rb").read()
        except Exception:
            continue
        for info in infos:
            if info.compress_type not in methods or info.compress_size > MAX_SEED:
                continue
            if info.file_size > 0xFFFFFFFF:  # ZIP64 sizes do not fit the seed header
                continue
            off = info.header_offset
            if raw[off:off + 4] != b"PK\x03\x04":
                continue
            nlen, xlen = struct.unpack_from("<HH", raw, off + 26)
            start = off + 30 + nlen + xlen
            data = raw[start:start + info.compress_size]
            # Seed header: method (1 byte), flags (2 bytes LE), uncompressed size (4 bytes LE).
            head = struct.pack("<BHI", info.compress_type, info.flag_bits, info.file_size)
            with open(os.path.join(out, "d%04d" % n), "wb") as dst:
                dst.write(head + data)
            n += 1
    shutil.rmtree(os.path.join(out, ".generated"), ignore_errors=True)
    print("%s: %d seeds" % (target, n))


if __name__ == "__main__":
    main()
