#!/usr/bin/env python3
"""Differential fuzzer: mutants of small marker-holding archives, each
scanned by zipscan and extracted by 7zz, unzip, bsdtar (seekable and from a
pipe) and Python's zipfile. An escape is a mutant some peer writes the
marker from while zipscan calls it clean (exit 0, no finding). Escapes are
minimised and grouped into families by the records and fields their steps
touched; a crash, a hang, or an escape in a closed family fails the run.

    python3 fuzz/differential/difffuzz.py --mutants 20000 -j 2 --out build/difffuzz
"""
import argparse
import json
import multiprocessing
import os
import random
import re
import shutil
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import mutate  # noqa: E402
import oracle  # noqa: E402
import seeds as seedlib  # noqa: E402
import zipfmt  # noqa: E402

# Families the module and zipscan have closed (each found before, none
# since): an escape in one fails the run. Damaged data is closed by being
# named (exit 2) where no reading goes further.
CLOSED_FAMILIES = {
    "seed 7zz-ppmd",
    "flip deflate data of the marked entry",
    "flip deflate64 data of the marked entry",
    "delete bytes in local.name",
    "delete bytes in stored data of another entry",
    "delete bytes in deflate data of another entry",
    "delete bytes in encrypted deflate data of another entry",
    "delete bytes in bzip2 data of another entry",
    "delete bytes in lzma data of another entry",
    "set central.compressed_size with descriptor",
    "set central.uncompressed_size with descriptor",
}

# Kinds of fault (below) the module has closed whole: an escape in any
# family of such a kind fails the run.
CLOSED_KINDS = {
    "cleaned, yet a peer surfaces the marker",
    "end record's disk number",
    "local version needed",
    "local method differs from the central one",
    "a size or CRC of an entry with a descriptor",
    "local name or extra-field length",
    "bytes inserted in front of a local entry, or its compressed size",
    "damaged data of the marked entry (with other damage or alone)",
    "a byte cut from an earlier entry (later offsets one off)",
    "a second archive inserted, with other changes",
}

# Families gathered into the kinds of fault behind them, for the table's
# second part: the first pattern that matches a family's name wins.
KINDS = [
    ("cleaned, yet a peer surfaces the marker", r"^cleaned: "),
    ("end record's disk number", r"end\.disk_number"),
    ("local version needed", r"local\.version_needed"),
    ("local method differs from the central one", r"local\.method"),
    ("a size or CRC of an entry with a descriptor", r"with descriptor"),
    ("local name or extra-field length", r"local\.(name|extra)_length"),
    ("bytes inserted in front of a local entry, or its compressed size",
     r"before local|local\.compressed_size"),
    ("damaged data of the marked entry (with other damage or alone)",
     r"(flip|delete bytes in|insert bytes in) [a-z0-9 &]*data of the marked entry"),
    ("a byte cut from an earlier entry (later offsets one off)",
     r"^delete bytes in (local\.name|[a-z0-9 ]* data of another entry)$"),
    ("a second archive inserted, with other changes", r"insert an archive"),
    ("seed not decoded", r"^seed "),
]


def kind_of(family):
    for name, rule in KINDS:
        if rule(family) if callable(rule) else re.search(rule, family):
            return name
    return "other"


HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(os.path.dirname(HERE))

_state = {}


def _init(state):
    _state.update(state)
    _state["dir"] = os.path.join(state["work"], "w%d" % os.getpid())
    os.makedirs(_state["dir"], exist_ok=True)
    _state["scanner"] = oracle.Zipscan(state["build"], state["timeout"], state["asan"])


def _write(image, name="mutant.zip"):
    path = os.path.join(_state["dir"], name)
    with open(path, "wb") as f:
        f.write(image)
    return path


