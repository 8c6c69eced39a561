#!/usr/bin/env python3
"""Signature databases read with -d: ClamAV's hash (.hdb, .hsb), body (.ndb)
and container (.cvd, .cld) files and YARA rules, built here with marker
strings. Where clamscan is installed, the rows marked for it are checked
against it too.

    zipscan_databases_test.py --zipscan BIN --module LIB --fake FAKELIB [GROUP...]
"""
import hashlib
import io
import shutil
import subprocess
import sys
import tarfile
import zipfile

import zipscan_support as support
from zipscan_support import *  # noqa: F401,F403  (the helpers and the Base case)

CONTENT = b"head ZIPSCAN-MARKER-ONE tail " + bytes(range(256))
PE = b"MZ" + b"\0" * 60 + b"PE-MARKER-TWO"
MD5, SHA1, SHA256 = (f(CONTENT).hexdigest() for f in (hashlib.md5, hashlib.sha1, hashlib.sha256))
N = len(CONTENT)


def hexs(text):
    return text.encode().hex()


def container(members, good_digest=True, gzip=True):
    """A .cvd/.cld: the 512-byte header, then a tar (gzipped) of members."""
    buf = io.BytesIO()
    with tarfile.open(fileobj=buf, mode="w:gz" if gzip else "w", format=tarfile.USTAR_FORMAT) as t:
        for name, data in members:
            info = tarfile.TarInfo(name)
            info.size = len(data)
            t.addfile(info, io.BytesIO(data))
    body = buf.getvalue()
    digest = hashlib.md5(body).hexdigest() if good_digest else "0" * 32
    header = "ClamAV-VDB:08 Dec 2026 05-00 +0000:7:%d:90:%s:NOSIGNATURE:test:1765170000" % (len(members), digest)
    return header.encode().ljust(512, b" ") + body


# format (the database file's name), its text, the entry's content, the
# findings expected in it, and whether clamscan reads the same database.
ROWS = [
    ("m.hdb", "%s:%d:Marker.Md5\n" % (MD5, N), CONTENT, ["Marker.Md5"], True),
    ("m.hdb", "%s:%d:Marker.Md5\n" % (MD5, N + 1), CONTENT, [], True),  # the size must agree
    ("m.hdb", "%s:*:Marker.Md5:73\n" % MD5, CONTENT, ["Marker.Md5"], True),
    ("m.hsb", "%s:%d:Marker.Sha1\n" % (SHA1, N), CONTENT, ["Marker.Sha1"], True),
    ("m.hsb", "# a comment\n\n%s:*:Marker.Sha256:73\n" % SHA256, CONTENT, ["Marker.Sha256"], False),
    ("m.hsb", "%s:*:Marker.Sha256:73\n" % SHA256, CONTENT + b"x", [], True),
    ("m.ndb", "Marker.Plain:0:*:%s\n" % hexs("MARKER-ONE"), CONTENT, ["Marker.Plain"], True),
    ("m.ndb", "Marker.Any:0:*:%s??%s\n" % (hexs("MARK"), hexs("R-ONE")), CONTENT, ["Marker.Any"], True),
    ("m.ndb", "Marker.Star:0:*:%s*%s\n" % (hexs("head"), hexs("tail")), CONTENT, ["Marker.Star"], True),
    ("m.ndb", "Marker.Gap:0:*:%s{2}%s\n" % (hexs("ZIPS"), hexs("N-MA")), CONTENT, ["Marker.Gap"], True),
    ("m.ndb", "Marker.Range:0:*:%s{2-6}%s\n" % (hexs("ZIPS"), hexs("MARKER")), CONTENT, ["Marker.Range"], True),
    ("m.ndb", "Marker.Range:0:*:%s{-1}%s\n" % (hexs("ZIPS"), hexs("MARKER")), CONTENT, [], True),
    ("m.ndb", "Marker.From:0:*:%s{5-}%s\n" % (hexs("head"), hexs("ONE")), CONTENT, ["Marker.From"], True),
    ("m.ndb", "Marker.Alt:0:*:%s(41|42)%s\n" % (hexs("N-M"), hexs("RKER")), CONTENT, ["Marker.Alt"], True),
    ("m.ndb", "Marker.Alt:0:*:%s(4243|4445)%s\n" % (hexs("N-M"), hexs("RKER")), CONTENT, [], True),
    ("m.ndb", "Marker.Not:0:*:%s!(42|43)%s\n" % (hexs("N-M"), hexs("RKER")), CONTENT, ["Marker.Not"], True),
    ("m.ndb", "Marker.Nibble:0:*:%s4?%s?2%s\n" % (hexs("N-"), hexs("A"), hexs("KER")), CONTENT, ["Marker.Nibble"], True),
    ("m.ndb", "Marker.Pe:1:*:%s\n" % hexs("MARKER-TWO"), PE, ["Marker.Pe"], True),
    ("m.ndb", "Marker.Pe:1:*:%s\n" % hexs("MARKER-ONE"), CONTENT, [], True),  # no executable
    ("m.yar", 'rule Marker_Yara { strings: $a = "MARKER-ONE" condition: $a and filesize < 1000 }\n',
     CONTENT, ["Marker_Yara"], True),
    ("m.yara", 'rule Marker_Yara { strings: $a = "MARKER-ONE" condition: #a > 1 }\n', CONTENT, [], True),
    ("m.cvd", container([("m.hdb", b"%s:%d:Marker.InCvd\n" % (MD5.encode(), N)), ("m.info", b"x"),
                         ("m.ndb", b"Marker.InCvdBody:0:*:%s\n" % hexs("ONE t").encode())]),
     CONTENT, ["Marker.InCvd", "Marker.InCvdBody"], False),
    ("m.cld", container([("m.hsb", b"%s:%d:Marker.InCld\n" % (SHA1.encode(), N))], good_digest=False, gzip=False),
     CONTENT, ["Marker.InCld"], False),
]

