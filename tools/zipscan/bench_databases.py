#!/usr/bin/env python3
"""Times loading ClamAV signature databases with zipscan's -d, beside
clamscan loading the same files, and what the size of a body signature set
costs on one 4 MiB entry. Run by hand:

    python3 tools/zipscan/bench_databases.py [--build build] [--runs 5]

1. A database of 100,000 hash signatures (.hdb) and 20,000 body signatures
   (.ndb, with wildcards, gaps and alternatives) is loaded to scan a tiny
   archive: zipscan with the databases' load and its compiled search in the
   cache (filled by a first run), clamscan as it always loads. The target: zipscan at most a quarter
   of clamscan's time.
2. A 4 MiB entry is scanned with 10 and with 10,000 body signatures,
   loading included (cache filled). The target: 10,000 cost at most 1.5
   times 10.
Each figure is the best of --runs runs (the machine may be shared).
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


def best(cmd, runs, env=None):
    times = []
    for _ in range(runs):
        t = time.perf_counter()
        r = subprocess.run(cmd, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, env=env)
        times.append(time.perf_counter() - t)
        if r.returncode not in (0, 1):
            sys.exit("failed (%d): %s\n%s" % (r.returncode, " ".join(cmd), r.stderr.decode()))
    return min(times)


def body(r):
    """A body signature of the kinds real databases hold."""
    h = lambda n: bytes(r.randrange(256) for _ in range(n)).hex()
    kind = r.randrange(4)
    if kind == 0:
        return h(6) + "??" + h(5)
    if kind == 1:
        return h(5) + "{2-8}" + h(5)
    if kind == 2:
        return h(4) + "(%s|%s)" % (h(1), h(1)) + h(5)
    return h(8) + "*" + h(4)


def write_ndb(path, count, r):
    with open(path, "w") as f:
        for i in range(count):
            f.write("Bench.Body.%d:0:*:%s\n" % (i, body(r)))


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--build", default="build")
    parser.add_argument("--runs", type=int, default=5)
    args = parser.parse_args()
    zipscan = os.path.abspath(os.path.join(args.build, "zipscan"))
    module = os.path.abspath(os.path.join(args.build, "libzipext.so"))
    clamscan = shutil.which("clamscan")
    d = tempfile.mkdtemp(prefix="zipscan-dbbench-")
    env = dict(os.environ, ZIPSCAN_CACHE_DIR=os.path.join(d, "cache"))
    try:
        r = random.Random(7)
        big = os.path.join(d, "big")
        os.mkdir(big)
        with open(os.path.join(big, "bench.hdb"), "w") as f:
            for i in range(100000):
                f.write("%032x:%d:Bench.Hash.%d\n" % (r.getrandbits(128), r.randrange(1, 1 << 20), i))
        write_ndb(os.path.join(big, "bench.ndb"), 20000, r)
        tiny = os.path.join(d, "tiny.zip")
        with zipfile.ZipFile(tiny, "w", zipfile.ZIP_DEFLATED) as z:
            z.writestr("a.txt", b"nothing to see")
        entry = os.path.join(d, "entry.zip")
        with zipfile.ZipFile(entry, "w", zipfile.ZIP_STORED) as z:
            z.writestr("big.bin", bytes(r.getrandbits(8) for _ in range(4 << 20)))
        small, many = os.path.join(d, "10.ndb"), os.path.join(d, "10000.ndb")
        write_ndb(small, 10, r)
        write_ndb(many, 10000, r)

        scan = [zipscan, "--module", module, "scan"]
        t = time.perf_counter()
        subprocess.run(scan + ["-d", big, tiny], stdout=subprocess.DEVNULL, env=env)
        print("compiling 120,000 signatures into the cache: %.2f s (once)" % (time.perf_counter() - t))
        z_load = best(scan + ["-d", big, tiny], args.runs, env)
        print("load 100,000 hash + 20,000 body signatures, cached: zipscan %.3f s" % z_load)
        if clamscan:
            c_load = best([clamscan, "--no-summary", "-d", big, tiny], args.runs)
            print("                                                  clamscan %.3f s, ratio %.3f (target <= 0.25)"
                  % (c_load, z_load / c_load))
        for db in (small, many):
            subprocess.run(scan + ["-d", db, entry], stdout=subprocess.DEVNULL, env=env)
        t10 = best(scan + ["-d", small, entry], args.runs, env)
        t10k = best(scan + ["-d", many, entry], args.runs, env)
        print("4 MiB entry, loading included: 10 body signatures %.3f s, 10,000 %.3f s, ratio %.2f (target <= 1.5)"
              % (t10, t10k, t10k / t10))
        if clamscan:
            c10 = best([clamscan, "--no-summary", "-d", small, entry], args.runs)
            c10k = best([clamscan, "--no-summary", "-d", many, entry], args.runs)
            print("                       clamscan: 10 body signatures %.3f s, 10,000 %.3f s, ratio %.2f"
                  % (c10, c10k, c10k / c10))
    finally:
        shutil.rmtree(d, ignore_errors=True)


if __name__ == "__main__":
    main()
