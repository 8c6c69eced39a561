#!/usr/bin/env python3
"""The commands and the command line: help, check, selftest, usage and
module errors.

    zipscan_commands_test.py --zipscan BIN --module LIB --fake FAKELIB [GROUP...]
"""
import os
import re
import shutil
import subprocess
import sys

import zipscan_support as support
from zipscan_support import *  # noqa: F401,F403  (the helpers and the Base case)


class Commands(Base):
    def test_help_and_version(self):
        r = run("--help", module=False)
        self.assertEqual(r.returncode, 0)
        for word in (b"check", b"scan", b"selftest", b"--password-file", b"--stop-after-first"):
            self.assertIn(word, r.stdout)
        for version in ("--version", "-V"):
            r = run(version, module=False)
            self.assertEqual(r.returncode, 0)
            self.assertTrue(r.stdout.startswith(b"zipscan "))

    @needs("recognise")
    def test_check(self):
        good, text, empty = self.path("good.zip"), self.path("text.txt"), self.path("empty.zip")
        write_zip(good, [("a", b"a")])
        with open(text, "wb") as f:
            f.write(b"PK but not really an archive at all\n")
        open(empty, "wb").close()
        r = run("check", good)
        self.assertEqual((r.returncode, r.stdout), (0, good.encode() + b": ZIP archive\n"))
        r = run("check", good, text, empty)
        self.assertEqual(r.returncode, 1)  # not an archive: the answer, not an error
        self.assertEqual(r.stdout.decode().splitlines()[1:], [text + ": not a ZIP archive", empty + ": not a ZIP archive"])
        r = run("check", "--json", good, text, self.path("missing"))
        self.assertEqual(r.returncode, 2)
        docs = json_docs(r.stdout)
        self.assertEqual([d["zip"] for d in docs], [True, False, False])
        self.assertIsNone(docs[0]["error"])
        self.assertIn("No such file", docs[2]["error"])

    @needs("recognise")
    def test_check_offset(self):
        inner = self.path("inner.zip")
        write_zip(inner, [("a", b"a")])
        prefixed = self.path("prefixed.bin")
        with open(prefixed, "wb") as f:
            f.write(b"MZ" + b"\0" * 998 + read_bytes(inner))
        self.assertEqual(run("check", prefixed).returncode, 0)  # found from the end record
        self.assertEqual(run("check", "--offset", "500", prefixed).returncode, 1)
        self.assertEqual(run("check", "--offset", "1000", prefixed).returncode, 0)
        self.assertEqual(run("check", "--offset=0x3e8", prefixed).returncode, 0)

    @needs("walk")
    def test_scan_reads_only(self):
        a = self.path("a.zip")
        write_zip(a, [("one.txt", b"1" * 1000), ("dir/", b""), ("dir/two.txt", TEST_FILE), ("empty", b"")])
        before = read_bytes(a)
        os.utime(a, (1000000000, 1000000000))
        os.chmod(a, 0o444)  # a scan without --clean never needs write access
        r = run("scan", "--no-summary", a)
        self.assertEqual(read_bytes(a), before)
        self.assertEqual(os.stat(a).st_mtime, 1000000000)
        lines = r.stdout.decode().splitlines()
        self.assertEqual(lines[0], a)
        self.assertRegex(lines[1], r"^\s+1000  one\.txt: clean$")
        self.assertRegex(lines[2], r"^\s+-  dir/: directory$")
        self.assertRegex(lines[4], r"^\s+0  empty: clean$")
        if CAPS["inflate"]:
            self.assertEqual(r.returncode, 1)
            self.assertRegex(lines[3], r"^\s+68  dir/two\.txt: FOUND EICAR-Test-File -> reported \(delete with --clean\)$")
            self.assertIn("4 entries, 1 found", lines[-1])

    @needs("selftest")
    def test_selftest(self):
        a = self.path("a.zip")
        write_zip(a, [("x/one.txt", b"first"), ("two.txt", b"second" * 100)])
        out = self.path("out")
        r = run("selftest", a, "--dir", out)
        self.assertEqual(r.returncode, 0, r.stderr)
        # The self-test writes every entry straight below Test, without its folders.
        self.assertEqual(read_bytes(os.path.join(out, "Test", "one.txt")), b"first")
        self.assertEqual(read_bytes(os.path.join(out, "Test", "two.txt")), b"second" * 100)
        self.assertIn(b"self-test wrote 2 files", r.stdout)
        r = run("selftest", "--json", a, "--dir", out)
        doc = json_docs(r.stdout)[0]
        self.assertEqual(sorted((e["name"], e["size"]) for e in doc["extracted"]),
                         [("Test/one.txt", 5), ("Test/two.txt", 600)])
        # The self-test runs in the working directory when no --dir is given.
        r = subprocess.run([support.ZIPSCAN, "--module", support.MODULE, "selftest", a], cwd=self.dir, capture_output=True)
        self.assertEqual(r.returncode, 0)
        self.assertTrue(os.path.exists(self.path("Test/two.txt")))

    def test_selftest_refuses_non_archive(self):
        t = self.path("t.txt")
        with open(t, "wb") as f:
            f.write(b"plain text")
        self.assertOneLineError(run("selftest", t, "--dir", self.path("o")), t)