# What a database type needs in this build (a container here holds hashes).
NEEDS = {"hdb": "hashes", "hsb": "hashes", "cvd": "hashes", "cld": "hashes", "yar": "yara", "ara": "yara"}

# A database, and what stops the run: (file, text, words of the message).
MALFORMED = [
    ("bad.hdb", "%s:%d:Ok\n%s:%d\n" % (MD5, N, MD5, N), ["bad.hdb:2:", "HASH:SIZE:NAME"]),
    ("bad.hdb", "%s:%d:Sha1InHdb\n" % (SHA1, N), ["bad.hdb:1:", "MD5"]),
    ("bad.hsb", "%s:big:Name\n" % SHA256, ["bad.hsb:1:", "size"]),
    ("bad.ndb", "\nName:0:*:4142434\n", ["bad.ndb:2:", "hex"]),
    ("bad.ndb", "Name:0:*:4142{3-1}43\n", ["bad.ndb:1:", "range"]),
    ("bad.ndb", "Name:0:*:4142(43|4\n", ["bad.ndb:1:", "'('"]),
    ("bad.ndb", "Name:x:*:41424344\n", ["bad.ndb:1:", "target"]),
    ("bad.ndb", "Name:0:*\n", ["bad.ndb:1:", "NAME:TARGET:OFFSET"]),
    ("bad.ndb", "Name:0:*:????{3}\n", ["bad.ndb:1:", "fixed byte"]),
    ("bad.yar", "rule broken { condition: nothing_here }\n", ["bad.yar:1:"]),
    ("bad.cvd", container([("m.hdb", b"%s:%d:X\n" % (MD5.encode(), N))], good_digest=False), ["bad.cvd", "MD5"]),
    ("bad.cvd", b"ClamAV-VDB:short", ["bad.cvd", "ClamAV-VDB"]),
    ("bad.cvd", container([("m.ndb", b"Name:0:*:zz\n")]), ["bad.cvd:m.ndb:1:"]),
]


def clamscan_names(db, archive):
    r = subprocess.run(["clamscan", "--allmatch", "--no-summary", "-d", db, archive], capture_output=True, timeout=120)
    names = set()
    for line in r.stdout.decode().splitlines():
        if line.endswith(" FOUND"):
            name = line.rsplit(": ", 1)[1][:-len(" FOUND")]
            name = name[:-len(".UNOFFICIAL")] if name.endswith(".UNOFFICIAL") else name
            names.add(name[len("YARA."):] if name.startswith("YARA.") else name)
    return names


