#!/usr/bin/env python3
"""Records what ZipArchive_Decode hands over for every archive of the corpus
and for mutants of the differential fuzzer's seeds, and holds one build's
record against another's: a change to how entries are read that means to
keep behaviour must keep every sequence (name, size, SHA-256 of the
content), the result code and the cleaned archive.

  compare_handovers.py record BUILD OUT.json [--mutants N] [--seed S]
  compare_handovers.py compare OLD.json NEW.json

Each archive is decoded three times: every hand-over answered with no
verdict, with 'cured' and with 'delete'. Slow (minutes); not part of CI.
"""
import argparse
import concurrent.futures
import hashlib
import json
import os
import struct
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
sys.path.insert(0, os.path.join(ROOT, "fuzz", "differential"))

VERDICTS = (0, 3, 5)


def corpus_dir():
    env = os.environ.get("ZIPEXT_CORPUS_DIR")
    if env:
        return env
    here = ROOT
    while here != os.path.dirname(here):
        candidate = os.path.join(here, "shared", "corpus")
        if os.path.isdir(candidate):
            return candidate
        here = os.path.dirname(here)
    sys.exit("no corpus found (set ZIPEXT_CORPUS_DIR)")


def passwords(corpus):
    known = {}
    with open(os.path.join(corpus, "MANIFEST.tsv"), encoding="utf-8") as f:
        next(f)
        for line in f:
            cols = line.rstrip("\n").split("\t")
            if len(cols) > 8 and cols[8] != "-":
                known.setdefault(cols[0], cols[8])
    return known


def build_tracer(out):
    subprocess.run(["c++", "-std=c++17", "-O1", "-I", ROOT, os.path.join(HERE, "handover_trace.cpp"),
                    "-ldl", "-o", out], check=True)


def parse(data):
    """Hand-overs and the result of one trace."""
    handed, at = [], 0
    while at < len(data):
        tag = data[at:at + 1]
        at += 1
        if tag == b"H":
            (n,) = struct.unpack_from("<Q", data, at)
            name = data[at + 8:at + 8 + n].decode("utf-8", "backslashreplace")
            at += 8 + n
            size, held = struct.unpack_from("<QQ", data, at)
            at += 16
            handed.append([name, size, hashlib.sha256(data[at:at + held]).hexdigest()])
            at += held
        elif tag == b"R":
            code, length = struct.unpack_from("<QQ", data, at)
            at += 16
            return handed, code, hashlib.sha256(data[at:at + length]).hexdigest(), length
        else:
            break
    return handed, None, None, None


def trace(tracer, module, path, password):
    runs = {}
    for verdict in VERDICTS:
        try:
            p = subprocess.run([tracer, module, str(verdict), password, path], capture_output=True, timeout=120)
            handed, code, digest, length = parse(p.stdout)
            # A cure appends a copy stamped with the time of the cure.
            runs[str(verdict)] = {"handed": handed, "code": code, "exit": p.returncode,
                                  "archive": length if verdict == 3 else digest}
        except subprocess.TimeoutExpired:
            runs[str(verdict)] = {"timeout": True}
    return runs


def mutants(count, seed, folder):
    import mutate
    import seeds as seedlib
    made, _ = seedlib.make_seeds()
    extra = seedlib.clean_archive()
    names = sorted(made)
    paths = []
    for name in names:
        path = os.path.join(folder, "seed-%s.zip" % name)
        with open(path, "wb") as f:
            f.write(made[name])
        paths.append(("seed:" + name, path))
    import random
    for index in range(count):
        rng = random.Random("%s:seed:%d" % (seed, index))
        name = names[rng.randrange(len(names))]
        steps = mutate.make_mutant(name, made[name], seed, index, extra)
        image, _ = mutate.apply_steps(made[name], steps)
        path = os.path.join(folder, "mutant-%05d.zip" % index)
        with open(path, "wb") as f:
            f.write(image)
        paths.append(("mutant:%d:%s" % (index, name), path))
    return paths


def record(args):
    corpus = corpus_dir()
    known = passwords(corpus)
    with tempfile.TemporaryDirectory() as folder:
        tracer = os.path.join(folder, "handover_trace")
        build_tracer(tracer)
        module = os.path.join(os.path.abspath(args.build), "libzipext.so")
        jobs = []
        for top, _, files in os.walk(corpus):
            for f in sorted(files):
                if f.endswith((".tsv", ".md")):
                    continue
                path = os.path.join(top, f)
                rel = os.path.relpath(path, corpus)
                jobs.append(("corpus:" + rel, path, known.get(rel, "-")))
        jobs += [(key, path, "-") for key, path in mutants(args.mutants, args.seed, folder)]
        result = {}
        with concurrent.futures.ThreadPoolExecutor(args.jobs) as pool:
            futures = {pool.submit(trace, tracer, module, path, pw): key for key, path, pw in jobs}
            for future in concurrent.futures.as_completed(futures):
                result[futures[future]] = future.result()
    with open(args.out, "w") as f:
        json.dump(result, f, sort_keys=True, indent=0)
    handed = sum(len(r["0"].get("handed", [])) for r in result.values())
    print("%d archives, %d hand-overs without verdicts" % (len(result), handed))


def compare(args):
    with open(args.old) as f:
        old = json.load(f)
    with open(args.new) as f:
        new = json.load(f)
    differ = [k for k in sorted(set(old) | set(new)) if old.get(k) != new.get(k)]
    for key in differ[:20]:
        print("differs:", key)
        for verdict in map(str, VERDICTS):
            a, b = old.get(key, {}).get(verdict), new.get(key, {}).get(verdict)
            if a != b:
                print("  verdict %s\n    old %s\n    new %s" % (verdict, json.dumps(a)[:400], json.dumps(b)[:400]))
    handed = sum(len(r[v].get("handed", [])) for r in old.values() for v in r)
    print("%d archives, %d hand-overs in all runs: %d differ" % (len(old), handed, len(differ)))
    return 1 if differ else 0


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    sub = parser.add_subparsers(dest="action", required=True)
    r = sub.add_parser("record")
    r.add_argument("build", help="folder with libzipext.so")
    r.add_argument("out")
    r.add_argument("--mutants", type=int, default=400)
    r.add_argument("--seed", default="handovers")
    r.add_argument("-j", "--jobs", type=int, default=2)
    c = sub.add_parser("compare")
    c.add_argument("old")
    c.add_argument("new")
    args = parser.parse_args()
    if args.action == "record":
        record(args)
        return 0
    return compare(args)


if __name__ == "__main__":
    sys.exit(main())