def judge(image, all_peers=True):
    """zipscan's result and, when it did not find the marker, the peers
    that surface it (all of them for an escape, else up to the first)."""
    path = _write(image)
    scan = _state["scanner"].scan(path)
    surfaced = []
    if not (scan["crash"] or scan["hang"] or scan["found"] or scan["exit"] == 1):
        for peer in oracle.PEER_ORDER:
            if oracle.run_peer(peer, path, _state["peer_timeout"]):
                surfaced.append(peer)
                if not all_peers or scan["exit"] != 0:
                    break
    if scan["crash"]:
        outcome = "crash"
    elif scan["hang"]:
        outcome = "hang"
    elif scan["found"] or scan["exit"] == 1:
        outcome = "found"
    elif scan["exit"] == 0:
        outcome = "escape" if surfaced else "clean"
    else:
        outcome = "exit2-surfaced" if surfaced else "exit2"
    if outcome == "found" and _state.get("clean"):
        # Cleaning: a copy cleaned with a delete signature; where zipscan says
        # every finding was deleted, no peer may still surface the marker.
        cleaned = _write(image, "cleaned.zip")
        done = _state["scanner"].scan(cleaned, clean=True)
        if done["crash"] or done["hang"]:
            outcome = "crash" if done["crash"] else "hang"
            scan = dict(scan, detail="while cleaning: " + done["detail"])
        elif done["claims_deleted"]:
            for peer in oracle.PEER_ORDER:
                if oracle.run_peer(peer, cleaned, _state["peer_timeout"]):
                    surfaced.append(peer)
                    if not all_peers:
                        break
            if surfaced:
                outcome = "clean-escape"
    return {"outcome": outcome, "surfaced": surfaced, "exit": scan["exit"],
            "detail": scan["detail"]}


def _escapes(seed_image, steps, outcome):
    image, _ = mutate.apply_steps(seed_image, steps)
    return judge(image, all_peers=False)["outcome"] == outcome


def minimise(seed_image, steps, outcome):
    """Greedy: drop steps while the escape stays, then shrink each step."""
    steps = list(steps)
    i = len(steps) - 1
    while i >= 0 and len(steps) > 0:
        trial = steps[:i] + steps[i + 1:]
        if _escapes(seed_image, trial, outcome):
            steps = trial
        i -= 1
    changed, rounds = True, 0
    while changed and rounds < 8:
        changed, rounds = False, rounds + 1
        for i, step in enumerate(steps):
            for candidate in mutate.shrink_candidates(step):
                trial = steps[:i] + [candidate] + steps[i + 1:]
                if _escapes(seed_image, trial, outcome):
                    steps, changed = trial, True
                    break
    return steps


def evaluate(index):
    names = _state["mutable"]
    rng = random.Random("%s:seed:%d" % (_state["seed"], index))
    name = names[rng.randrange(len(names))]
    seed_image = _state["seeds"][name]
    steps = mutate.make_mutant(name, seed_image, _state["seed"], index, _state["extra"])
    image, tags = mutate.apply_steps(seed_image, steps)
    verdict = judge(image)
    result = {"index": index, "seed": name, "outcome": verdict["outcome"],
              "surfaced": verdict["surfaced"], "tags": tags}
    if verdict["outcome"] in ("crash", "hang"):
        result.update(steps=steps, hex=image.hex(), detail=verdict["detail"])
    if verdict["outcome"] in ("escape", "clean-escape"):
        small = minimise(seed_image, steps, verdict["outcome"]) if _state["minimise"] else steps
        small_image, small_tags = mutate.apply_steps(seed_image, small)
        fam = mutate.family(small_tags)
        if verdict["outcome"] == "clean-escape":
            fam = "cleaned: " + fam
        result.update(steps=small, tags=small_tags, family=fam,
                      hex=small_image.hex(), size=len(small_image))
    return result


def hexdump(data):
    """xxd's layout, so that `xxd -r` gives the archive back."""
    lines = []
    for at in range(0, len(data), 16):
        chunk = data[at:at + 16]
        pairs = " ".join(chunk[i:i + 2].hex() for i in range(0, len(chunk), 2))
        text = "".join(chr(b) if 32 <= b < 127 else "." for b in chunk)
        lines.append("%08x: %-39s  %s" % (at, pairs, text))
    return "\n".join(lines) + "\n"