class Databases(Base):
    def write(self, name, text):
        return self.make_file(name, text if isinstance(text, bytes) else text.encode())

    def findings(self, *args):
        r = run("scan", "--json", "--no-builtin", *args)
        doc = json_docs(r.stdout)[0]
        return r, sorted(f["signature"] for e in doc["entries"] for f in e["findings"])

    @needs("walk", "inflate")
    def test_formats(self):
        clamscan = shutil.which("clamscan")
        for number, (name, text, content, expected, oracle) in enumerate(ROWS):
            with self.subTest(row=number, database=name):
                db = self.write(name, text)
                if not CAPS.get(NEEDS.get(name[-3:], "walk")):
                    # A build without the library says what it did not read.
                    r = run("scan", "--no-builtin", "-d", db, self.path("none.zip"))
                    self.assertIn(b"signatures not read:", r.stderr)
                    continue
                archive = self.path("a%d.zip" % number)
                write_zip(archive, [("entry.bin", content), ("other.txt", b"nothing")])
                for engine in ([], ["--simple-search"]):
                    r, found = self.findings("-d", db, *engine, archive)
                    self.assertEqual(found, sorted(expected), r.stderr)
                    self.assertEqual(r.returncode, 1 if expected else 0, r.stderr)
                    self.assertEqual(r.stderr, b"")
                if clamscan and oracle:
                    self.assertEqual(clamscan_names(db, archive), set(expected))

    @needs("walk", "inflate", "clean")
    def test_findings_are_deleted_under_clean(self):
        db = self.write("m.ndb", "Marker.Cure:0:*:%s\n" % hexs("MARKER-ONE"))
        archive = self.path("c.zip")
        write_zip(archive, [("entry.bin", CONTENT), ("other.txt", b"nothing")])
        r = run("scan", "--clean", "--no-builtin", "-d", db, archive)
        self.assertEqual(r.returncode, 1, r.stderr)
        self.assertEqual(run("scan", "--no-builtin", "-d", db, archive).returncode, 0)
        with zipfile.ZipFile(archive) as z:
            self.assertEqual(z.namelist(), ["other.txt"])

    @needs("walk", "inflate")
    def test_a_folder_and_what_is_not_read(self):
        folder = self.path("db")
        os.mkdir(folder)
        for name, text in (("a.hdb", "%s:%d:Marker.Md5\n" % (MD5, N)), ("b.ldb", "L1;x\nL2;y\n"),
                           ("c.cdb", "C1\n"), ("d.ndb", "Marker.Loose:7:100:%s\nMarker.Loose:0:EOF-5:%s\n"
                                                  % (hexs("ONE"), hexs("ONE"))),
                           ("e.ndb", "Marker.Boundary:0:*:4142(B)4344\n"), ("notes.txt", "not a database")):
            self.write(os.path.join("db", name), text)
        archive = self.path("f.zip")
        write_zip(archive, [("entry.bin", CONTENT)])
        # The second run reads the load the first one kept: the same
        # findings and the same warning.
        for run_number in range(2):
            r, found = self.findings("-d", folder, archive)
            self.assertEqual(found, ["Marker.Loose"] + (["Marker.Md5"] if CAPS.get("hashes") else []), run_number)
            lines = r.stderr.decode().splitlines()
            self.assertEqual(len(lines), 1, r.stderr)
            for words in ("2 .ldb", "1 .cdb", "1 .ndb with the boundary (B)", "2 .ndb with an offset other than *",
                          "1 .ndb with a target type other than 0 and 1"):
                self.assertIn(words, lines[0])
        empty = self.path("empty")
        os.mkdir(empty)
        self.assertOneLineError(run("scan", "-d", empty, archive), "no database files")

    @needs("walk", "inflate")
    def test_databases_reach_nested_archives_and_add_up(self):
        hdb = self.write("m.hdb", "%s:%d:Marker.Md5\n" % (MD5, N))
        ndb = self.write("m.ndb", "Marker.Twice:0:*:%s\nMarker.Twice:0:*:%s??%s\n"
                         % (hexs("MARKER"), hexs("ZIPS"), hexs("AN")))
        inner = io.BytesIO()
        with zipfile.ZipFile(inner, "w") as z:
            z.writestr("deep.bin", CONTENT)
        archive = self.path("n.zip")
        write_zip(archive, [("inner.zip", inner.getvalue())])
        r = run("scan", "--json", "--no-builtin", "-d", hdb, "--database=" + ndb, archive)
        self.assertEqual(r.returncode, 1, r.stderr)
        deep = [e for e in json_docs(r.stdout)[0]["entries"] if e["name"].endswith("deep.bin")][0]
        # One name given to two signatures is one finding with both matches.
        self.assertEqual([(f["signature"], f["matches"]) for f in deep["findings"]],
                         [("Marker.Twice", 2)] + ([("Marker.Md5", 1)] if CAPS.get("hashes") else []))
        self.assertIn(b"YARA rules:", run("--version", module=False).stdout)

    @needs("walk", "inflate")
    def test_a_kept_load_follows_the_files(self):
        """A load kept between runs is used only while every file is as it
        was: a database rewritten in place, to the same size and time, is
        read anew, and so is one added to a folder. Each version replaces
        the last one kept: the cache holds one file for these databases."""
        archive = self.path("k.zip")
        write_zip(archive, [("entry.bin", CONTENT), ("pe.exe", PE)])
        folder = self.path("kept")
        os.mkdir(folder)
        ndb = os.path.join(folder, "k.ndb")
        one = "Marker.Kept:0:*:%s\n" % hexs("MARKER-ONE")
        self.write(ndb, one)
        stamp = os.stat(ndb)
        for text, extra, expected in (
                (one, None, ["Marker.Kept"]),
                (one, None, ["Marker.Kept"]),
                ("Marker.Kept:0:*:%s\n" % hexs("MARKER-TWO"), None, ["Marker.Kept"]),
                ("Marker.Kept:0:*:%s\n" % hexs("MARKER-TWO"), ("k.hdb", "%s:%d:Marker.Md5\n" % (MD5, N)),
                 ["Marker.Kept"] + (["Marker.Md5"] if CAPS.get("hashes") else []))):
            with self.subTest(text=text, extra=extra):
                with open(ndb, "w") as f:
                    f.write(text)
                os.utime(ndb, ns=(stamp.st_atime_ns, stamp.st_mtime_ns))
                if extra:
                    self.write(os.path.join("kept", extra[0]), extra[1])
                cache = {"ZIPSCAN_CACHE_DIR": self.path("cache")}
                r = run("scan", "--json", "--no-builtin", "-d", folder, archive, env=cache)
                found = {e["name"]: sorted(f["signature"] for f in e["findings"])
                         for e in json_docs(r.stdout)[0]["entries"] if e["findings"]}
                marked = "pe.exe" if "54574f" in text else "entry.bin"
                self.assertEqual(sorted(sum(found.values(), [])), expected, r.stderr)
                self.assertIn("Marker.Kept", found[marked])
                self.assertEqual(run("scan", "--no-cache", "--no-builtin", "-d", folder, archive).returncode, 1)
                if CAPS.get("hashes"):  # a build without libcrypto keeps no snapshot
                    self.assertEqual(len(os.listdir(self.path("cache"))), 2 if extra else 1)

    def test_malformed_databases_stop_the_run(self):
        archive = self.path("m.zip")
        write_zip(archive, [("entry.bin", CONTENT)])
        for name, text, words in MALFORMED:
            with self.subTest(database=name, text=text[:40]):
                if name in ("bad.yar", "bad.cvd") and not CAPS.get(NEEDS[name[-3:]]):
                    self.skipTest("not in this build: " + NEEDS[name[-3:]])
                r = run("scan", "-d", self.write(name, text), archive)
                self.assertEqual(r.returncode, 2, r.stderr)
                self.assertEqual(r.stdout, b"")
                for w in words:
                    self.assertIn(w.encode(), r.stderr)


if __name__ == "__main__":
    sys.exit(support.main(globals()))
