#!/usr/bin/env python3
"""Cleans every archive of the corpus with two builds of zipscan and the module
(a delete-and-cure clean) and compares what each leaves behind, byte for byte.

    scripts/compare_clean.py OLD_ZIPSCAN NEW_ZIPSCAN [CORPUS]

Each build cleans its own copy of every file (listings, tables and notes
aside), and the two copies must be equal, as must the exit codes and the
reports. A cured entry is written with the time of the clean and, when
encrypted, with a random encryption header (ZipCrypto) or salt (WinZip AES):
where the copies differ, the time and date fields of the entries appended
behind the original data, and the data of those that are encrypted, are
masked and the copies compared again; such a pair counts as equal but is
counted apart. Exit status 0 when every pair is equal. Takes about two
minutes on the shared corpus (245 archive files); not part of CI.
"""
import os
import shutil
import struct
import subprocess
import sys
import tempfile

PASSWORDS = ["Secret#2024", "12345678", "password", "test_password_zipx", "helloworld", "infected"]
# Common byte strings of the corpus's entries: texts, repeated lines, code.
SIGNATURES = ["cure:the", "cure:0123", "delete:ipsum", "delete:Jack", "delete:import"]


def run(zipscan, path):
    args = [zipscan, "scan", "--clean", "--no-builtin"]
    for p in PASSWORDS:
        args += ["--password", p]
    for s in SIGNATURES:
        args += ["--signature", s]
    done = subprocess.run(args + [path], capture_output=True, timeout=300)
    return done.returncode, done.stdout.replace(os.path.dirname(path).encode(), b"DIR")


def central_records(data):
    """(record position, flags, CRC, compressed size, name, local offset) of
    every central record, and the bytes in front of the archive."""
    at = data.rfind(b"PK\x05\x06")
    if at < 0 or at + 22 > len(data):
        return [], 0
    count, size, offset = struct.unpack_from("<HII", data, at + 10)
    start = at - size
    records = []
    for _ in range(count):
        if start < 0 or data[start:start + 4] != b"PK\x01\x02":
            break
        flags, = struct.unpack_from("<H", data, start + 8)
        crc, csize = struct.unpack_from("<II", data, start + 16)
        nlen, xlen, clen = struct.unpack_from("<HHH", data, start + 28)
        local, = struct.unpack_from("<I", data, start + 42)
        records.append((start, flags, crc, csize, data[start + 46:start + 46 + nlen], local))
        start += 46 + nlen + xlen + clen
    return records, at - size - offset


def masked(data, original):
    """The archive with the time fields (and, when encrypted, the data) of
    every entry whose stored bytes the original does not hold under its
    name (a cured copy) blanked out."""
    def stored(archive, records, foreign):
        for at, flags, crc, csize, name, local in records:
            lp = local + foreign
            if archive[lp:lp + 4] != b"PK\x03\x04":
                yield (at, flags, crc, csize, name, local), None
                continue
            lnlen, lxlen = struct.unpack_from("<HH", archive, lp + 26)
            d = lp + 30 + lnlen + lxlen
            yield (at, flags, crc, csize, name, local), archive[d:d + csize]

    known = {(r[4], d) for r, d in stored(original, *central_records(original))}
    records, foreign = central_records(data)
    out = bytearray(data)
    for (at, flags, crc, csize, name, local), d in stored(data, records, foreign):
        if (name, d) in known:
            continue
        out[at + 12:at + 16] = b"\0" * 4
        lp = local + foreign
        if data[lp:lp + 4] != b"PK\x03\x04":
            continue
        out[lp + 10:lp + 14] = b"\0" * 4
        lnlen, lxlen = struct.unpack_from("<HH", data, lp + 26)
        if flags & 1:
            d = lp + 30 + lnlen + lxlen
            out[d:d + csize] = b"\0" * max(0, min(csize, len(data) - d))
    return bytes(out)


def main():
    if len(sys.argv) < 3:
        print(__doc__)
        return 2
    old, new = os.path.abspath(sys.argv[1]), os.path.abspath(sys.argv[2])
    corpus = sys.argv[3] if len(sys.argv) > 3 else os.path.join(os.path.dirname(__file__), "..", "..", "shared", "corpus")
    files = []
    for top, dirs, names in os.walk(corpus):
        dirs[:] = sorted(d for d in dirs if d != "listings")
        files += [os.path.join(top, n) for n in sorted(names) if not n.endswith((".tsv", ".md"))]
    equal = masked_equal = changed = 0
    differ = []
    with tempfile.TemporaryDirectory() as work:
        for n, path in enumerate(files):
            with open(path, "rb") as f:
                original = f.read()
            results = []
            for side, zipscan in (("old", old), ("new", new)):
                folder = os.path.join(work, side, str(n))
                os.makedirs(folder)
                copy = os.path.join(folder, os.path.basename(path))
                shutil.copyfile(path, copy)
                code, report = run(zipscan, copy)
                with open(copy, "rb") as f:
                    results.append((code, report, f.read()))
                shutil.rmtree(folder)
            (oc, orep, obytes), (nc, nrep, nbytes) = results
            changed += obytes != original
            rel = os.path.relpath(path, corpus)
            if (oc, orep) != (nc, nrep):
                differ.append(f"{rel}: exit {oc} vs {nc}, reports differ: {orep!r} vs {nrep!r}")
            elif obytes == nbytes:
                equal += 1
            else:
                if masked(obytes, original) == masked(nbytes, original):
                    masked_equal += 1
                else:
                    differ.append(f"{rel}: the cleaned archives differ ({len(obytes)} vs {len(nbytes)} bytes)")
    print(f"{len(files)} files, {changed} changed by the clean: {equal} byte-identical, "
          f"{masked_equal} identical but for cure times and encryption headers, {len(differ)} different")
    for line in differ:
        print("  " + line)
    return 1 if differ else 0


if __name__ == "__main__":
    sys.exit(main())