def changed_offsets(before, after):
    """Offsets in `after` where it starts to differ from `before`."""
    if len(before) == len(after):
        return [i for i in range(len(before)) if before[i] != after[i]]
    head = 0
    while head < min(len(before), len(after)) and before[head] == after[head]:
        head += 1
    return [head]


def describe_change(before, after):
    """Where a mutant differs from its seed, in a line or a few."""
    records = zipfmt.parse(before)
    if len(before) == len(after):
        diffs = [i for i in range(len(before)) if before[i] != after[i]]
        return ["0x%04x %s: %02x -> %02x" % (i, zipfmt.region(records, i, before),
                                              before[i], after[i]) for i in diffs[:12]]
    head = 0
    while head < min(len(before), len(after)) and before[head] == after[head]:
        head += 1
    tail = 0
    while (tail < min(len(before), len(after)) - head
           and before[len(before) - 1 - tail] == after[len(after) - 1 - tail]):
        tail += 1
    return ["seed bytes 0x%04x-0x%04x (%s) became %d bytes; %d -> %d bytes in all" % (
        head, len(before) - tail, zipfmt.region(records, head, before),
        len(after) - tail - head, len(before), len(after))]


def write_markdown(path, table, made, families):
    """The table and, per family, its minimised example: the steps, what
    changed, the hex lines around the change and the whole archive."""
    md = ["```", table.rstrip(), "```", ""]
    for i, (name, fam) in enumerate(sorted(families.items(), key=lambda kv: -kv[1]["count"])):
        ex = fam["example"]
        data = bytes.fromhex(ex["hex"])
        md.append("### %d. %s (%d)" % (i + 1, name, fam["count"]))
        md.append("")
        md.append("Seed `%s`; surfaced by %s; steps `%s`" % (
            ex["seed"], ", ".join(fam["peers"]), json.dumps(ex["steps"])))
        md.append("")
        dump = hexdump(data).splitlines()
        if ex["steps"]:
            md += ["- " + c for c in ex.get("changes", [])]
            rows = sorted({o // 16 for o in changed_offsets(made[ex["seed"]], data)})
            md += ["", "```"] + [dump[r] for r in rows[:6] if r < len(dump)] + ["```"]
        md += ["", "<details><summary>whole archive (%d bytes, xxd -r)</summary>" % len(data), "",
               "```"] + dump + ["```", "</details>", ""]
    with open(path, "w") as f:
        f.write("\n".join(md) + "\n")


def slug(text):
    return re.sub(r"[^a-z0-9]+", "-", text.lower()).strip("-")[:80]


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--mutants", "-n", type=int, default=1000)
    ap.add_argument("--seed", default="1", help="master seed of the mutation generator")
    ap.add_argument("--first", type=int, default=0, help="index of the first mutant")
    ap.add_argument("-j", type=int, default=1, help="parallel workers")
    ap.add_argument("--build", default=os.path.join(ROOT, "build"),
                    help="folder with zipscan and libzipext.so")
    ap.add_argument("--out", default=None, help="output folder (default BUILD/difffuzz)")
    ap.add_argument("--timeout", type=float, default=20, help="seconds zipscan may take")
    ap.add_argument("--peer-timeout", type=float, default=10)
    ap.add_argument("--asan", action="store_true", help="zipscan is a sanitizer build (no memory bound)")
    ap.add_argument("--no-minimise", action="store_true")
    ap.add_argument("--clean", action="store_true",
                    help="also clean each mutant zipscan flags and have the peers read the result")
    ap.add_argument("--markdown", help="also write the table and the examples as Markdown here")
    ap.add_argument("--seeds", default="", help="comma-separated seed names (default all)")
    ap.add_argument("--skip-missing", action="store_true",
                    help="exit 0 with a message when a peer tool is missing")
    args = ap.parse_args()

    missing = oracle.missing_tools()
    if missing:
        print("difffuzz: missing %s" % ", ".join(missing), file=sys.stderr)
        return 0 if args.skip_missing else 2
    out = args.out or os.path.join(args.build, "difffuzz")
    os.makedirs(os.path.join(out, "families"), exist_ok=True)
    for old in os.listdir(os.path.join(out, "families")):
        os.remove(os.path.join(out, "families", old))

    made, _ = seedlib.make_seeds([s for s in args.seeds.split(",") if s])
    state = {"build": args.build, "timeout": args.timeout, "peer_timeout": args.peer_timeout,
             "asan": args.asan, "clean": args.clean, "seed": args.seed, "seeds": made,
             "minimise": not args.no_minimise, "extra": seedlib.clean_archive()}

    work = tempfile.mkdtemp(prefix="dfz-work-")
    try:
        return run(args, out, made, dict(state, work=work))
    finally:
        shutil.rmtree(work, ignore_errors=True)


def run(args, out, made, state):
    # The seeds unmutated: one zipscan already calls clean while a peer
    # surfaces the marker is a family of its own and is not mutated.
    _init(dict(state, mutable=[]))
    baseline = {}
    for name in sorted(made):
        baseline[name] = judge(made[name])
    state["mutable"] = sorted(n for n in made if baseline[n]["outcome"] != "escape")

    started = time.monotonic()
    results = []
    indices = range(args.first, args.first + args.mutants)
    if args.j > 1:
        with multiprocessing.Pool(args.j, _init, (state,)) as pool:
            for r in pool.imap(evaluate, indices, chunksize=4):
                results.append(r)
                _progress(len(results), args.mutants, started)
    else:
        _init(state)
        for i in indices:
            results.append(evaluate(i))
            _progress(len(results), args.mutants, started)
    elapsed = time.monotonic() - started
    return report(args, out, made, baseline, results, elapsed)


def _progress(done, total, started):
    if done % 250 == 0 or done == total:
        rate = done / max(time.monotonic() - started, 1e-6) * 60
        print("difffuzz: %d/%d mutants, %.0f a minute" % (done, total, rate), file=sys.stderr)


def report(args, out, made, baseline, results, elapsed):
    counts = {}
    for r in results:
        counts[r["outcome"]] = counts.get(r["outcome"], 0) + 1
    families = {}
    for name, b in sorted(baseline.items()):
        if b["outcome"] == "escape":
            families["seed " + name] = {"count": 0, "kind": kind_of("seed "), "seeds": [name], "peers": b["surfaced"],
                                        "example": {"seed": name, "steps": [],
                                                    "hex": made[name].hex()}}
    for r in results:
        if r["outcome"] not in ("escape", "clean-escape"):
            continue
        fam = families.setdefault(r["family"], {"count": 0, "kind": kind_of(r["family"]),
                                                "seeds": [], "peers": [], "example": None})
        fam["count"] += 1
        if r["seed"] not in fam["seeds"]:
            fam["seeds"].append(r["seed"])
        for p in r["surfaced"]:
            if p not in fam["peers"]:
                fam["peers"].append(p)
        ex = fam["example"]
        if ex is None or r["size"] < len(ex["hex"]) // 2:
            fam["example"] = {"mutant": r["index"], "seed": r["seed"], "steps": r["steps"],
                              "hex": r["hex"]}
    for fam in families.values():
        ex = fam["example"]
        if ex["steps"]:
            ex["changes"] = describe_change(made[ex["seed"]], bytes.fromhex(ex["hex"]))
    exit2 = {}
    for r in results:
        if r["outcome"] == "exit2-surfaced":
            key = mutate.family(r["tags"])
            exit2[key] = exit2.get(key, 0) + 1
    failures = [r for r in results if r["outcome"] in ("crash", "hang")]
    closed_hit = sorted(f for f in families if f in CLOSED_FAMILIES or kind_of(f) in CLOSED_KINDS)

    n = len(results)
    escapes = counts.get("escape", 0)
    doc = {"mutants": n, "seed": args.seed, "first": args.first, "seconds": round(elapsed, 1),
           "per_minute": round(n / max(elapsed, 1e-6) * 60, 1),
           "escapes_per_10000": round(escapes * 10000 / max(n, 1), 1), "outcomes": counts,
           "baseline": {k: {"outcome": v["outcome"], "surfaced": v["surfaced"]}
                        for k, v in baseline.items()},
           "families": families, "exit2_surfaced": exit2,
           "failures": [{k: r.get(k) for k in ("index", "seed", "outcome", "detail", "steps", "hex")}
                        for r in failures],
           "closed_families_hit": closed_hit}
    with open(os.path.join(out, "summary.json"), "w") as f:
        json.dump(doc, f, indent=1)
    for i, (name, fam) in enumerate(sorted(families.items(), key=lambda kv: -kv[1]["count"])):
        base = os.path.join(out, "families", "%02d-%s" % (i + 1, slug(name)))
        data = bytes.fromhex(fam["example"]["hex"])
        with open(base + ".hex", "w") as f:
            f.write(hexdump(data))
        with open(base + ".txt", "w") as f:
            f.write("family: %s\ncount: %d\nseed: %s\npeers: %s\nsteps: %s\n" % (
                name, fam["count"], fam["example"]["seed"], ", ".join(fam["peers"]),
                json.dumps(fam["example"]["steps"])))
            if fam["example"].get("changes"):
                f.write("changes:\n" + "".join("  %s\n" % c for c in fam["example"]["changes"]))
    for r in failures:
        with open(os.path.join(out, "%s-%d.zip" % (r["outcome"], r["index"])), "wb") as f:
            f.write(bytes.fromhex(r["hex"]))

    lines = ["%d mutants in %.0f s (%.0f a minute), seed %s" % (n, elapsed, doc["per_minute"], args.seed),
             "outcomes: " + ", ".join("%s %d" % kv for kv in sorted(counts.items())),
             "escapes per 10,000: %.1f" % doc["escapes_per_10000"]]
    if args.clean:
        lines.append("cleaning escapes per 10,000 (a peer surfaces the marker after zipscan "
                     "deleted it): %.1f" % (counts.get("clean-escape", 0) * 10000 / max(n, 1)))
    lines += ["", "%6s  %-62s %s" % ("count", "family", "peers")]
    for name, fam in sorted(families.items(), key=lambda kv: (-kv[1]["count"], kv[0])):
        mark = " CLOSED" if name in CLOSED_FAMILIES or kind_of(name) in CLOSED_KINDS else ""
        lines.append("%6d  %-62s %s%s" % (fam["count"], name, ",".join(fam["peers"]), mark))
    kinds = {}
    for name, fam in families.items():
        k = kinds.setdefault(kind_of(name), [0, 0])
        k[0] += fam["count"]
        k[1] += 1
    lines += ["", "%6s  %-62s %s" % ("count", "kind of fault", "families")]
    for name, (count, nfam) in sorted(kinds.items(), key=lambda kv: (-kv[1][0], kv[0])):
        lines.append("%6d  %-62s %d" % (count, name, nfam))
    if exit2:
        lines.append("")
        lines.append("exit 2 while a peer surfaced the marker (%d), by steps:" % sum(exit2.values()))
        for key, c in sorted(exit2.items(), key=lambda kv: -kv[1])[:15]:
            lines.append("%6d  %s" % (c, key))
    for r in failures:
        lines.append("%s: mutant %d of %s (%s), kept as %s-%d.zip" % (
            r["outcome"].upper(), r["index"], r["seed"], r["detail"], r["outcome"], r["index"]))
    for name in closed_hit:
        lines.append("ESCAPE in closed family: " + name)
    text = "\n".join(lines) + "\n"
    with open(os.path.join(out, "summary.txt"), "w") as f:
        f.write(text)
    if args.markdown:
        write_markdown(args.markdown, text, made, families)
    print(text, end="")
    print("details in %s (summary.json, families/)" % out)
    return 1 if failures or closed_hit else 0


if __name__ == "__main__":
    sys.exit(main())
