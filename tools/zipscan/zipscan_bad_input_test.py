#!/usr/bin/env python3
"""Bad input and a faulty module: one line and a status for each bad file,
and the original kept unless the cleaned copy holds up.

    zipscan_bad_input_test.py --zipscan BIN --module LIB --fake FAKELIB [GROUP...]
"""
import os
import subprocess
import sys

import zipscan_support as support
from zipscan_support import *  # noqa: F401,F403  (the helpers and the Base case)


class BadInput(Base):
    def make_cases(self):
        good = self.path("good.zip")
        write_zip(good, [("a.txt", b"a" * 100), ("b.txt", TEST_FILE)])
        data = read_bytes(good)
        cases = {}

        def put(name, content):
            p = self.path(name)
            with open(p, "wb") as f:
                f.write(content)
            cases[p] = "not a ZIP archive"

        put("text.txt", b"hello, plain text\n")
        put("empty.zip", b"")
        put("pk-garbage.zip", b"PK" + os.urandom(300))
        cases[self.path("missing.zip")] = "No such file"
        os.mkfifo(self.path("fifo.zip"))
        cases[self.path("fifo.zip")] = "not a regular file"
        if os.geteuid() != 0:
            put("unreadable.zip", data)
            os.chmod(self.path("unreadable.zip"), 0)
            cases[self.path("unreadable.zip")] = "Permission denied"
        return cases

    @needs("recognise")
    def test_each_bad_file_gets_one_line_and_status_2(self):
        for path, message in self.make_cases().items():
            for clean in ([], ["--clean"]):
                with self.subTest(path=os.path.basename(path), clean=clean):
                    before = read_bytes(path) if os.path.isfile(path) and os.access(path, os.R_OK) else None
                    r = run("scan", *clean, path)
                    self.assertOneLineError(r, path + ": " + message)
                    if before is not None:
                        self.assertEqual(read_bytes(path), before)
        self.assertNoWorkingCopies()

    @needs("recognise")
    def test_entries_behind_a_damaged_directory_are_still_scanned(self):
        good = self.path("good.zip")
        write_zip(good, [("a.txt", b"a" * 100), ("b.txt", TEST_FILE)])
        data = read_bytes(good)
        cd = data.rfind(b"PK\x01\x02")
        end = data.rfind(b"PK\x05\x06")
        damaged = {  # name: bytes, what --json says of the directory
            "truncated.zip": (data[:len(data) - 10], {"reason": "end record cut short", "at": end}),
            "bad-directory.zip": (data[:cd] + b"XX" + data[cd + 2:], {"reason": "central record broken", "at": cd}),
            "cd-past-end.zip": (data[:end + 16] + (0x7FFFFFF0).to_bytes(4, "little") + data[end + 20:],
                                {"reason": "directory overlaps the end record", "at": end}),
        }
        for name, (content, directory) in damaged.items():
            with self.subTest(name=name):
                p = self.path(name)
                with open(p, "wb") as f:
                    f.write(content)
                r = run("scan", p)
                self.assertEqual(r.returncode, 1, r.stderr)
                self.assertIn(b"b.txt: FOUND", r.stdout)
                self.assertEqual(json_docs(run("scan", "--json", p).stdout)[0]["directory"], directory)
                # Without a directory to rewrite, the module changes nothing.
                self.assertOneLineError(run("scan", "--clean", p), "left unchanged", status=1)
                self.assertEqual(read_bytes(p), content)
        self.assertNoWorkingCopies()

    def test_signature_file_errors(self):
        a = self.path("a.zip")
        write_zip(a, [("a", b"a")])
        bad = {
            "NAME fry text x": "unknown action 'fry'",
            "NAME report base64 eA==": "unknown pattern kind 'base64'",
            "NAME report hex 0g": "not a hex byte string",
            "NAME report hex 123": "not a hex byte string",
            "NAME report text bad\\q": "unknown escape",
            "NAME report text": "empty pattern",
            "just-a-name": "expected NAME ACTION",
        }
        for line, message in bad.items():
            with self.subTest(line=line):
                sigs = self.path("sigs.txt")
                with open(sigs, "w") as f:
                    f.write("# fine\nOK report text fine\n" + line + "\n")
                self.assertOneLineError(run("scan", "--signatures", sigs, a), sigs + ":3: " + message)
        self.assertOneLineError(run("scan", "--signatures", self.path("none.txt"), a), "cannot read the signatures file")
        self.assertOneLineError(run("scan", "--signature-hex", "xyz", a), "not a hex byte string")
        self.assertOneLineError(run("scan", "--signature", "cure:", a), "empty pattern")
        self.assertOneLineError(run("scan", "--password-file", self.path("none.txt"), a), "cannot read the password file")


class Containment(Base):
    """A faulty module must not hurt the archive: zipscan checks what the
    module did and keeps the original unless the cleaned copy holds up."""

    def fake(self, mode, *args):
        env = dict(os.environ, ZIPSCAN_FAKE=mode)
        return subprocess.run([support.ZIPSCAN, "--module", support.FAKE] + list(args), capture_output=True, env=env, timeout=60)

    def test_faults(self):
        a = self.path("a.zip")
        original = b"PK" + bytes(range(40))
        cases = [
            ("handshake", ["check", a], "refused the handshake"),
            ("noformat", ["check", a], "does not offer the zip format"),
            ("writes", ["scan", a], "tried to write to the archive opened read-only"),
            ("truncate", ["scan", "--clean", "--signature", "BAD", a], "the cleaned archive does not open"),
            ("nothing", ["scan", "--clean", "--signature", "BAD", a], "does not hold the expected entries"),
        ]
        for mode, args, message in cases:
            with self.subTest(mode=mode):
                with open(a, "wb") as f:
                    f.write(original)
                # A finding decides the status even when cleaning failed.
                self.assertOneLineError(self.fake(mode, *args), message, status=1 if "--clean" in args else 2)
                self.assertEqual(read_bytes(a), original)
                self.assertNoWorkingCopies()
        # An archive within an entry: the entry goes back cured when the inner
        # one was cleaned, and is deleted when it was not. (The stand-in's
        # copy never changes, so zipscan keeps the original either way.)
        with open(a, "wb") as f:
            f.write(original * 2)
        for mode, verdict in (("nested", 3), ("nestedfail", 5)):
            with self.subTest(mode=mode):
                r = self.fake(mode, "scan", "--clean", "--signature", "BAD", a)
                self.assertEqual(r.returncode, 1, r.stderr)
                self.assertIn(b"fake: b.txt verdict %d\n" % verdict, r.stderr)
                self.assertEqual(read_bytes(a), original * 2)
        r = self.fake("nested", "scan", "--signature", "report:BAD", a)
        self.assertIn(b"b.txt/b.txt: FOUND BAD -> reported", r.stdout)
        with open(a, "wb") as f:
            f.write(original)
        # The same module without a fault: one entry found, nothing to clean.
        r = self.fake("", "scan", "--signature", "report:BAD", a)
        self.assertEqual(r.returncode, 1, r.stderr)
        self.assertIn(b"b.txt: FOUND BAD -> reported", r.stdout)


if __name__ == "__main__":
    sys.exit(support.main(globals()))
