#!/usr/bin/env python3
"""The limits: an overlap bomb ends at them, each limit holds, big entries
are searched across pieces.

    zipscan_limits_test.py --zipscan BIN --module LIB --fake FAKELIB [GROUP...]
"""
import shutil
import struct
import subprocess
import sys
import zipfile
import zlib

import zipscan_support as support
from zipscan_support import *  # noqa: F401,F403  (the helpers and the Base case)


def _gf2_times(matrix, vector):
    out, i = 0, 0
    while vector:
        if vector & 1:
            out ^= matrix[i]
        vector >>= 1
        i += 1
    return out


def crc32_shift(length):
    """The operator that carries a CRC-32 over length more bytes, so that
    crc32(a + b) == _gf2_times(crc32_shift(len(b)), crc32(a)) ^ crc32(b)."""
    square = lambda m: [_gf2_times(m, m[n]) for n in range(32)]
    result = [1 << n for n in range(32)]
    step = square(square(square([0xEDB88320] + [1 << n for n in range(31)])))  # one byte
    while length:
        if length & 1:
            result = [_gf2_times(step, result[n]) for n in range(32)]
        length >>= 1
        step = square(step)
    return result


def overlap_bomb(path, files, size):
    """An overlap bomb: files local headers in a row, each file's deflate
    stream quoting the headers after it in stored blocks and ending in one
    shared stream that inflates to size bytes. Every file inflates to more
    than size bytes; the archive stays small."""
    payload = (b"overlapping " * (size // 12 + 1))[:size]
    packer = zlib.compressobj(9, zlib.DEFLATED, -15)
    kernel = packer.compress(payload) + packer.flush()
    payload_crc, shift = zlib.crc32(payload), crc32_shift(size)
    headers = []  # from the last file to the first
    quoted = b""   # the local headers after the current file
    for i in reversed(range(files)):
        name = b"f%05d" % i
        packed_size = len(kernel) + sum(len(h[0]) + 5 for h in headers)
        crc = _gf2_times(shift, zlib.crc32(quoted)) ^ payload_crc
        header = struct.pack("<IHHHHHIIIHH", 0x04034B50, 20, 0, 8, 0, 0, crc, packed_size,
                             len(quoted) + size, len(name), 0) + name
        headers.append((header, name, crc, packed_size, len(quoted) + size))
        quoted = header + quoted
    body, central = b"", b""
    for header, name, crc, packed_size, full in reversed(headers):
        offset = len(body)
        body += header + (struct.pack("<BHH", 0, len(header), 0xFFFF ^ len(header)) if header is not headers[0][0] else b"")
        central += struct.pack("<IHHHHHHIIIHHHHHII", 0x02014B50, 20, 20, 0, 8, 0, 0, crc, packed_size, full,
                               len(name), 0, 0, 0, 0, 0, offset) + name
    body += kernel
    end = struct.pack("<IHHHHIIH", 0x06054B50, 0, 0, files, files, len(central), len(body), 0)
    with open(path, "wb") as f:
        f.write(body + central + end)


class Limits(Base):
    @needs("inflate")
    def test_overlap_bomb_ends_at_the_limits(self):
        bomb = self.path("bomb.zip")
        overlap_bomb(bomb, 1000, 32 << 20)  # 32 GB to inflate from 130 KB
        MiB = 1 << 20
        # Smaller than the defaults, to keep the test short; reported as findings.
        small = ["--max-filesize", "25M", "--max-scansize", "100M", "--alert-exceeds-max"]
        cases = [
            # extra options, limits reached, entries scanned (each of this size)
            ([], ["MaxFileSize", "MaxScanSize"], 4, 25 * MiB),
            (["--max-filesize", "40M"], ["MaxScanSize"], 4, None),
            (["--max-filesize", "0", "--max-scansize", "0", "--max-scantime", "1000"], ["MaxScanTime"], None, None),
        ]
        for extra, limits, scanned, size in cases:
            with self.subTest(extra=extra):
                r = run("scan", "--json", *small, *extra, bomb)
                doc = json_docs(r.stdout)[0]
                self.assertEqual((r.returncode, doc["limits"], doc["stopped"]),
                                 (1, ["Heuristics.Limits.Exceeded." + n for n in limits], True), r.stderr)
                # Each entry starts with the next one's header: an archive of its own.
                done = [e for e in doc["entries"] if e["scanned"] and e["depth"] == 0]
                if scanned is not None:
                    self.assertEqual(len(done), scanned)
                    self.assertEqual(sum(e["size"] for e in done), 100 * MiB)
                if size is not None:
                    self.assertEqual({(e["size"], e["limit"]) for e in done}, {(size, "MaxFileSize")})
                if scanned is not None:  # the time may run out between entries
                    self.assertEqual(doc["entries"][-1]["limit"], limits[-1])
        # Not even one entry's limit is held in memory.
        peak, status = peak_memory_kib("scan", *small, bomb)
        self.assertEqual(status, 1)
        if not built_with_asan():
            self.assertLess(peak, 64 * 1024)
        # Content a limit kept from being scanned is not clean.
        r = run("scan", *small[:4], bomb)
        self.assertEqual(r.returncode, 2, r.stderr)
        self.assertIn(b"limits reached (not reported): MaxFileSize, MaxScanSize", r.stdout)

    @needs("inflate")
    def test_each_limit(self):
        a = self.path("a.zip")
        write_zip(a, [("a", b"a" * 3000), ("b", b"b" * 2900 + TEST_FILE), ("dir/", b""), ("c", b"c")])
        cases = [
            # options, exit, limits, per entry (scanned, size, limit, found)
            ([], 1, [], [(True, 3000, None, 0), (True, 2968, None, 1), (False, None, None, 0), (True, 1, None, 0)]),
            (["--max-filesize", "1K", "--alert-exceeds-max"], 1, ["MaxFileSize"],
             [(True, 1024, "MaxFileSize", 0), (True, 1024, "MaxFileSize", 0), (False, None, None, 0), (True, 1, None, 0)]),
            # Without --alert-exceeds-max (clamscan's default) a limit is no
            # finding, but what it cut short is not fully scanned.
            (["--max-filesize", "1K"], 2, ["MaxFileSize"],
             [(True, 1024, "MaxFileSize", 0), (True, 1024, "MaxFileSize", 0), (False, None, None, 0), (True, 1, None, 0)]),
            (["--max-scansize", "4k", "--alert-exceeds-max=yes"], 1, ["MaxScanSize"],
             [(True, 3000, None, 0), (True, 1096, "MaxScanSize", 0), (False, None, "MaxScanSize", 0)]),
            (["--max-files", "2"], 1, ["MaxFiles"],
             [(True, 3000, None, 0), (True, 2968, None, 1), (False, None, None, 0), (False, None, "MaxFiles", 0)]),
            (["--max-files", "1", "--alert-exceeds-max", "--alert-exceeds-max=no", "--no-builtin", "--signature", "zzz"],
             2, ["MaxFiles"],
             [(True, 3000, None, 0), (False, None, "MaxFiles", 0), (False, None, None, 0), (False, None, "MaxFiles", 0)]),
            (["--max-files", "1", "--no-limit-report", "--no-builtin", "--signature", "zzz"], 2, ["MaxFiles"],
             [(True, 3000, None, 0), (False, None, "MaxFiles", 0), (False, None, None, 0), (False, None, "MaxFiles", 0)]),
        ]
        for options, status, limits, entries in cases:
            with self.subTest(options=options):
                r = run("scan", "--json", *options, a)
                doc = json_docs(r.stdout)[0]
                self.assertEqual(r.returncode, status, r.stderr)
                self.assertEqual(doc["limits"], ["Heuristics.Limits.Exceeded." + n for n in limits])
                self.assertEqual([(e["scanned"], e["size"], e["limit"], len(e["findings"])) for e in doc["entries"]],
                                 entries)
                # An entry cut short names its limit, not damaged data.
                for e in doc["entries"]:
                    if e["scanned"] and e["limit"]:
                        self.assertFalse(e["complete"])
                        self.assertRegex(e["problem"], e["limit"] + r" limit reached: \d+ bytes scanned of \d+ declared")
        r = run("scan", "--max-filesize", "1K", a)
        self.assertIn(b"a: clean (not fully scanned: MaxFileSize limit reached: 1024 bytes scanned of 3000 declared)",
                      r.stdout)
        r = run("scan", "-r", "--max-files", "1", "--alert-exceeds-max", "--no-builtin", "--signature", "zzz", self.dir)
        self.assertIn(b"a.zip: FOUND Heuristics.Limits.Exceeded.MaxFiles", r.stdout)

    @needs("inflate")
    def test_archives_within_entries(self):
        for depth in (1, 3):
            data, inner = nested_zip(depth, TEST_FILE)
            a = self.path("outer%d.zip" % depth)
            with open(a, "wb") as f:
                f.write(data)
            # Levels as clamscan counts them: the file is level 1, its
            # entries 2, and bad.com, depth archives further down, is at
            # depth + 2: scanned while --max-recursion is at least that.
            cases = [
                # options, exit, limits, the test file found
                ([], 1, [], True),
                (["--max-recursion", str(depth + 2)], 1, [], True),
                (["--max-recursion", "0"], 1, [], True),  # 0 turns the limit off
                (["--max-recursion", str(depth + 1)], 2, ["MaxRecursion"], False),
                (["--max-recursion", str(depth + 1), "--alert-exceeds-max"], 1, ["MaxRecursion"], False),
                # Not even the file's own entries are read at level 1.
                (["--max-recursion", "1"], 2, ["MaxRecursion"], False),
            ]
            for options, status, limits, found in cases:
                with self.subTest(depth=depth, options=options):
                    r = run("scan", "--json", *options, a)
                    doc = json_docs(r.stdout)[0]
                    self.assertEqual((r.returncode, doc["limits"]),
                                     (status, ["Heuristics.Limits.Exceeded." + n for n in limits]), r.stderr)
                    hits = [(e["name"], e["path"], e["depth"]) for e in doc["entries"] if e["findings"]]
                    self.assertEqual(hits, [(inner, a + "/" + inner, depth)] if found else [])
                    if found:
                        self.assertTrue(all(e["complete"] for e in doc["entries"]))
                    if options[-1:] == ["1"]:
                        self.assertEqual({(e["scanned"], e["limit"]) for e in doc["entries"]},
                                         {(False, "MaxRecursion")})
                    if status == 2:
                        self.assertIn("MaxRecursion limit reached", r.stderr.decode())
            r = run("scan", a)
            self.assertIn(("  %s: FOUND EICAR-Test-File -> reported" % inner).encode(), r.stdout)

    @needs("inflate")
    def test_clamscan_defaults_and_alerts(self):
        # The former defaults (25M an entry) cut a 30 MB entry short; clamscan's scan it whole.
        MiB = 1 << 20
        data = bytearray(b"y" * (30 * MiB))
        data[-len(TEST_FILE):] = TEST_FILE
        a = self.path("big.zip")
        write_zip(a, [("big", bytes(data))])
        doc = json_docs(run("scan", "--json", a).stdout)[0]
        e = doc["entries"][0]
        self.assertEqual((doc["exit"], doc["limits"], e["complete"], e["size"], len(e["findings"])),
                         (1, [], True, 30 * MiB, 1))
        # Nesting levels count as clamscan counts them, checked against clamscan where it is installed.
        marker = b"ZIPSCAN-LIMITS-MARKER"
        nested, _ = nested_zip(2, b"\x00\x01" * 64 + marker)
        n = self.make_file("nested.zip", nested)
        db = self.make_file("marker.ndb", b"Zipscan.Limits.Marker:0:*:" + marker.hex().encode() + b"\n")
        for level in (3, 4, 5):
            with self.subTest(level=level):
                r = run("scan", "--no-builtin", "--signature", marker.decode(), "--max-recursion", str(level), n)
                self.assertEqual(r.returncode, 1 if level >= 4 else 2, r.stderr)
                if shutil.which("clamscan"):
                    c = subprocess.run(["clamscan", "--no-summary", "-d", db, "--max-recursion=%d" % level, n],
                                       capture_output=True, timeout=120)
                    self.assertEqual(b"Zipscan.Limits.Marker" in c.stdout, r.returncode == 1, c.stdout)
        if not CAPS.get("password"):
            return
        e = self.path("enc.zip")
        write_custom(e, [("locked", b"secret", 8, "pw"), ("open", b"plain", 8, None)])
        cases = [  # options, exit, alerts
            ([], 2, []),
            (["--alert-encrypted"], 1, ["Heuristics.Encrypted.Zip"]),
            (["--alert-encrypted-archive=yes", "--password", "pw"], 0, []),
        ]
        for options, status, alerts in cases:
            with self.subTest(options=options):
                r = run("scan", "--json", *options, e)
                doc = json_docs(r.stdout)[0]
                self.assertEqual((r.returncode, doc["alerts"]), (status, alerts), r.stderr)
        r = run("scan", "-r", "--alert-encrypted", self.dir)
        self.assertIn(e + ": FOUND Heuristics.Encrypted.Zip", r.stdout.decode())

    @needs("inflate")
    def test_big_entries_are_searched_across_pieces(self):
        # Matches straddle the 1 MiB reads and the 16 MiB move to a file.
        MiB = 1 << 20
        data = bytearray(b"x" * (20 * MiB))
        for at in (MiB - 30, 16 * MiB - 10, len(data) - len(TEST_FILE)):
            data[at:at + len(TEST_FILE)] = TEST_FILE
        marker = b"<CUT-THIS>"
        for at in (2 * MiB - 4, 16 * MiB + 500):
            data[at:at + len(marker)] = marker
        a = self.path("big.zip")
        write_zip(a, [("big", bytes(data))])
        for search in ([], ["--simple-search"]):
            with self.subTest(search=search):
                doc = json_docs(run("scan", "--json", *search, "--signature", "cure:" + marker.decode(), a).stdout)[0]
                self.assertEqual(sorted((f["signature"], f["matches"]) for f in doc["entries"][0]["findings"]),
                                 [("<CUT-THIS>", 2), ("EICAR-Test-File", 3)])
        b = self.path("cure.zip")
        plain = bytes(data).replace(TEST_FILE, b"y" * len(TEST_FILE))
        write_zip(b, [("big", plain)])
        for search in ([], ["--simple-search"]):
            with self.subTest(cure=search):
                write_zip(b, [("big", plain)])
                r = run("scan", "--clean", *search, "--signature", "cure:" + marker.decode(), b)
                self.assertEqual(r.returncode, 1, r.stdout + r.stderr)
                with zipfile.ZipFile(b) as z:
                    self.assertEqual(z.read("big"), plain.replace(marker, b""))


if __name__ == "__main__":
    sys.exit(support.main(globals()))
