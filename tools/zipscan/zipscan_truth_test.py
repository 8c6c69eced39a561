#!/usr/bin/env python3
"""What zipscan says it scanned is what was decoded and verified.

    zipscan_truth_test.py --zipscan BIN --module LIB --fake FAKELIB [GROUP...]
"""
import io
import os
import shutil
import struct
import subprocess
import sys
import zipfile
import zlib

import zipscan_support as support
from zipscan_support import *  # noqa: F401,F403  (the helpers and the Base case)


MARK = b"PLANTED-MARKER-7Q"
FILE_BYTES = "(the file's own bytes)"


def raw_zip(entries, comment=b"", count=None, tail=b"", directory=True, prefix=b"", zip64=False):
    """A ZIP built byte by byte. entries: dicts with name (bytes), data (as
    stored), and optionally method, flags, crc, usize, extra, attr, system,
    share (index of an earlier entry whose local header the record names).
    count: the end record's entry count (the real one when None)."""
    out, central = bytearray(prefix), bytearray()
    offsets = []
    for e in entries:
        name, data = e["name"], e["data"]
        method, flags, extra = e.get("method", 0), e.get("flags", 0), e.get("extra", b"")
        crc = e.get("crc", zlib.crc32(data) if method == 0 else 0)
        usize = e.get("usize", len(data))
        if "share" in e:
            offset = offsets[e["share"]]
        else:
            offset = len(out) - len(prefix)
            out += struct.pack("<IHHHHHIIIHH", 0x04034B50, 20, flags, method, 0, 0x21, crc, len(data), usize,
                               len(name), len(extra)) + name + extra + data
        offsets.append(offset)
        central += struct.pack("<IHHHHHHIIIHHHHHII", 0x02014B50, e.get("system", 3) << 8 | 20, 20, flags, method, 0,
                               0x21, crc, len(data), usize, len(name), len(extra), 0, 0, 0, e.get("attr", 0),
                               offset) + name + extra
    start = len(out) - len(prefix)
    n = len(entries) if count is None else count
    if directory and zip64:
        # The ZIP64 end record and its locator, and every classic field full.
        out += central
        at = len(out) - len(prefix)
        out += struct.pack("<IQHHIIQQQQ", 0x06064B50, 44, 45, 45, 0, 0, n, n, len(central), start)
        out += struct.pack("<IIQI", 0x07064B50, 0, at, 1)
        out += struct.pack("<IHHHHIIH", 0x06054B50, 0, 0, 0xFFFF, 0xFFFF, 0xFFFFFFFF, 0xFFFFFFFF,
                           len(comment)) + comment
    elif directory:
        out += central + struct.pack("<IHHHHIIH", 0x06054B50, 0, 0, n & 0xFFFF, n & 0xFFFF, len(central), start,
                                     len(comment)) + comment
    return bytes(out) + tail


def deflated(data):
    c = zlib.compressobj(6, zlib.DEFLATED, -15)
    return c.compress(data) + c.flush()


def stored(name, data, **more):
    return dict(name=name, data=data, **more)


def packed(name, data, **more):
    return dict(name=name, data=deflated(data), method=8, crc=zlib.crc32(data), usize=len(data), **more)


def zip_bytes(entries, method=zipfile.ZIP_DEFLATED, comment=b""):
    buf = io.BytesIO()
    with zipfile.ZipFile(buf, "w", method) as z:
        for name, data in entries:
            z.writestr(name, data)
        z.comment = comment
    return buf.getvalue()


def aes_extra(inner_method):
    return struct.pack("<HHH2sBH", 0x9901, 7, 2, b"AE", 3, inner_method)


