#!/usr/bin/env python3
"""Cleaning: delete and cure, what the cleaned archive keeps, links and
owners of the file cleaned.

    zipscan_clean_test.py --zipscan BIN --module LIB --fake FAKELIB [GROUP...]
"""
import io
import os
import random
import shutil
import stat
import struct
import subprocess
import sys
import tempfile
import zipfile
import zlib

import zipscan_support as support
from zipscan_support import *  # noqa: F401,F403  (the helpers and the Base case)


class Clean(Base):
    @needs("clean", "password")
    def test_delete(self):
        a = self.path("a.zip")
        keep = [("keep/one.txt", b"one " * 100, 8, None), ("keep/two.txt", b"two", 0, None)]
        write_custom(a, keep[:1] + [("bad.com", TEST_FILE, 8, None), ("secret/bad.txt", TEST_FILE, 8, "pw")] + keep[1:])
        r = run("scan", "--clean", "--password", "pw", a)
        self.assertEqual(r.returncode, 1, r.stdout + r.stderr)
        out = r.stdout.decode()
        self.assertIn("bad.com: FOUND EICAR-Test-File -> deleted", out)
        self.assertIn("secret/bad.txt: FOUND EICAR-Test-File -> deleted", out)
        self.assertIn("2 deleted, 0 cured, archive rewritten", out)
        with zipfile.ZipFile(a) as z:
            self.assertIsNone(z.testzip())
            self.assertEqual([(i.filename, z.read(i)) for i in z.infolist()], [(n, d) for n, d, _, _ in keep])
        self.assertEqual(unzip_test(a), 0)
        self.assertEqual(run("scan", a).returncode, 0)
        self.assertNoWorkingCopies()

    @needs("cure")
    def test_cure(self):
        a = self.path("c.zip")
        page = b"<html>" + make_example.INJECTED + b"<body>ok</body>" + make_example.INJECTED + b"</html>"
        write_zip(a, [("index.html", page), ("other.txt", b"other")])
        sig = "cure:" + make_example.INJECTED.decode()
        r = run("scan", "--json", "--clean", "--signature", sig, a)
        doc = json_docs(r.stdout)[0]
        self.assertEqual((r.returncode, doc["changed"]), (1, True))
        self.assertEqual(doc["entries"][0]["action"], "cured")
        self.assertEqual(doc["entries"][0]["findings"][0]["matches"], 2)
        with zipfile.ZipFile(a) as z:
            self.assertIsNone(z.testzip())
            # The cured entry comes back under its old name, after the others.
            self.assertEqual(z.namelist(), ["other.txt", "index.html"])
            self.assertEqual(z.read("index.html"), b"<html><body>ok</body></html>")
        self.assertEqual(unzip_test(a), 0)
        self.assertEqual(run("scan", "--signature", sig, a).returncode, 0)

    @needs("cure", "password")
    def test_cured_entries_keep_their_encryption(self):
        a = self.path("mixed.zip")
        page = b"<p>" + make_example.INJECTED + b"</p>"
        # The encrypted page comes first, so a password is in force by the
        # time the plain page is visited.
        write_custom(a, [("secret.html", page, 8, "pw"), ("plain.html", page, 8, None),
                         ("other.txt", b"other", 8, "pw")])
        r = run("scan", "--clean", "--password", "pw", "--signature", "cure:" + make_example.INJECTED.decode(), a)
        self.assertEqual(r.returncode, 1, r.stdout + r.stderr)
        with zipfile.ZipFile(a) as z:
            infos = {i.filename: i for i in z.infolist()}
            self.assertEqual(sorted(infos), ["other.txt", "plain.html", "secret.html"])
            self.assertEqual(infos["plain.html"].flag_bits & 1, 0)
            self.assertEqual(z.read("plain.html"), b"<p></p>")
            self.assertEqual(infos["secret.html"].flag_bits & 1, 1)
            self.assertEqual(z.read("secret.html", pwd=b"pw"), b"<p></p>")
            self.assertEqual(z.read("other.txt", pwd=b"pw"), b"other")
        self.assertEqual(unzip_test(a, "pw"), 0)

    @needs("cure")
    def test_cure_repeats_until_nothing_is_left(self):
        a = self.path("r.zip")
        write_zip(a, [("x", b"abBADBADcd")])
        run("scan", "--clean", "--signature", "cure:BAD", a)
        with zipfile.ZipFile(a) as z:
            self.assertEqual(z.read("x"), b"abcd")
        b = self.path("nested.zip")
        write_zip(b, [("x", b"aBBADADc")])  # removing the middle match joins a new one
        run("scan", "--clean", "--signature", "cure:BAD", b)
        with zipfile.ZipFile(b) as z:
            self.assertEqual(z.read("x"), b"ac")

    @needs("clean")
    def test_clean_archive_left_byte_identical(self):
        a = self.path("clean.zip")
        write_zip(a, [("a", b"a" * 5000), ("b", b"b")])
        before = read_bytes(a)
        os.utime(a, (1000000000, 1000000000))
        r = run("scan", "--clean", "--signature", "report:aaaa", a)
        self.assertEqual(r.returncode, 1)  # found, but report only: nothing to change
        self.assertEqual(read_bytes(a), before)
        self.assertEqual(os.stat(a).st_mtime, 1000000000)
        self.assertNoWorkingCopies()

    @needs("clean")
    def test_clean_with_offset_keeps_the_prefix(self):
        inner = self.path("inner.zip")
        write_zip(inner, [("ok", b"fine"), ("bad", TEST_FILE)])
        prefix = b"#!/bin/sh\necho self-extractor\nexit 0\n" + b"\0" * 64
        a = self.path("sfx.bin")
        with open(a, "wb") as f:
            f.write(prefix + read_bytes(inner))
        r = run("scan", "--clean", "--offset", len(prefix), a)
        self.assertEqual(r.returncode, 1, r.stdout + r.stderr)
        data = read_bytes(a)
        self.assertTrue(data.startswith(prefix))
        with open(inner, "wb") as f:
            f.write(data[len(prefix):])
        with zipfile.ZipFile(inner) as z:
            self.assertEqual(z.namelist(), ["ok"])

    @needs("clean")
    def test_archives_within_entries(self):
        for depth in (1, 3):
            data, inner = nested_zip(depth, b"pad " + TEST_FILE)
            a = self.path("outer%d.zip" % depth)
            with open(a, "wb") as f:
                f.write(data)
            r = run("scan", "--clean", a)
            self.assertEqual(r.returncode, 1, r.stdout + r.stderr)
            self.assertIn(("  %s: FOUND EICAR-Test-File -> deleted" % inner).encode(), r.stdout)
            self.assertIn(b"  in%d.zip: archive with findings -> cured" % depth, r.stdout)
            self.assertEqual(unzip_test(a), 0)
            # Every level is still there, each without the test file.
            z = zipfile.ZipFile(a)
            for level in range(depth, 0, -1):
                self.assertIsNone(z.testzip())
                self.assertEqual(z.namelist(), ["keep%d.txt" % level, "in%d.zip" % level])
                z = zipfile.ZipFile(io.BytesIO(z.read("in%d.zip" % level)))
            self.assertEqual([(n, z.read(n)) for n in z.namelist()], [("ok.txt", b"fine")])
            self.assertEqual(run("scan", a).returncode, 0)
            self.assertNoWorkingCopies()

    @needs("clean")
    def test_symbolic_links_are_refused_unless_followed(self):
        a = self.path("real.zip")
        write_zip(a, [("ok", b"fine"), ("bad", TEST_FILE)])
        os.chmod(a, 0o640)
        before = read_bytes(a)
        link = self.path("link.zip")
        os.symlink("real.zip", link)
        for args in (["scan"], ["scan", "--clean"], ["check"]):
            with self.subTest(args=args):
                self.assertOneLineError(run(*args, link), link + ": is a symbolic link")
        self.assertEqual(read_bytes(a), before)
        self.assertEqual(run("scan", "--clean", "--follow-links", link).returncode, 1)
        self.assertTrue(os.path.islink(link))
        self.assertEqual(stat.S_IMODE(os.stat(a).st_mode), 0o640)
        with zipfile.ZipFile(a) as z:
            self.assertEqual(z.namelist(), ["ok"])
        self.assertNoWorkingCopies()

    @needs("clean")
    def test_path_swapped_to_a_link_mid_scan_is_not_replaced(self):
        a, other = self.path("slow.zip"), self.path("other.zip")
        write_zip(a, [("f%05d" % i, b"x" * 200) for i in range(20000)] + [("bad", TEST_FILE)])
        write_zip(other, [("victim", b"precious")])
        victim = read_bytes(other)
        # Past the default entry limit, so that the scan lasts and still reaches "bad";
        # no output pipe that could fill up and stall the run before cleaning.
        p = subprocess.Popen([support.ZIPSCAN, "--module", support.MODULE, "scan", "--clean", "--max-files", "0", a],
                             stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
        # Swap once cleaning has begun (its working copy appears beside the file).
        while p.poll() is None and not any(".zipscan-" in n for n in os.listdir(self.dir)):
            pass
        os.rename(a, a + ".moved")
        os.symlink(other, a)
        ended_before = p.poll() is not None
        out, err = p.communicate(timeout=120)
        if ended_before:
            self.skipTest("the run ended before the swap")
        self.assertEqual(p.returncode, 1, err)  # found, and not cleaned
        self.assertIn(b"changed while it was scanned", err)
        self.assertEqual(read_bytes(other), victim)
        self.assertTrue(os.path.islink(a))
        self.assertNoWorkingCopies()

    @needs("clean")
    def test_set_id_file_keeps_its_owner_and_loses_set_id_bits(self):
        if os.geteuid() != 0:
            self.skipTest("needs root to give the file another owner")
        a = self.path("suid.zip")
        write_zip(a, [("ok", b"fine"), ("bad", TEST_FILE)])
        os.chown(a, 1234, 2345)
        os.chmod(a, 0o6755)
        self.assertEqual(run("scan", "--clean", a).returncode, 1)
        st = os.stat(a)
        self.assertEqual((st.st_uid, st.st_gid, stat.S_IMODE(st.st_mode)), (1234, 2345, 0o755))
        with zipfile.ZipFile(a) as z:
            self.assertEqual(z.namelist(), ["ok"])

    @needs("inflate")
    def test_move_copy_and_remove_whole_files(self):
        # Within the test folder, and across file systems where /dev/shm is another one.
        places = [self.path("quarantine")]
        if os.access("/dev/shm", os.W_OK) and os.stat("/dev/shm").st_dev != os.stat(self.dir).st_dev:
            places.append(tempfile.mkdtemp(prefix="zipscan-quarantine-", dir="/dev/shm"))
            self.addCleanup(shutil.rmtree, places[-1], True)
        os.makedirs(places[0])
        for q in places:
            for n in os.listdir(q):
                os.unlink(os.path.join(q, n))
            bad, ok = self.path("bad.zip"), self.path("ok.zip")
            write_zip(bad, [("ok", b"fine"), ("bad", TEST_FILE)])
            write_zip(ok, [("ok", b"fine")])
            data = read_bytes(bad)
            os.chmod(bad, 0o6755)
            # A name already taken in the quarantine is never overwritten: .001, .002 follow.
            cases = [  # option, file left, name in the quarantine, its mode
                ("--copy=" + q, True, "bad.zip", 0o600),
                ("--copy=" + q, True, "bad.zip.001", 0o600),
                ("--move=" + q, False, "bad.zip.002", 0o755),
            ]
            for option, left, name, mode in cases:
                with self.subTest(place=q, option=option):
                    r = run("scan", "--no-summary", option, bad, ok)
                    self.assertEqual(r.returncode, 1, r.stderr)
                    self.assertIn("file %s to '%s/%s'" % ("copied" if left else "moved", q, name), r.stdout.decode())
                    self.assertEqual(os.path.exists(bad), left)
                    self.assertEqual(read_bytes(os.path.join(q, name)), data)
                    self.assertEqual(stat.S_IMODE(os.lstat(os.path.join(q, name)).st_mode), mode)
                    self.assertTrue(os.path.exists(ok))  # a clean file stays where it is
            self.assertEqual(sorted(os.listdir(q)), ["bad.zip", "bad.zip.001", "bad.zip.002"])
            doc = json_docs(run("scan", "--json", "--copy", q, os.path.join(q, "bad.zip")).stdout)[0]
            self.assertEqual(doc["file_action"], "copied to '%s/bad.zip.003'" % q)
        # --remove; a link as the file is refused, and neither it nor what it leads to is touched.
        write_zip(bad, [("bad", TEST_FILE)])
        os.symlink(bad, self.path("link.zip"))
        self.assertOneLineError(run("scan", "--remove", self.path("link.zip")), "is a symbolic link")
        self.assertTrue(os.path.exists(bad))
        r = run("scan", "-r", "--remove", self.dir)
        self.assertEqual(r.returncode, 1, r.stderr)
        self.assertIn(bad + ": FOUND EICAR-Test-File in bad -> reported (delete with --clean), file removed", r.stdout.decode())
        self.assertFalse(os.path.exists(bad))
        self.assertTrue(os.path.exists(ok))
        # A quarantine given as a link is refused before anything is scanned.
        write_zip(bad, [("bad", TEST_FILE)])
        os.symlink(places[0], self.path("qlink"))
        self.assertOneLineError(run("scan", "--move", self.path("qlink"), bad), "is a symbolic link")
        self.assertTrue(os.path.exists(bad))

    @needs("clean")
    def test_hard_links_all_see_the_cleaned_archive(self):
        a, b = self.path("one.zip"), self.path("two.zip")
        write_zip(a, [("ok", b"fine"), ("bad", TEST_FILE)])
        os.link(a, b)
        inode = os.stat(a).st_ino
        r = run("scan", "--clean", a)
        self.assertEqual(r.returncode, 1, r.stderr)
        self.assertIn(b"rewritten in place", r.stdout)
        for p in (a, b):
            self.assertEqual(os.stat(p).st_ino, inode)
            with zipfile.ZipFile(p) as z:
                self.assertEqual(z.namelist(), ["ok"])
                self.assertIsNone(z.testzip())
        self.assertNoWorkingCopies()

    @needs("clean")
    def test_a_clean_killed_at_any_write_leaves_the_old_or_the_new_file(self):
        noise = random.Random(23)
        entries = [("one.bin", bytes(noise.getrandbits(8) for _ in range(5000))), ("bad.com", TEST_FILE),
                   ("two.bin", bytes(noise.getrandbits(8) for _ in range(4000)))]
        original = self.make_file("original.zip", b"")
        write_zip(original, entries)
        before = read_bytes(original)
        for linked in (False, True):
            with self.subTest(linked=linked):
                a, other = self.path("a.zip"), self.path("other.zip")

                def fresh():
                    for p in (a, other):
                        if os.path.exists(p):
                            os.unlink(p)
                    shutil.copy(original, a)
                    if linked:  # rewritten in place, under a journal
                        os.link(a, other)

                fresh()
                self.assertEqual(run("scan", "--clean", a).returncode, 1)
                after = read_bytes(a)
                self.assertNotEqual(after, before)
                seen, kill = set(), 0
                while True:
                    kill += 1
                    fresh()
                    r = run("scan", "--clean", a, env={"ZIPSCAN_TEST_KILL_AFTER_WRITES": str(kill)})
                    if r.returncode != -9:
                        self.assertEqual((r.returncode, read_bytes(a)), (1, after), r.stderr)
                        break
                    # The next run, even one that only scans, sets things straight.
                    run("scan", a)
                    now = read_bytes(a)
                    self.assertIn(now, (before, after), "killed after write %d" % kill)
                    seen.add(now == after)
                    if linked:
                        self.assertEqual(read_bytes(other), now)
                    self.assertEqual([n for n in os.listdir(self.dir) if ".zipscan-" in n], [], kill)
                self.assertGreaterEqual(kill, 20)
                self.assertEqual(seen, {False, True})  # killed before and after the change counts
        self.assertNoWorkingCopies()

    def test_only_journals_of_its_own_are_applied(self):
        a, victim = self.make_file("a.zip", b"the file a"), self.make_file("victim", b"precious " * 1000)
        st = os.stat(victim)
        # A journal as zipscan writes one, naming another file's inode: never applied.
        header = b"zipscan journal\x01" + struct.pack("<QQQQQ", st.st_dev, st.st_ino, 9000, 10, 0)
        header += struct.pack("<I", zlib.crc32(header)) + bytes(4)
        journal = self.make_file(".a.zip.zipscan-journal", header.ljust(4096, b"\0") + b"x" * 9000)
        os.chmod(journal, 0o600)
        r = run("scan", a)
        self.assertEqual(r.returncode, 2)
        self.assertIn(b"the file it belongs to is no longer there", r.stderr)
        self.assertEqual((read_bytes(a), read_bytes(victim)), (b"the file a", b"precious " * 1000))
        self.assertTrue(os.path.exists(journal))
        os.unlink(journal)
        if os.geteuid() == 0:
            # The right inode, but another user's file: left alone, as is a
            # working copy of another owner.
            st = os.stat(a)
            header = b"zipscan journal\x01" + struct.pack("<QQQQQ", st.st_dev, st.st_ino, 5, 10, 0)
            header += struct.pack("<I", zlib.crc32(header)) + bytes(4)
            journal = self.make_file(".a.zip.zipscan-journal", header.ljust(4096, b"\0") + b"XXXXX")
            copy = self.make_file(".a.zip.zipscan-abc123", b"someone's")
            for p in (journal, copy):
                os.chown(p, 1234, 1234)
                os.chmod(p, 0o600)
            run("scan", a)
            self.assertEqual((read_bytes(a), os.path.exists(journal), os.path.exists(copy)),
                             (b"the file a", True, True))

    @needs("clean")
    def test_sparse_file_is_cleaned_without_filling_its_holes(self):
        a = self.path("sparse.zip")
        inner = self.path("inner.zip")
        write_zip(inner, [("ok.txt", b"fine"), ("bad.com", TEST_FILE)])
        hole = 1 << 30

        def make():
            with open(a, "wb") as f:
                f.truncate(hole)
                f.seek(hole)
                f.write(read_bytes(inner))
            return os.stat(a).st_blocks

        small = make() * 512 + (1 << 20)
        if os.stat(a).st_blocks * 512 >= hole:
            self.skipTest("the file system here has no holes")
        # Refused above the bound: the file is untouched.
        r = run("scan", "--clean", "--max-cleansize", "1K", a)
        self.assertEqual(r.returncode, 1, r.stderr)
        self.assertIn(b"more than --max-cleansize (1024); the archive is left unchanged", r.stderr)
        with zipfile.ZipFile(a) as z:
            self.assertEqual(z.namelist(), ["ok.txt", "bad.com"])
        self.assertNoWorkingCopies()
        for linked in (False, True):
            with self.subTest(linked=linked):
                make()
                if linked:
                    os.link(a, self.path("link.zip"))
                r = run("scan", "--clean", a)
                self.assertEqual(r.returncode, 1, r.stderr)
                st = os.stat(a)
                self.assertLess(st.st_blocks * 512, small)
                self.assertGreater(st.st_size, hole)
                with zipfile.ZipFile(a) as z:
                    self.assertEqual(z.namelist(), ["ok.txt"])
                    self.assertEqual(z.read("ok.txt"), b"fine")
                with open(a, "rb") as f:
                    self.assertEqual(f.read(1 << 16), bytes(1 << 16))
                if linked:
                    os.unlink(self.path("link.zip"))
                self.assertNoWorkingCopies()

    @needs("clean", "password", "shrink", "cure")
    def test_example_archive(self):
        a = self.path("example.zip")
        with open(a, "wb") as f:
            f.write(make_example.example())
        self.assertEqual(unzip_test(a, make_example.PASSWORD), 0)
        r = run("scan", "--clean", "--password", make_example.PASSWORD,
                "--signature", "cure:" + make_example.INJECTED.decode(), a)
        self.assertEqual(r.returncode, 1, r.stdout + r.stderr)
        self.assertEqual(unzip_test(a), 0)
        names = subprocess.run(["unzip", "-Z1", a], capture_output=True).stdout.decode().split()
        self.assertEqual(names, ["README.txt", "docs/", "docs/manual.txt", "docs/notes.txt", "web/index.html"])
        manual = subprocess.run(["unzip", "-p", a, "docs/manual.txt"], capture_output=True).stdout
        self.assertEqual(manual, make_example.MANUAL)
        self.assertEqual(run("scan", "--signature", "cure:" + make_example.INJECTED.decode(), a).returncode, 0)


if __name__ == "__main__":
    sys.exit(support.main(globals()))
