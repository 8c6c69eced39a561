#!/usr/bin/env python3
"""Scanning: methods, passwords, signatures, parallel runs, what is told.

    zipscan_scan_test.py --zipscan BIN --module LIB --fake FAKELIB [GROUP...]
"""
import os
import pty
import random
import shutil
import stat
import struct
import subprocess
import sys
import tempfile
import time
import zipfile

import zipscan_support as support
from zipscan_support import *  # noqa: F401,F403  (the helpers and the Base case)


class Scan(Base):
    @needs("inflate")
    def test_methods(self):
        wanted = [(0, "stored"), (1, "shrink"), (8, "inflate")]
        for method, cap in wanted:
            if not CAPS.get(cap):
                continue
            with self.subTest(method=method):
                a = self.path("m%d.zip" % method)
                text = b"Some text around the test file. " * 20
                write_custom(a, [("clean.txt", text, method, None),
                                 ("infected.txt", text + TEST_FILE + text, method, None)])
                doc = json_docs(run("scan", "--json", a).stdout)[0]
                self.assertEqual(doc["exit"], 1)
                self.assertEqual([(e["name"], e["size"], [f["signature"] for f in e["findings"]]) for e in doc["entries"]],
                                 [("clean.txt", len(text), []), ("infected.txt", 2 * len(text) + 68, ["EICAR-Test-File"])])

    @needs("inflate")
    def test_json_is_valid_for_any_name(self):
        a = self.path("names.zip")
        # A CP437 name (not UTF-8) and a name with terminal control bytes.
        raw = make_example.ZipWriter()
        raw.add("plain.txt", b"x")
        raw.entries.append((b"caf\x82.txt",) + raw.entries[0][1:])
        raw.entries.append((b"\x1b[31mred\x07.txt",) + raw.entries[0][1:])
        with open(a, "wb") as f:
            f.write(raw.bytes())
        r = run("scan", "--json", a)
        doc = json_docs(r.stdout)[0]
        self.assertEqual(len(doc["entries"]), 3)
        self.assertIn("red", doc["entries"][2]["name"])
        r = run("scan", a)
        self.assertNotIn(b"\x1b", r.stdout)
        self.assertIn(b"\\x1B[31mred\\x07.txt", r.stdout)

    @needs("password")
    def test_passwords_tried_in_order(self):
        a = self.path("enc.zip")
        write_custom(a, [("first.txt", TEST_FILE, 8, "alpha"), ("plain.txt", b"plain", 8, None),
                         ("second.txt", b"clean but secret", 8, "beta")])
        r = run("scan", a)
        self.assertEqual(r.returncode, 2)
        self.assertIn(b"first.txt: not scanned: encrypted, and no password was given", r.stdout)
        self.assertEqual(r.stderr.decode(), "zipscan: %s: 2 entries not fully scanned: "
                                            "encrypted, and no password was given\n" % a)
        r = run("scan", "--password", "wrong", a)
        self.assertEqual(r.returncode, 2)
        self.assertIn(b"no given password fitted", r.stdout)
        pwfile = self.path("pw.txt")
        with open(pwfile, "w") as f:
            f.write("wrong\nbeta\n")
        # Each entry gets every password in turn, whatever order they come in.
        r = run("scan", "--json", "--password-file", pwfile, "--password", "alpha", a)
        doc = json_docs(r.stdout)[0]
        self.assertEqual(r.returncode, 1, r.stdout)
        self.assertEqual([(e["name"], e["scanned"], len(e["findings"])) for e in doc["entries"]],
                         [("first.txt", True, 1), ("plain.txt", True, 0), ("second.txt", True, 0)])

    @needs("inflate")
    def test_signatures(self):
        a = self.path("s.zip")
        write_zip(a, [("a.txt", b"one MARK two MARK"), ("b.bin", bytes([0, 1, 2, 0xFF, 3])), ("c.txt", b"tab\there")])
        r = run("scan", "--json", "--signature", "report:MARK", a)
        e = json_docs(r.stdout)[0]["entries"][0]
        self.assertEqual(e["findings"], [{"signature": "MARK", "action": "report", "matches": 2}])
        self.assertEqual(r.returncode, 1)
        r = run("scan", "--json", "--signature-hex", "cure:02ff", "--signature-hex", "01 02", a)
        e = json_docs(r.stdout)[0]["entries"][1]
        self.assertEqual([(f["signature"], f["action"]) for f in e["findings"]], [("hex:02ff", "cure"), ("hex:01 02", "delete")])
        sigs = self.path("sigs.txt")
        with open(sigs, "w") as f:
            f.write("# name action kind pattern\n\nTab.Here report text tab\\there\nNothing delete hex 99 98\n")
        r = run("scan", "--json", "--signatures", sigs, a)
        docs = json_docs(r.stdout)[0]
        self.assertEqual([[f["signature"] for f in e["findings"]] for e in docs["entries"]], [[], [], ["Tab.Here"]])
        # Without the built-in signature the test file goes unnoticed.
        b = self.path("t.zip")
        write_zip(b, [("t", TEST_FILE)])
        self.assertEqual(run("scan", b).returncode, 1)
        self.assertEqual(run("scan", "--no-builtin", "--signature", "zzz", b).returncode, 0)

    @needs("inflate")
    def test_search_engines_count_alike(self):
        # Matches of one signature never overlap; those of different ones may.
        a = self.path("o.zip")
        write_zip(a, [("a", b"aaaaa"), ("b", b"abababab"), ("c", b"xabcabcx" * 3)])
        sigs = ["--signature", "report:aa", "--signature", "report:abab", "--signature", "report:bab",
                "--signature", "report:cabc", "--signature-hex", "report:78 78"]
        want = [[("aa", 2)], [("abab", 2), ("bab", 2)], [("cabc", 3), ("hex:78 78", 2)]]
        for search in ([], ["--simple-search"]):
            with self.subTest(search=search):
                doc = json_docs(run("scan", "--json", "--no-builtin", *search, *sigs, a).stdout)[0]
                self.assertEqual([[(f["signature"], f["matches"]) for f in e["findings"]] for e in doc["entries"]], want)

    @needs("inflate")
    def test_big_signature_sets_are_cached(self):
        if b"hyperscan" not in run("--version", module=False).stdout:
            self.skipTest("this build has no Hyperscan, so nothing is compiled")
        r = random.Random(3)
        patterns = [bytes(r.randrange(256) for _ in range(r.randint(12, 24))) for _ in range(1000)]
        sigs, other = self.path("sigs.txt"), self.path("other.txt")
        for path, changed in ((sigs, patterns), (other, patterns[:-1] + [bytes(reversed(patterns[-1]))])):
            with open(path, "w") as f:
                f.writelines("R.%04d report hex %s\n" % (i, p.hex()) for i, p in enumerate(changed))
        a = self.path("a.zip")
        write_zip(a, [("a", b"x" + patterns[10] + b"y" + patterns[999] * 2), ("b", TEST_FILE), ("c", b"clean")])
        cache = self.path("cache")

        def scan(*extra, sigs=sigs, env=None):
            r = run("scan", "--json", "--signatures", sigs, *extra, a,
                    env=dict({"ZIPSCAN_CACHE_DIR": cache}, **(env or {})))
            entries = json_docs(r.stdout)[0]["entries"]
            return r.returncode, [[(f["signature"], f["matches"]) for f in e["findings"]] for e in entries]

        def cached():
            names = os.listdir(cache)
            self.assertEqual(len(names), 1, names)
            st = os.lstat(os.path.join(cache, names[0]))
            self.assertTrue(stat.S_ISREG(st.st_mode) and st.st_mode & 0o077 == 0, oct(st.st_mode))
            return os.path.join(cache, names[0]), (st.st_ino, st.st_mtime_ns)

        want = (1, [[("R.0010", 1), ("R.0999", 2)], [("EICAR-Test-File", 1)], []])
        self.assertEqual(scan("--no-cache"), want)
        self.assertEqual(scan("--simple-search"), want)
        self.assertFalse(os.path.exists(cache))  # neither compiles for a cache
        self.assertEqual(scan(), want)
        self.assertEqual(stat.S_IMODE(os.stat(cache).st_mode), 0o700)
        path, first = cached()
        self.assertEqual(scan(), want)
        self.assertEqual(cached()[1], first)  # loaded, not written again
        good = read_bytes(path)
        scan(sigs=other)
        foreign = read_bytes([os.path.join(cache, n) for n in os.listdir(cache) if os.path.join(cache, n) != path][0])
        shutil.rmtree(cache)
        os.mkdir(cache, 0o700)
        spoil = [
            ("damaged", lambda: open(path, "wb").write(good[:len(good) // 2] + b"\xff" * 64 + good[len(good) // 2 + 64:])),
            ("cut short", lambda: open(path, "wb").write(good[:-100])),
            ("another set's", lambda: open(path, "wb").write(foreign)),
            ("group-writable", lambda: (open(path, "wb").write(good), os.chmod(path, 0o620))),
            ("a link", lambda: (open(self.path("elsewhere"), "wb").write(good), os.symlink(self.path("elsewhere"), path))),
            ("another user's", lambda: (open(path, "wb").write(good), os.chown(path, 65534, 65534))
             if os.geteuid() == 0 else self.skipTest("only root gives files away")),
        ]
        for name, do in spoil:
            with self.subTest(cache=name):
                if os.path.lexists(path):
                    os.unlink(path)
                do()
                before = (os.lstat(path).st_ino, os.lstat(path).st_mtime_ns)
                self.assertEqual(scan(), want)
                self.assertNotEqual(cached()[1], before)  # replaced...
                self.assertEqual(read_bytes(path), good)  # ...by a sound one
        self.assertEqual(read_bytes(self.path("elsewhere")), good)
        # The folders a cache goes to, and a folder others may write to.
        shutil.rmtree(cache)
        home = self.path("home")
        os.mkdir(home)
        os.makedirs(self.path("open"), mode=0o777)
        os.chmod(self.path("open"), 0o777)
        places = [({"ZIPSCAN_CACHE_DIR": None, "XDG_CACHE_HOME": self.path("xdg")}, self.path("xdg/zipscan")),
                  ({"ZIPSCAN_CACHE_DIR": None, "XDG_CACHE_HOME": None, "HOME": home}, home + "/.cache/zipscan"),
                  ({"ZIPSCAN_CACHE_DIR": self.path("open")}, None)]
        for env, where in places:
            with self.subTest(env=env):
                self.assertEqual(scan(env=env), want)
                if where:
                    self.assertEqual(stat.S_IMODE(os.stat(where).st_mode), 0o700)
                    self.assertEqual(len(os.listdir(where)), 1)
        self.assertEqual(os.listdir(self.path("open")), [])
        # A small set compiles in no time and leaves nothing behind.
        small = self.path("small")
        self.assertEqual(run("scan", "--signature", "zzz", a, env={"ZIPSCAN_CACHE_DIR": small}).returncode, 1)
        self.assertFalse(os.path.exists(small))

    @needs("inflate")
    def test_stop_after_first(self):
        a = self.path("many.zip")
        write_zip(a, [("clean1", b"c"), ("bad1", TEST_FILE), ("bad2", TEST_FILE), ("bad3", TEST_FILE)])
        doc = json_docs(run("scan", "--json", a).stdout)[0]
        self.assertEqual(sum(1 for e in doc["entries"] if e["findings"]), 3)
        r = run("scan", "--json", "--stop-after-first", a)
        doc = json_docs(r.stdout)[0]
        self.assertEqual(r.returncode, 1)
        self.assertTrue(doc["stopped"])
        self.assertEqual([e["name"] for e in doc["entries"] if not e["listed_only"]], ["clean1", "bad1"])
        # What the stop left unread is named, not dropped.
        self.assertEqual([(e["name"], e["problem"]) for e in doc["entries"] if e["listed_only"]],
                         [(n, "not reached: the walk was stopped") for n in ("bad2", "bad3")])

    @needs("walk")
    def test_parallel_equals_serial(self):
        files = []
        for i in range(16):
            p = self.path("f%02d.zip" % i)
            if i % 5 == 4:
                with open(p, "wb") as f:
                    f.write(b"not an archive %d" % i)
            else:
                write_zip(p, [("n%d_%d" % (i, k), (TEST_FILE if (i + k) % 3 == 0 else b"clean %d" % k) * (k + 1))
                              for k in range(i % 4 + 1)])
            files.append(p)
        serial = run("scan", "--no-summary", *files)
        for jobs in (["-j2"], ["-j", "4"], ["--jobs=16"]):
            parallel = run("scan", "--no-summary", *(jobs + files))
            self.assertEqual((parallel.returncode, parallel.stdout, parallel.stderr),
                             (serial.returncode, serial.stdout, serial.stderr))
        self.assertEqual(serial.returncode, 2)
        docs = json_docs(run("scan", "--json", "-j", "3", *files).stdout)
        self.assertEqual([d["file"] for d in docs], files)

    @needs("inflate")
    def test_archive_beyond_4_gib(self):
        inner = self.path("inner.zip")
        write_zip(inner, [("ok", b"fine"), ("bad", TEST_FILE)])
        big = self.path("sparse.bin")
        offset = (5 << 30) + 3
        with open(big, "wb") as f:
            f.truncate(offset)
            f.seek(offset)
            f.write(read_bytes(inner))
        if os.stat(big).st_blocks * 512 > (1 << 30):
            self.skipTest("no sparse files here")
        self.assertEqual(run("check", "--offset", offset, big).returncode, 0)
        doc = json_docs(run("scan", "--json", "--offset", offset, big).stdout)[0]
        self.assertEqual([(e["name"], len(e["findings"])) for e in doc["entries"]], [("ok", 0), ("bad", 1)])

    @needs("inflate")
    def test_damaged_entry_is_reported(self):
        a = self.path("d.zip")
        write_zip(a, [("good.txt", b"good " * 200), ("bad.txt", b"bad " * 2000), ("after.txt", TEST_FILE)])
        data = bytearray(read_bytes(a))
        with zipfile.ZipFile(a) as z:
            info = z.getinfo("bad.txt")
        start = info.header_offset + 30 + len("bad.txt")
        data[start:start + 20] = b"\xff" * 20  # an invalid deflate block type
        with open(a, "wb") as f:
            f.write(data)
        r = run("scan", a)
        # Data that does not inflate still reaches the scanner, as stored,
        # and the report says that the entry was not scanned whole.
        self.assertEqual(r.returncode, 1)
        self.assertRegex(r.stdout, rb"\n +0  bad.txt: clean \(not fully scanned: damaged after 0 bytes "
                                   rb"\(8000 listed\)\)\n")
        self.assertRegex(r.stdout, rb"\n +30  bad.txt: clean \(not fully scanned: damaged data: another reading")
        self.assertIn(b"after.txt: FOUND", r.stdout)
        self.assertIn(b": 3 entries, 1 found, 2 not fully scanned", r.stdout)

    @needs("walk", "password")
    def test_what_was_not_scanned_is_told(self):
        example = self.path("example.zip")
        with open(example, "wb") as f:
            f.write(make_example.example())
        hidden = self.path("hidden.zip")
        write_zip(hidden, [("shown.txt", b"shown"), ("hidden.txt", TEST_FILE)])
        data = bytearray(read_bytes(hidden))
        end = data.rfind(b"PK\x05\x06")
        data[end + 8:end + 12] = (1).to_bytes(2, "little") * 2  # the end record counts one entry
        with open(hidden, "wb") as f:
            f.write(data)
        # WinZip AE-2 keeps no CRC: only its authentication code tells the
        # stored content from altered bytes (7zz tests the altered one as failed).
        aes = self.path("aes.zip")
        subprocess.run(["7zz", "a", "-tzip", "-mem=AES256", "-ppw", aes, self.make_file("h.txt", b"plain " * 200)],
                       check=True, stdout=subprocess.DEVNULL)
        data = bytearray(read_bytes(aes))
        code_end = 30 + int.from_bytes(data[26:28], "little") + int.from_bytes(data[28:30], "little") + \
            int.from_bytes(data[18:22], "little")
        data[code_end - 1] ^= 1
        altered = self.path("aes-altered.zip")
        with open(altered, "wb") as f:
            f.write(data)
        # file, its status, the file's error, the entry with a problem, words of the problem, options
        cases = [
            (example, "found", "not fully scanned: encrypted, and no password was given",
             "private/eicar-secret.txt", "no password", []),
            # What no record lists but its own local header describes is
            # scanned whole when it matches that header.
            (hidden, "found", None, None, None, []),
            (aes, "clean", None, None, None, ["--password", "pw"]),
            (altered, "error", "not fully scanned", "h.txt", "authentication code not matched", ["--password", "pw"]),
        ]
        for path, status, error, entry, problem, options in cases:
            with self.subTest(path=os.path.basename(path)):
                if path in (aes, altered) and not CAPS.get("aes"):
                    self.skipTest("no WinZip AES in this build")
                r = run("scan", "--json", *options, path)
                doc = json_docs(r.stdout)[0]
                self.assertEqual(doc["status"], status)
                if error is None:
                    self.assertIsNone(doc["error"])
                else:
                    self.assertIn(error, doc["error"])
                    self.assertIn(error, r.stderr.decode())
                flagged = [e for e in doc["entries"] if e["problem"]]
                self.assertEqual([e["name"] for e in flagged], [entry] if entry else [])
                if not entry:
                    continue
                self.assertIn(problem, flagged[0]["problem"])
                self.assertFalse(flagged[0]["complete"])
                self.assertIn(problem, run("scan", *options, path).stdout.decode())

    @needs("inflate")
    def test_self_extractors_are_found_without_offset(self):
        inner = self.path("inner.zip")
        subprocess.run(["zip", "-q", "-j", inner, self.make_file("bad.txt", TEST_FILE),
                        self.make_file("ok.txt", b"fine" * 100)], check=True)
        stub = b"#!/bin/sh\nexit 0\n" + os.urandom(3000)
        archive = read_bytes(inner)
        # One byte in front, and a small clean archive inside the tail: the
        # first archive's end record (counting it in) no longer holds up, so
        # the second one's is where the end record says the archive starts;
        # unzip still extracts the first one's entries.
        end = archive.rindex(b"PK\x05\x06")
        tail_path = self.path("tail.zip")
        write_zip(tail_path, [("tail.txt", b"clean")])
        tail = read_bytes(tail_path)
        count, size = struct.unpack_from("<HI", archive, end + 10)
        fixed = archive[end:end + 10] + struct.pack("<HI", count + 1, size + len(tail)) + archive[end + 16:]
        cases = (("unadjusted", stub, archive, False, 1),
                 ("adjusted", stub, archive, True, 0),
                 ("archive in the tail", b"\xea", archive[:end] + tail + fixed, False, 3))
        for label, front, body, adjusted, unzip_status in cases:
            with self.subTest(label):
                sfx = self.path("sfx-%s.bin" % label.replace(" ", "-"))
                with open(sfx, "wb") as f:
                    f.write(front + body)
                if adjusted:
                    subprocess.run(["zip", "-q", "-A", sfx], check=True)
                # unzip warns (1) of the bytes in front of an unadjusted archive, and
                # fails (3) on the record the first one lacks, yet extracts it
                self.assertEqual(unzip_test(sfx), unzip_status)
                r = run("scan", "--json", sfx)
                doc = json_docs(r.stdout)[0]
                self.assertEqual((r.returncode, doc["offset"]), (1, len(front)), r.stderr)
                self.assertEqual(sorted((e["name"], bool(e["findings"]), e["complete"])
                                        for e in doc["entries"] if e["name"] != "tail.txt"),
                                 [("bad.txt", True, True), ("ok.txt", False, True)])

    @needs("inflate")
    def test_recursive_scan_of_a_tree(self):
        tree = self.path("tree")
        os.makedirs(os.path.join(tree, "a", "b"))
        write_zip(os.path.join(tree, "a", "b", "deep.zip"), [("bad.txt", TEST_FILE)])
        inner = self.path("inner.zip")
        write_zip(inner, [("x.txt", b"x")])
        write_zip(os.path.join(tree, "nested.zip"), [("inner.zip", read_bytes(inner)), ("ok.txt", b"fine")])
        with open(os.path.join(tree, "notes.txt"), "wb") as f:
            f.write(b"not an archive\n")
        os.symlink("..", os.path.join(tree, "a", "b", "loop"))
        outside = self.path("outside.zip")
        write_zip(outside, [("bad.txt", TEST_FILE)])
        os.symlink(outside, os.path.join(tree, "link.zip"))
        summary = "----------- SCAN SUMMARY -----------"
        cases = [  # options, files listed, exit status
            ([], ["a/b/deep.zip", "nested.zip"], 1),
            (["-j", "2"], ["a/b/deep.zip", "nested.zip"], 1),
            (["--follow-links"], ["a/b/deep.zip", "link.zip", "nested.zip"], 1),
            (["--follow-file-symlinks=2"], ["a/b/deep.zip", "link.zip", "nested.zip"], 1),
            (["--follow-dir-symlinks=0"], ["a/b/deep.zip", "nested.zip"], 1),
        ]
        for options, listed, status in cases:
            with self.subTest(options=options):
                r = run("scan", "-r", *options, tree)
                self.assertEqual(r.returncode, status, r.stderr)
                self.assertEqual(r.stderr, b"")
                lines = r.stdout.decode().splitlines()
                self.assertEqual(lines[len(listed)], summary)
                self.assertEqual([l.split(": ")[0] for l in lines[:len(listed)]],
                                 [os.path.join(tree, n) for n in listed])
                self.assertIn(": FOUND EICAR-Test-File in bad.txt", lines[0])
                self.assertIn("Scanned archives: %d" % len(listed), lines)
                self.assertIn("Skipped (not ZIP archives): 1", lines)
        docs = json_docs(run("scan", "-r", "--json", tree).stdout)
        self.assertEqual([d["file"] for d in docs], [os.path.join(tree, n) for n in ("a/b/deep.zip", "nested.zip")])
        # A file named on the command line is judged, not skipped.
        notes = os.path.join(tree, "notes.txt")
        self.assertOneLineError(run("scan", "-r", notes), notes + ": not a ZIP archive")

    @needs("inflate")
    def test_clamscan_output_options(self):
        tree = self.path("tree")
        os.makedirs(os.path.join(tree, "sub"))
        bad, ok = os.path.join(tree, "bad.zip"), os.path.join(tree, "sub", "ok.zip")
        write_zip(bad, [("fine.txt", b"fine"), ("bad.txt", TEST_FILE)])
        write_zip(ok, [("fine.txt", b"fine" * 1000)])
        with open(os.path.join(tree, "notes.txt"), "wb") as f:
            f.write(b"not an archive\n")
        summary = "----------- SCAN SUMMARY -----------"
        cases = [  # options, lines before the summary, summary shown
            (["-r"], [bad + ": FOUND", tree + "/notes.txt", ok + ": clean"][::2], True),
            (["-r", "-i"], [bad + ": FOUND"], True),
            (["-r", "--infected", "--no-summary"], [bad + ": FOUND"], False),
            (["-r", "--quiet"], [], False),
            # A file named on the command line gets its block; with -i only its entries with a finding.
            (["-i", bad, ok], [bad, "FOUND EICAR-Test-File", bad + ": 2 entries, 1 found"], True),
        ]
        for options, shown, summarised in cases:
            with self.subTest(options=options):
                log = self.path("log.txt")
                if os.path.exists(log):
                    os.unlink(log)
                args = options if not options[0].startswith("-r") else options + [tree]
                r = run("scan", "--log", log, *args)
                self.assertEqual(r.returncode, 1, r.stderr)
                lines = r.stdout.decode().splitlines()
                body = lines[:lines.index(summary)] if summary in lines else lines
                self.assertEqual(len(body), len(shown), lines)
                for line, start in zip(body, shown):
                    self.assertIn(start, line)
                self.assertEqual(summary in lines, summarised)
                # The log gets the report whatever --quiet says.
                logged = read_bytes(log).decode()
                self.assertEqual(logged, r.stdout.decode() if "--quiet" not in options else logged)
                self.assertIn(bad, logged)
        r = run("scan", "-r", tree)
        lines = r.stdout.decode().splitlines()
        figures = dict(l.split(": ", 1) for l in lines[lines.index(summary) + 1:])
        self.assertEqual({k: figures[k] for k in ("Scanned directories", "Scanned files", "Scanned archives",
                                                  "Infected files", "Entries not fully scanned", "Errors",
                                                  "Skipped (not ZIP archives)")},
                         {"Scanned directories": "2", "Scanned files": "3", "Scanned archives": "2",
                          "Infected files": "1", "Entries not fully scanned": "0", "Errors": "0",
                          "Skipped (not ZIP archives)": "1"})
        self.assertRegex(figures["Data read"], r"^0\.\d\d MB \(ratio \d+\.\d\d:1\)$")
        self.assertRegex(figures["Time"], r"^\d+\.\d{3} sec \(0 m \d+ s\)$")
        # One summary object closes a JSON run; its sizes are bytes.
        r = run("scan", "--json", "-r", tree)
        docs, summaries = json_docs(r.stdout), json_summary(r.stdout)
        self.assertEqual(len(summaries), 1)
        self.assertTrue(r.stdout.decode().splitlines()[-1].startswith('{"summary":'))
        s = summaries[0]
        self.assertEqual((s["scanned_files"], s["scanned_archives"], s["infected_files"], s["errors"], s["exit"]),
                         (3, 2, 1, 0, 1))
        self.assertEqual(s["data_read"], sum(os.path.getsize(p) for p in (bad, ok)) + 15)
        self.assertGreaterEqual(s["data_scanned"], 4000 + len(TEST_FILE) + 8)
        self.assertEqual([d["file"] for d in json_docs(run("scan", "--json", "-i", "-r", tree).stdout)], [bad])
        self.assertEqual(json_summary(run("scan", "--json", "--no-summary", "-r", tree).stdout), [])

    @needs("inflate")
    def test_clamscan_file_selection(self):
        tree = self.path("tree")
        for folder in ("keep", "cache", "keep/deeper"):
            os.makedirs(os.path.join(tree, folder))
        names = ["a.zip", "b.jar", "keep/c.zip", "cache/d.zip", "keep/deeper/e.zip"]
        for n in names:
            write_zip(os.path.join(tree, n), [("bad.txt", TEST_FILE)])
        cases = [  # options, files scanned (-r unless said), files told as excluded
            ([], names[:1] + names[3:4] + names[2:3] + names[4:5] + names[1:2], []),
            (["--exclude", r"\.jar$"], ["a.zip", "cache/d.zip", "keep/c.zip", "keep/deeper/e.zip"], ["b.jar"]),
            (["--include=c\\.zip|e\\.zip"], ["keep/c.zip", "keep/deeper/e.zip"], ["a.zip", "b.jar", "cache/d.zip"]),
            (["--exclude-dir", "/cache$", "--exclude-dir=deeper"], ["a.zip", "b.jar", "keep/c.zip"],
             ["cache", "keep/deeper"]),
            # The top directory is a folder too: an --include-dir that it fails leaves all out.
            (["--include-dir", "keep$"], [], [""]),
            # Without -r a directory is scanned one level deep, as clamscan does.
            (["--no-r"], ["a.zip", "b.jar"], []),
        ]
        for options, scanned, excluded in cases:
            with self.subTest(options=options):
                args = [o for o in options if o != "--no-r"] + ([] if "--no-r" in options else ["-r"])
                r = run("scan", "--no-summary", *args, tree)
                lines = r.stdout.decode().splitlines()
                self.assertEqual(sorted(l.split(": ")[0] for l in lines if ": FOUND" in l),
                                 sorted(os.path.join(tree, n) for n in scanned))
                self.assertEqual(sorted(l.split(": ")[0] for l in lines if l.endswith(": excluded")),
                                 sorted(os.path.join(tree, n) if n else tree for n in excluded))
                self.assertEqual(r.returncode, 1 if scanned else 0, r.stderr)
        # A file list, one a line; standard input as "-", scanned but never cleaned.
        listed = self.make_file("list.txt", ("%s\n\n%s\r\n" % (os.path.join(tree, "a.zip"),
                                                               os.path.join(tree, "keep"))).encode())
        r = run("scan", "--no-summary", "-f", listed)
        self.assertEqual([l.split(": ")[0] for l in r.stdout.decode().splitlines() if ": FOUND" in l or ": 1 entry" in l],
                         [os.path.join(tree, "a.zip"), os.path.join(tree, "keep/c.zip")])
        data = read_bytes(os.path.join(tree, "a.zip"))
        for clean, status, error in (([], 1, None), (["--clean"], 1, "standard input is scanned, never cleaned")):
            with self.subTest(stdin=clean):
                r = subprocess.run([support.ZIPSCAN, "--module", support.MODULE, "scan", "--json", *clean, "-"],
                                   input=data, capture_output=True, timeout=60)
                doc = json_docs(r.stdout)[0]
                self.assertEqual((r.returncode, doc["file"], doc["changed"]), (status, "stdin", False), r.stderr)
                self.assertEqual([e["name"] for e in doc["entries"] if e["findings"]], ["bad.txt"])
                if error:
                    self.assertIn(error, doc["error"])
        self.assertEqual(read_bytes(os.path.join(tree, "a.zip")), data)

    @needs("inflate")
    def test_recursive_scan_of_a_deep_tree(self):
        tree = self.path("deep")
        bottom = os.path.join(tree, *(["d"] * 20))
        os.makedirs(bottom)
        write_zip(os.path.join(bottom, "bad.zip"), [("bad.txt", TEST_FILE)])
        write_zip(os.path.join(tree, "top.zip"), [("ok.txt", b"fine")])
        too_deep = os.path.join(tree, *(["d"] * 16))
        cases = [  # options, archives listed, folder too deep, exit status
            ([], ["top.zip"], too_deep, 2),
            (["--max-dir-recursion", "3"], ["top.zip"], os.path.join(tree, "d/d/d/d"), 2),
            (["--max-dir-recursion", "20"], ["/".join(["d"] * 20 + ["bad.zip"]), "top.zip"], None, 1),
        ]
        for options, listed, deep, status in cases:
            with self.subTest(options=options):
                r = run("scan", "-r", "--json", *options, tree)
                self.assertEqual(r.returncode, status, r.stderr)
                docs = json_docs(r.stdout)
                self.assertEqual([d["file"] for d in docs if not d["error"]], [os.path.join(tree, n) for n in listed])
                errors = [(d["file"], d["error"]) for d in docs if d["error"]]
                if deep:
                    self.assertEqual([e[0] for e in errors], [deep])
                    self.assertIn("folders deep (--max-dir-recursion); not walked", errors[0][1])
                    self.assertIn(deep, r.stderr.decode())
                else:
                    self.assertEqual(errors, [])
        # The infected archive at the top is reported all the same.
        write_zip(os.path.join(tree, "top.zip"), [("bad.txt", TEST_FILE)])
        r = run("scan", "-r", tree)
        self.assertEqual(r.returncode, 2, r.stderr)  # as for any file that could not be read
        lines = r.stdout.decode().splitlines()
        self.assertEqual(lines[:2], [too_deep + ": error: more than 15 folders deep (--max-dir-recursion); not walked",
                                     tree + "/top.zip: FOUND EICAR-Test-File in bad.txt -> reported (delete with --clean)"])
        self.assertEqual(run("scan", "-r", "--max-dir-recursion", "1001", tree).returncode, 2)

    @needs("inflate")
    def test_a_tree_100000_folders_deep(self):
        # On a memory file system where there is one: a disk's file system
        # may take minutes to remove so many folders.
        shm = "/dev/shm"
        place = tempfile.mkdtemp(prefix="zipscan-test-", dir=shm) if os.access(shm, os.W_OK) else self.dir
        self.addCleanup(shutil.rmtree, place, True)
        tree = os.path.join(place, "abyss")
        os.mkdir(tree)
        write_zip(os.path.join(tree, "bad.zip"), [("bad.txt", TEST_FILE)])
        levels = 100000
        home = os.open(".", os.O_RDONLY)
        try:
            # Made and removed one folder at a time from within: no path is
            # ever longer than a name.
            os.chdir(tree)
            for _ in range(levels):
                os.mkdir("d")
                os.chdir("d")
            write_zip("bad.zip", [("bad.txt", TEST_FILE)])
            os.fchdir(home)
            peak, status = peak_memory_kib("scan", "-r", tree)
            r = run("scan", "-r", tree)
        finally:
            os.chdir(tree)
            depth = 0
            while os.path.isdir("d"):
                os.chdir("d")
                depth += 1
            if os.path.exists("bad.zip"):
                os.unlink("bad.zip")
            for _ in range(depth):
                os.chdir("..")
                os.rmdir("d")
            os.fchdir(home)
            os.close(home)
        self.assertEqual((r.returncode, status), (2, 2), r.stderr)
        lines = r.stdout.decode().splitlines()
        self.assertEqual(lines[:2], [os.path.join(tree, *(["d"] * 16)) +
                                     ": error: more than 15 folders deep (--max-dir-recursion); not walked",
                                     tree + "/bad.zip: FOUND EICAR-Test-File in bad.txt -> reported (delete with --clean)"])
        if not built_with_asan():
            self.assertLess(peak, 64 * 1024)

    @needs("password")
    def test_passwords_from_a_file_the_environment_or_standard_input(self):
        a = self.path("enc.zip")
        write_custom(a, [("first.txt", TEST_FILE, 8, "alpha"), ("second.txt", b"clean but secret", 8, "beta")])
        pwfile = self.make_file("pw.txt", b"wrong\r\nbeta\n\n")
        cases = [  # options, environment, standard input
            (["--password-file", pwfile, "--password-env", "ZIPSCAN_PASSWORD"], {"ZIPSCAN_PASSWORD": "alpha"}, b""),
            (["--password-stdin"], {}, b"alpha\nbeta\n"),
            (["--password=alpha", "--password-stdin"], {}, b"beta"),
        ]
        for options, env, given in cases:
            with self.subTest(options=options):
                r = subprocess.run([support.ZIPSCAN, "--module", support.MODULE, "scan", "--json"] + options + [a],
                                   input=given, capture_output=True, env=dict(os.environ, **env), timeout=120)
                self.assertEqual(r.returncode, 1, r.stderr)
                self.assertEqual([(e["name"], e["scanned"]) for e in json_docs(r.stdout)[0]["entries"]],
                                 [("first.txt", True), ("second.txt", True)])
        self.assertOneLineError(run("scan", "--password-env", "ZIPSCAN_NO_SUCH", a, env={"ZIPSCAN_NO_SUCH": None}),
                                "the environment has no ZIPSCAN_NO_SUCH")
        self.assertIn(b"Other local users can read it", run("--help").stdout)
        # While zipscan waits for standard input, its command line no
        # longer shows the password given on it.
        p = subprocess.Popen([support.ZIPSCAN, "--module", support.MODULE, "scan", "--password", "alpha", "--password-stdin", a],
                             stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        try:
            shown = b""
            for _ in range(2000):
                with open("/proc/%d/cmdline" % p.pid, "rb") as f:
                    shown = f.read()
                if a.encode() in shown and b"alpha" not in shown:  # started, and blanked
                    break
                p.poll()
                self.assertIsNone(p.returncode)
                time.sleep(0.01)
            self.assertEqual(shown.split(b"\0")[-5:], [b"--password", b"xxxxx", b"--password-stdin", a.encode(), b""])
            out, _ = p.communicate(b"beta\n", timeout=120)
        finally:
            if p.poll() is None:
                p.kill()
                p.wait()
        self.assertEqual(p.returncode, 1, out)

    @needs("walk")
    def test_progress_line_on_a_terminal(self):
        files = []
        for i in range(3):
            files.append(self.path("p%d.zip" % i))
            write_zip(files[-1], [("x", b"x")])
        master, slave = pty.openpty()
        try:
            r = subprocess.run([support.ZIPSCAN, "--module", support.MODULE, "scan"] + files, stdout=subprocess.PIPE,
                               stderr=slave, timeout=60)
            os.close(slave)
            slave = None
            seen = b""
            while True:
                try:
                    chunk = os.read(master, 4096)
                except OSError:
                    break
                if not chunk:
                    break
                seen += chunk
        finally:
            if slave is not None:
                os.close(slave)
            os.close(master)
        self.assertEqual(r.returncode, 0)
        self.assertIn(b"\rzipscan: ", seen)
        self.assertIn(b"files,", seen)
        self.assertTrue(seen.endswith(b"\r\x1b[K"), seen)  # the line is taken away at the end
        # Not on a terminal: nothing but results.
        self.assertEqual(run("scan", *files).stderr, b"")


if __name__ == "__main__":
    sys.exit(support.main(globals()))