class Truth(Base):
    """What zipscan says it scanned is what was decoded and verified."""

    def scan_json(self, path, *options):
        r = run("scan", "--json", "--no-builtin", "--signature", "report:" + MARK.decode(), *options, path)
        docs = json_docs(r.stdout)
        return r, docs[0] if docs else None

    @needs("inflate")
    def test_each_construct_is_reported_for_what_it_is(self):
        good = packed(b"ok.txt", b"fine " * 50)
        bad_deflate = dict(name=b"bad.txt", data=b"\xff" * 8 + MARK + b"\xff" * 8, method=8, crc=1234, usize=500)
        inner = zip_bytes([("in.txt", MARK)])
        stub = b"MZ" + bytes(700)
        xlsx = zip_bytes([("[Content_Types].xml", os.urandom(9000).hex().encode()),
                          ("xl/worksheets/sheet1.xml", os.urandom(20000).hex().encode())])
        dos_folder = raw_zip([stored(b"folder", b"", attr=0x10, system=0), stored(b"folder/a.txt", MARK)])
        # name: (archive bytes, options, exit, {entry: (complete, words of the problem)}, where the marker
        #        is found, words of a file note, a module fault that explains a failure of the row)
        rows = {
            "no-directory-bad-deflate": (raw_zip([good, bad_deflate], directory=False), [], 1,
                                         {"bad.txt": (False, "damaged after 0 bytes")}, FILE_BYTES,
                                         "end of the archive is missing", None),
            "directory-bad-deflate": (raw_zip([good, bad_deflate]), [], 1,
                                      {"bad.txt": (False, "damaged after 0 bytes")}, "bad.txt", None, None),
            "ppmd-not-decoded": (raw_zip([stored(b"p.bin", b"junk" * 10, method=98, crc=5, usize=99)]), [], 2,
                                 {"p.bin": (False, "method not decoded (method 98)")}, None, None, None),
            "tokenize-not-decoded": (raw_zip([stored(b"t.bin", b"xx" + MARK, method=7, crc=5, usize=99)]), [], 1,
                                     {"t.bin": (False, "method not decoded (method 7)")}, "t.bin", None, None),
            "unknown-method-200": (raw_zip([stored(b"u.bin", b"data", method=200, crc=5, usize=9)]), [], 2,
                                   {"u.bin": (False, "method not decoded (method 200)")}, None, None, None),
            "aes-over-ppmd-no-password": (raw_zip([stored(b"s.bin", os.urandom(64), method=99, flags=1, crc=0,
                                                          usize=40, extra=aes_extra(98))]), [], 2,
                                          {"s.bin": (False, "method 99")}, None, None, None),
            "ms-dos-folder-attribute": (dos_folder, [], 1, {"folder": (True, None), "folder/a.txt": (True, None)},
                                        "folder/a.txt", None, None),
            "cp437-name": (raw_zip([stored(b"\x8e\x99.txt", MARK)]), [], 1, {"\u00c4\u00d6.txt": (True, None)},
                           "\u00c4\u00d6.txt", None, None),
            "nul-in-name": (raw_zip([stored(b"cut\x00tail.txt", MARK)]), [], 1, {"cut": (True, None)}, "cut", None,
                            None),
            "shared-local-header": (raw_zip([stored(b"a.txt", MARK), stored(b"dir/", b"", share=0)]), [], 1,
                                    {"a.txt": (True, None), "dir/": (True, None)}, "a.txt", None,
                                    "the module refuses a directory whose two records name one local header"),
            "fake-archive-in-comment": (raw_zip([stored(b"real.txt", MARK)],
                                                comment=raw_zip([stored(b"fake.txt", b"f")])), [], 1,
                                        {"real.txt": (True, None)}, "real.txt", None,
                                        "the module takes the end record in the comment"),
            "truncated-xlsx": (xlsx[:20000], [], 2, {"xl/worksheets/sheet1.xml": (False, "damaged after")}, None,
                               "end of the archive is missing", None),
            "payload-in-archive-comment": (zip_bytes([("a.txt", b"a")], comment=b"see " + MARK), [], 1,
                                           {"a.txt": (True, None)}, FILE_BYTES, None, None),
            "payload-in-extra-field": (raw_zip([stored(b"a.txt", b"a", extra=struct.pack("<HH", 0x7777, len(MARK))
                                                       + MARK)]), [], 1, {"a.txt": (True, None)}, FILE_BYTES, None,
                                       None),
            "payload-behind-end-record": (zip_bytes([("a.txt", b"a")]) + b"trailing " + MARK, [], 1,
                                          {"a.txt": (True, None)}, FILE_BYTES, None, None),
            "archive-behind-stub-in-entry": (raw_zip([stored(b"box.bin", stub + inner)]), [], 1,
                                             {"box.bin/in.txt": (True, None)}, "box.bin/in.txt", None, None),
            "local-entry-700-bytes-in": (raw_zip([stored(b"box.bin", bytes(700) + raw_zip([stored(b"in.txt", MARK)],
                                                                                          directory=False))]),
                                         [], 1, {"box.bin": (True, None)}, "box.bin/in.txt", None, None),
            "empty-entries-before-payload": (raw_zip([stored(b"e%02d" % i, b"") for i in range(12)] +
                                                     [stored(b"last.txt", MARK)]), ["--max-files", "2"], 1,
                                             {"last.txt": (True, None), "e00": (True, None)}, "last.txt", None,
                                             None),
            "zip64-behind-a-stub": (raw_zip([stored(b"z.txt", MARK)], zip64=True, prefix=b"#!/bin/sh\n" + bytes(300)),
                                    [], 1, {"z.txt": (True, None)}, "z.txt", None, None),
            "more-than-65535-entries": (raw_zip([stored(b"f%05d" % i, b"x") for i in range(65600)] +
                                                [stored(b"last.txt", MARK)]), ["--max-files", "0"], 1,
                                        {"last.txt": (True, None), "f65599": (True, None)}, "last.txt", None,
                                        "the walk counts entries in 16 bits"),
            "crc-mismatch": (raw_zip([stored(b"c.txt", b"content", crc=1)]), [], 2,
                             {"c.txt": (False, "CRC mismatch")}, None, None, None),
            "c1-control-name": (raw_zip([stored("x\u009b2J.txt".encode(), b"a", flags=0x800)]), [], 0,
                                {"x\u009b2J.txt": (True, None)}, None, None, None),
            "name-not-utf8": (raw_zip([stored(b"bad\xff\xfe.txt", b"a", flags=0x800)]), [], 0, {}, None, None,
                              None),
        }
        for name, (data, options, status, entries, found_in, note, fault) in rows.items():
            with self.subTest(row=name):
                path = self.path(name + ".zip")
                with open(path, "wb") as f:
                    f.write(data)
                r, doc = self.scan_json(path, *options)
                try:
                    self.assertEqual(r.returncode, status, (r.stdout, r.stderr))
                    self.assertEqual(doc["exit"], status)
                    by_name = {}
                    for e in doc["entries"]:
                        by_name.setdefault(e["name"], e)
                    for entry, (complete, words) in entries.items():
                        self.assertIn(entry, by_name, doc["entries"])
                        self.assertEqual(by_name[entry]["complete"], complete, by_name[entry])
                        if words:
                            self.assertIn(words, by_name[entry]["problem"])
                        else:
                            self.assertIsNone(by_name[entry]["problem"])
                    if found_in:
                        self.assertTrue(any(e["findings"] for e in doc["entries"] if e["name"] == found_in),
                                        doc["entries"])
                    if note:
                        self.assertTrue(any(note in n for n in doc["notes"]), doc["notes"])
                    else:
                        self.assertEqual(doc["notes"], [])
                    if status == 2:  # every reason is named
                        self.assertTrue(doc["error"], doc)
                    if status == 0:
                        self.assertIsNone(doc["error"])
                except AssertionError:
                    if fault:
                        self.skipTest("module fault: " + fault)
                    raise
        # Text output escapes C1 controls; JSON keeps a name that is no UTF-8 recoverable.
        out = run("scan", self.path("c1-control-name.zip")).stdout
        self.assertIn(b"x\\xC2\\x9B2J.txt", out)
        self.assertNotIn(b"\xc2\x9b", out)
        doc = self.scan_json(self.path("name-not-utf8.zip"))[1]
        self.assertEqual([e.get("name_bytes") for e in doc["entries"]], [b"bad\xff\xfe.txt".hex().upper()])

    @needs("inflate")
    def test_host_faults_are_errors_of_the_scan(self):
        # The temporary stream cannot spill: an error of the scan, never damage.
        big = self.path("big.zip")
        write_zip(big, [("big.bin", b"\0" * (17 << 20) + MARK)])
        r = run("scan", "--json", big, env={"TMPDIR": self.path("missing")})
        doc = json_docs(r.stdout)[0]
        self.assertEqual(r.returncode, 2, r.stderr)
        self.assertIn("temporary stream refused a write", doc["error"])
        # A mistyped action is refused, not searched for.
        self.assertOneLineError(run("scan", "--signature", "delte:x", big), "unknown action 'delte'")
        self.assertEqual(run("scan", "--no-builtin", "--signature", "http://x", big).returncode, 0)
        # JSON file paths that are no UTF-8 stay apart from their Latin-1 look-alikes.
        latin, raw = self.path("caf\u00e9.zip").encode(), self.path("caf").encode() + b"\xe9.zip"
        for p in (latin, raw):
            shutil.copy(big, p)
        out = subprocess.run([support.ZIPSCAN, "--module", support.MODULE, "scan", "--json", "--max-filesize", "1K", latin, raw],
                             stdout=subprocess.PIPE, timeout=120).stdout
        files = [d["file"] for d in json_docs(out)]
        self.assertEqual(len(set(files)), 2)
        self.assertEqual(files[1].encode("utf-8", "surrogateescape"), raw)
        # A file refused before it was scanned is an error, not a scanned archive.
        tree = self.path("tree")
        os.makedirs(tree)
        shutil.copy(big, os.path.join(tree, "one.zip"))
        os.symlink(big, self.path("link.zip"))
        r = run("scan", "-r", "--max-filesize", "1K", tree, self.path("link.zip"))
        self.assertIn(b"Scanned archives: 1\n", r.stdout)
        self.assertIn(b"link.zip: error: ", r.stdout)
        # A folder that cannot be read gets its line in -r.
        if os.geteuid() != 0:
            locked = self.path("tree/locked")
            os.makedirs(locked)
            os.remove(os.path.join(tree, "one.zip"))
            os.chmod(locked, 0)
            r = run("scan", "-r", "--json", self.path("tree"))
            os.chmod(locked, 0o755)
            self.assertEqual(r.returncode, 2)
            self.assertEqual([(d["file"], d["exit"]) for d in json_docs(r.stdout)], [(locked, 2)])

    def test_well_formed_corpus_comes_out_without_a_note(self):
        corpus = find_corpus()
        if not os.path.exists(os.path.join(corpus, "ARCHIVES.tsv")):
            self.skipTest("no corpus at " + corpus)
        # An archive is well-formed when every peer-confirmed entry of it is
        # one the module decodes with a known password.
        decoded = {0, 1, 2, 3, 4, 6, 8, 9, 12, 14, 93, 95} | ({99} if CAPS.get("aes") else set())
        rows = {}
        with open(os.path.join(corpus, "MANIFEST.tsv"), encoding="utf-8", errors="replace") as f:
            for line in list(f)[1:]:
                c = line.rstrip("\n").split("\t")
                rows.setdefault(c[0], []).append(c)
        # Archives whose reading is the module's to mend (named in the report):
        known = {"structure/commons-compress/COMPRESS-227.zip": "two records of one local header refused"}
        passwords = ["Secret#2024", "12345678", "password", "test_password_zipx", "helloworld"]
        with open(os.path.join(corpus, "ARCHIVES.tsv"), encoding="utf-8") as f:
            archives = [line.split("\t") for line in list(f)[1:]]
        checked = 0
        for a in archives:
            path, notes = a[0], a[-1].strip()
            entries = rows.get(path, [])
            if notes or path.startswith("spanned/") or path in known or not entries:
                continue
            if any(c[2] not in {str(m) for m in decoded} or c[7] == "-" and not c[1].endswith("/")
                   or "NO-PEER" in c[13] or "LFH-missing" in c[13] or "inner-method-98" in c[13]
                   or c[9] in ("", "none") for c in entries):
                continue
            with self.subTest(archive=path):
                args = ["scan", "--json"] + [a for p in passwords for a in ("--password", p)]
                r = run(*args, os.path.join(corpus, path))
                doc = json_docs(r.stdout)[0]
                self.assertIn(r.returncode, (0, 1), (path, doc["error"]))
                self.assertEqual(doc["notes"], [], path)
                self.assertEqual([e["name"] for e in doc["entries"] if e["problem"]], [], path)
                checked += 1
        self.assertGreater(checked, 50)


if __name__ == "__main__":
    sys.exit(support.main(globals()))