class Options(Base):
    def test_usage_errors(self):
        a = self.path("a.zip")
        write_zip(a, [("a", b"a")])
        cases = [
            ([], "no command"),
            (["frobnicate", a], "unknown command"),
            (["scan"], "needs at least one file"),
            (["scan", "--bogus", a], "unknown option --bogus"),
            (["scan", a, "--password"], "needs a value"),
            (["scan", "-j", "0", a], "-j needs"),
            (["scan", "-jx", a], "-j needs"),
            (["scan", "--offset", "-5", a], "--offset needs"),
            (["check", "--clean", a], "--clean belongs to scan"),
            (["check", "-r", a], "-r belongs to scan"),
            (["scan", "--dir", "x", a], "--dir belongs to selftest"),
            (["selftest", a, a], "exactly one archive"),
            (["scan", "--json=yes", a], "takes no value"),
            (["scan", "--password", "x" * 200, a], "longer than 127"),
            (["scan", "--max-filesize", "12Q", a], "--max-filesize needs a byte count"),
            (["scan", "--max-scansize", "-1", a], "--max-scansize needs a byte count"),
            (["scan", "--max-files", "x", a], "--max-files needs a number"),
            (["scan", "--max-scantime", "1.5", a], "--max-scantime needs a number"),
            (["scan", "--no-limit-report=1", a], "takes no value"),
            (["scan", "--clean", "--move", self.dir, a], "--clean cannot be given with --move"),
            (["scan", "--remove", "--clean", a], "--clean cannot be given with --move, --copy or --remove"),
            (["scan", "--move", self.dir, "--copy", self.dir, a], "exclude one another"),
            (["scan", "--remove", "--copy=" + self.dir, a], "exclude one another"),
            (["scan", "--move", self.path("nowhere"), a], "nowhere: No such file"),
            (["scan", "--exclude", "(", a], "--exclude '('"),
            (["scan", "--include-dir=[", a], "--include-dir '['"),
            (["scan", "--alert-exceeds-max=maybe", a], "takes =yes or =no"),
            (["scan", "--follow-dir-symlinks=1", a], "takes =0 (follow no link) or =2"),
            (["check", "-i", a], "belong to scan"),
            (["scan", "--password-stdin", "-"], "standard input cannot hold both"),
            (["scan", "-f", self.path("no-list"), a], "cannot read the file list"),
            (["scan", "-l", self.path("no/such/log"), a], "cannot open the log"),
            (["scan", "-", "--file-list", self.make_file("list", b"-\n")], "standard input (-) is named twice"),
        ]
        for args, message in cases:
            with self.subTest(args=args):
                self.assertOneLineError(run(*args), message)

    def test_help_matches_the_guide(self):
        # Every option in the guide's table is in --help and the other way round.
        guide = open(os.path.join(support.HERE, "..", "..", "docs", "zipscan.md"), encoding="utf-8").read()
        table = guide[guide.index("| option |"):]
        table = table[:table.index("\n\n")]
        documented = set(re.findall(r"(?<![\w-])(--?[a-zA-Z][a-z0-9-]*)", "\n".join(
            row.split("|")[1] for row in table.splitlines()[2:])))
        usage = run("--help", module=False).stdout.decode()
        usage = usage[usage.index("\noptions:"):usage.index("\nexit status")]
        offered = set(re.findall(r"^ {2}(--?[a-zA-Z][a-z0-9-]*)(?: [A-Z]+)?(?:, (--?[a-zA-Z][a-z0-9-]*))?", usage, re.M))
        offered = {o for pair in offered for o in pair if o}
        self.assertEqual(sorted(documented - offered), [])
        self.assertEqual(sorted(offered - documented), [])

    def test_module_errors(self):
        a = self.path("a.zip")
        write_zip(a, [("a", b"a")])
        notelf = self.path("libfake.so")
        with open(notelf, "wb") as f:
            f.write(b"not a library")
        libz = next((p for p in ("/lib/x86_64-linux-gnu/libz.so.1", "/usr/lib/x86_64-linux-gnu/libz.so.1",
                                 "/lib/libz.so.1") if os.path.exists(p)), None)
        cases = [(self.path("missing.so"), "no such file"), (notelf, "cannot load the module"), (self.dir, "cannot load")]
        if libz:
            cases.append((libz, "not a zipext module"))
        for module, message in cases:
            with self.subTest(module=module):
                r = subprocess.run([support.ZIPSCAN, "--module", module, "check", a], capture_output=True, timeout=60)
                self.assertOneLineError(r, message)

    def test_default_module_is_beside_the_binary(self):
        a = self.path("a.zip")
        write_zip(a, [("a", b"a")])
        r = run("check", a, module=False)
        self.assertIn(r.returncode, (0, 1), r.stderr)  # the module loaded
        lone = self.path("zipscan")
        shutil.copy(support.ZIPSCAN, lone)
        r = subprocess.run([lone, "check", a], capture_output=True, timeout=60)
        self.assertOneLineError(r, os.path.join(self.dir, "libzipext.so"))

    def test_offset_past_the_end(self):
        a = self.path("a.zip")
        write_zip(a, [("a", b"a")])
        self.assertOneLineError(run("scan", "--offset", "1000000", a), "lies past the end")


if __name__ == "__main__":
    sys.exit(support.main(globals()))
