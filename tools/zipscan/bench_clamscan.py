#!/usr/bin/env python3
"""Times zipscan against ClamAV's clamscan on the same archives with the
same signatures, and prints the ratios zipscan/clamscan. Run by hand:

    python3 tools/zipscan/bench_clamscan.py [--build build] [--runs 3]

The archives (a 64 MiB deflated entry, and 20000 small entries) and the
signature sets (the anti-virus test file alone, then it and 10000 random hex
signatures) are made in a temporary folder. Both scanners get every limit
lifted, so both read everything. clamscan comes from the distribution's
clamav package (installed with apt-get when missing and run as root); it is
given only our signatures, so its time includes loading them, which is why
each set is also timed on an empty file. zipscan keeps big compiled sets in
a cache of the benchmark's own, so its best time is that of a run with the
cache filled; the "uncached" column is with --no-cache.
"""
import argparse
import os
import random
import shutil
import subprocess
import sys
import tempfile
import time
import zipfile

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "..", "examples"))
import make_example  # noqa: E402

TEST_FILE = make_example.test_file()


def ensure_clamscan():
    if shutil.which("clamscan"):
        return
    if os.geteuid() != 0:
        sys.exit("clamscan is missing: apt-get install clamav")
    subprocess.run(["apt-get", "update", "-qq"], check=True)
    subprocess.run(["apt-get", "install", "-y", "-qq", "clamav"], check=True,
                   env=dict(os.environ, DEBIAN_FRONTEND="noninteractive"))


def text(r, size):
    words = [bytes(r.choice(b"abcdefghijklmnopqrstuvwxyz") for _ in range(r.randint(2, 9))) for _ in range(5000)]
    out = bytearray()
    while len(out) < size:
        out += b" ".join(r.choice(words) for _ in range(200)) + b"\n"
    return out[:size]


def make_archives(d):
    r = random.Random(1)
    big = text(r, 64 << 20)
    big[(48 << 20) + 5:(48 << 20) + 5 + len(TEST_FILE)] = TEST_FILE
    archives = {"64 MiB entry": os.path.join(d, "big.zip"), "20000 entries": os.path.join(d, "many.zip")}
    with zipfile.ZipFile(archives["64 MiB entry"], "w", zipfile.ZIP_DEFLATED) as z:
        z.writestr("big.txt", bytes(big))
    pool = bytes(text(r, 1 << 20))
    with zipfile.ZipFile(archives["20000 entries"], "w", zipfile.ZIP_DEFLATED) as z:
        for i in range(20000):
            n = r.randint(200, 4000)
            at = r.randrange(len(pool) - n)
            data = pool[at:at + n] + (TEST_FILE if i == 19999 else b"")
            z.writestr("dir%02d/file%05d.txt" % (i % 50, i), data)
    return archives


def make_signatures(d, count):
    """The same set for both: a zipscan signatures file and a ClamAV .ndb."""
    r = random.Random(2)
    sigs = [("Test-File", TEST_FILE.hex())]
    for i in range(count):
        sigs.append(("Random.%05d" % i, bytes(r.randrange(256) for _ in range(r.randint(12, 24))).hex()))
    ours, theirs = os.path.join(d, "sigs%d.txt" % count), os.path.join(d, "sigs%d.ndb" % count)
    with open(ours, "w") as f:
        f.writelines("%s report hex %s\n" % s for s in sigs)
    with open(theirs, "w") as f:
        f.writelines("%s:0:*:%s\n" % s for s in sigs)
    return ours, theirs


def best_time(cmd, runs, any_status=False):
    best = None
    for _ in range(runs):
        start = time.perf_counter()
        r = subprocess.run(cmd, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        elapsed = time.perf_counter() - start
        if r.returncode not in (0, 1) and not any_status:
            sys.exit("failed (%d): %s\n%s" % (r.returncode, " ".join(cmd), r.stderr.decode(errors="replace")))
        best = elapsed if best is None else min(best, elapsed)
    return best, r.returncode


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--build", default=os.path.join(HERE, "..", "..", "build"))
    parser.add_argument("--runs", type=int, default=3)
    parser.add_argument("--counts", default="0,10000", help="random signatures besides the test file's, e.g. 0,10,10000")
    args = parser.parse_args()
    ensure_clamscan()
    zipscan = os.path.join(args.build, "zipscan")
    unlimited = ["--max-filesize", "0", "--max-scansize", "0", "--max-files", "0", "--max-scantime", "0"]
    clam_unlimited = ["--max-filesize=4000M", "--max-scansize=4000M", "--max-files=0", "--max-scantime=0",
                      "--max-recursion=16", "--no-summary"]
    d = tempfile.mkdtemp(prefix="zipscan-bench-")
    os.environ["ZIPSCAN_CACHE_DIR"] = os.path.join(d, "cache")
    try:
        archives = make_archives(d)
        empty = os.path.join(d, "empty.txt")
        open(empty, "wb").close()
        print("%-14s %-16s %10s %10s %10s %10s %8s %8s %8s" % ("signatures", "archive", "zipscan", "uncached", "simple",
                                                               "clamscan", "z/clam", "u/clam", "s/clam"))
        for count in (int(c) for c in args.counts.split(",")):
            ours, theirs = make_signatures(d, count)
            label = "test file" if count == 0 else "+%d hex" % count
            for name, path in [("empty file", empty)] + list(archives.items()):
                quiet = path == empty  # not an archive: only the start-up is timed
                z, zs = best_time([zipscan, "scan", "--no-builtin", "--signatures", ours] + unlimited + [path],
                                  args.runs, quiet)
                u, us = (best_time([zipscan, "scan", "--no-cache", "--no-builtin", "--signatures", ours] + unlimited +
                                   [path], args.runs, quiet) if count + 1 >= 256 else (None, zs))
                c, cs = best_time(["clamscan", "-d", theirs] + clam_unlimited + [path], args.runs, quiet)
                # The search of one signature at a time takes hours on 10000.
                s, ss = (best_time([zipscan, "scan", "--simple-search", "--no-builtin", "--signatures", ours] +
                                   unlimited + [path], args.runs, quiet) if count == 0 or quiet else (None, 1))
                agree = "" if quiet or (zs, us, ss, cs) == (1, 1, 1, 1) else \
                    "  (results differ: %d %d %d %d)" % (zs, us, ss, cs)
                uncached = ("%9.2fs" % u, "%8.2f" % (u / c)) if u is not None else ("%10s" % "-", "%8s" % "-")
                simple = ("%9.2fs" % s, "%8.2f" % (s / c)) if s is not None else ("%10s" % "-", "%8s" % "-")
                print("%-14s %-16s %9.2fs %s %s %9.2fs %8.2f %s %s%s" % (label, name, z, uncached[0], simple[0], c, z / c,
                                                                      uncached[1], simple[1], agree))
    finally:
        shutil.rmtree(d, ignore_errors=True)


if __name__ == "__main__":
    main()
