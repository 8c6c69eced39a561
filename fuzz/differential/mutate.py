"""Mutations of one archive image. A mutant is a seed plus one to three
steps; each step is a small JSON-able dict that names records by kind and
index (not by position), so that a step still means the same when an
earlier step is dropped while minimising. Applying a step also gives the
tag a family is named by ('set end.disk_number', 'flip deflate data')."""
import random

from zipfmt import parse, of_kind, region, splice

KINDS = ["local", "central", "end", "zip64end", "zip64locator", "descriptor"]
METHODS = [0, 1, 6, 8, 9, 12, 14, 93, 95, 98, 99, 200]
SIZE_FIELDS = ("compressed_size", "uncompressed_size", "crc",
               "zip64.compressed_size", "zip64.uncompressed_size")


# --- choosing steps -----------------------------------------------------------

def _pick_record(rng, records, kinds=None):
    pool = [r for r in records if kinds is None or r.kind in kinds]
    if not pool:
        return None, None
    rec = rng.choice(pool)
    return rec.kind, of_kind(records, rec.kind).index(rec)


def _values_for(rng, records, rec, field):
    f = rec.field(field)
    top = f.maximum
    values = [0, 1, top, top - 1, (f.value + 1) & top, (f.value - 1) & top]
    if f.width > 2:
        values += [0xFFFF, 0x7FFFFFFF, 0x80000000]
    base = field.split(".")[-1]
    others = [r.field(n).value for r in records if r is not rec
              for n in r.fields if n.split(".")[-1] == base]
    values += others * 2
    if base == "method":
        values += METHODS
    if base in ("version_needed", "version_made"):
        values += [10, 20, 45, 63, 0xFF, 0x0A14, 0x3F00]
    if base == "flags":
        values += [f.value ^ (1 << rng.randrange(16)), f.value ^ 8, f.value ^ 1, f.value ^ 0x800]
    if base in ("compressed_size", "uncompressed_size") and rec.kind == "local":
        values += [rec.data_end - rec.data_start]
    return [v & top for v in values]


def _boundary(rng, records):
    """Where inserted or moved bytes go: in front of a record, at the
    start, at the end, or anywhere."""
    choice = rng.random()
    if records and choice < 0.6:
        kind, index = _pick_record(rng, records)
        return ["before", kind, index]
    if choice < 0.7:
        return ["start"]
    if choice < 0.8:
        return ["end"]
    return ["at", rng.random()]


def choose_step(rng, image, extra_archive):
    records = parse(image)
    r = rng.random()
    fix = rng.random() < 0.5
    if r < 0.38 and records:
        rec = rng.choice(records)
        kind, index = rec.kind, of_kind(records, rec.kind).index(rec)
        field = rng.choice([n for n in rec.fields])
        value = rng.choice(_values_for(rng, records, rec, field))
        return {"op": "set", "kind": kind, "index": index, "field": field, "value": value}
    if r < 0.56:
        locals_ = of_kind(records, "local")
        if locals_ and rng.random() < 0.7:
            i = rng.randrange(len(locals_))
            n = rng.choice([1, 1, 1, 2, 3])
            return {"op": "flip", "in": ["local", i],
                    "at": [[rng.random(), rng.randrange(1, 256)] for _ in range(n)]}
        n = rng.choice([1, 1, 2, 4])
        return {"op": "flip", "in": None, "at": [[rng.random(), rng.randrange(1, 256)] for _ in range(n)]}
    if r < 0.70 and records:
        op = rng.choice(["dup", "drop", "move", "swap"])
        kind, index = _pick_record(rng, records)
        step = {"op": op, "kind": kind, "index": index, "fix": fix}
        if op == "move":
            step["to"] = _boundary(rng, records)
        if op == "swap":
            same = of_kind(records, kind)
            step["other"] = rng.randrange(len(same))
        return step
    if r < 0.80:
        if rng.random() < 0.3:
            return {"op": "insert", "to": _boundary(rng, records), "what": "archive",
                    "bytes": extra_archive.hex(), "fix": fix}
        n = rng.choice([1, 2, 4, 8, 16, 64, 300])
        pattern = rng.choice(["zeros", "random", "PK"])
        if pattern == "zeros":
            data = bytes(n)
        elif pattern == "PK":
            data = (b"PK" * n)[:n]
        else:
            data = bytes(rng.randrange(256) for _ in range(n))
        return {"op": "insert", "to": _boundary(rng, records), "what": "bytes",
                "bytes": data.hex(), "fix": fix}
    if r < 0.86:
        if records and rng.random() < 0.6:
            # Often right at a record's start: the directory or the end
            # record gone, as in a download cut short.
            kind, index = _pick_record(rng, records)
            at = 0.0 if rng.random() < 0.4 else rng.random()
            return {"op": "truncate", "in": [kind, index], "at": at}
        return {"op": "truncate", "in": None, "at": rng.random()}
    n = rng.choice([1, 2, 3, 8, 32])
    if rng.random() < 0.5:
        return {"op": "delrun", "at": rng.random(), "len": n}
    return {"op": "insrun", "at": rng.random(), "bytes": bytes(rng.randrange(256) for _ in range(n)).hex()}


def choose_steps(rng, image, extra_archive, count):
    steps = []
    for _ in range(count):
        step = choose_step(rng, image, extra_archive)
        image, _ = apply_step(image, step)
        steps.append(step)
    return steps


# --- applying steps ------------------------------------------------------------

def _find(records, kind, index):
    same = of_kind(records, kind)
    return same[index] if index is not None and index < len(same) else None


def _position(records, size, to):
    if to[0] == "before":
        rec = _find(records, to[1], to[2])
        return None if rec is None else rec.start
    if to[0] == "start":
        return 0
    if to[0] == "end":
        return size
    return int(to[1] * size)


def _where_words(records, image, to):
    size = len(image)
    if to[0] == "before":
        return "before " + to[1]
    if to[0] in ("start", "end"):
        return "at the " + to[0]
    return "in " + region(records, int(to[1] * size), image)


def _descriptor_note(records, rec, field):
    """Sizes and CRC of an entry with a data descriptor are a case of their own."""
    if field.split(".")[-1] not in ("compressed_size", "uncompressed_size", "crc"):
        return ""
    if rec.kind in ("local", "central") and rec.value("flags") & 8:
        return " with descriptor"
    return ""


def apply_step(image, step):
    """The mutated image and the step's tag; an image unchanged and tag None
    when the step names something the image does not have."""
    records = parse(image)
    size = len(image)
    op = step["op"]
    fixed = " (offsets fixed)" if step.get("fix") else ""
    if op == "set":
        rec = _find(records, step["kind"], step["index"])
        if rec is None or rec.field(step["field"]) is None:
            return image, None
        f = rec.field(step["field"])
        out = bytearray(image)
        out[f.at:f.at + f.width] = (step["value"] & f.maximum).to_bytes(f.width, "little")
        return bytes(out), "set %s.%s%s" % (rec.kind, f.name, _descriptor_note(records, rec, f.name))
    if op == "flip":
        if step["in"] is not None:
            rec = _find(records, *step["in"])
            if rec is None or rec.data_end <= rec.data_start:
                return image, None
            a, b = rec.data_start, rec.data_end
        else:
            a, b = 0, size
        if b <= a:
            return image, None
        out = bytearray(image)
        tags = set()
        for frac, xor in step["at"]:
            p = a + min(int(frac * (b - a)), b - a - 1)
            out[p] ^= xor
            tags.add(region(records, p, image))
        return bytes(out), "flip " + " & ".join(sorted(tags))
    if op in ("dup", "drop", "move", "swap"):
        rec = _find(records, step["kind"], step["index"])
        if rec is None:
            return image, None
        a, b = rec.unit
        if op == "dup":
            pieces = [("old", 0, b), ("old", a, b), ("old", b, size)]
        elif op == "drop":
            pieces = [("old", 0, a), ("old", b, size)]
        elif op == "move":
            p = _position(records, size, step["to"])
            if p is None or a <= p <= b:
                return image, None
            if p < a:
                pieces = [("old", 0, p), ("old", a, b), ("old", p, a), ("old", b, size)]
            else:
                pieces = [("old", 0, a), ("old", b, p), ("old", a, b), ("old", p, size)]
            return (splice(image, pieces, step["fix"]),
                    "move %s %s%s" % (rec.kind, _where_words(records, image, step["to"]), fixed))
        else:
            other = _find(records, step["kind"], step["other"])
            if other is None or other is rec:
                return image, None
            (a, b), (c, d) = sorted([rec.unit, other.unit])
            if c < b:
                return image, None
            pieces = [("old", 0, a), ("old", c, d), ("old", b, c), ("old", a, b), ("old", d, size)]
        return splice(image, pieces, step["fix"]), "%s %s%s" % (op, rec.kind, fixed)
    if op == "insert":
        p = _position(records, size, step["to"])
        if p is None:
            return image, None
        data = bytes.fromhex(step["bytes"])
        pieces = [("old", 0, p), ("new", data), ("old", p, size)]
        what = "an archive" if step["what"] == "archive" else "bytes"
        return (splice(image, pieces, step["fix"]),
                "insert %s %s%s" % (what, _where_words(records, image, step["to"]), fixed))
    if op == "truncate":
        if step["in"] is not None:
            rec = _find(records, *step["in"])
            if rec is None:
                return image, None
            a, b = rec.unit
            p = a + int(step["at"] * (b - a))
        else:
            p = int(step["at"] * size)
        if p >= size:
            return image, None
        return image[:p], "truncate in " + region(records, p, image)
    if op == "delrun":
        p = int(step["at"] * size)
        return image[:p] + image[p + step["len"]:], "delete bytes in " + region(records, p, image)
    if op == "insrun":
        p = int(step["at"] * size)
        return (image[:p] + bytes.fromhex(step["bytes"]) + image[p:],
                "insert bytes in " + region(records, p, image))
    raise ValueError("unknown step " + op)


def apply_steps(image, steps):
    tags = []
    for step in steps:
        image, tag = apply_step(image, step)
        if tag is not None:
            tags.append(tag)
    return image, tags


def family(tags):
    """A family is the set of things the (minimised) steps touched."""
    return " + ".join(sorted(set(tags))) if tags else "the seed itself"


def make_mutant(seed_name, image, master_seed, index, extra_archive):
    rng = random.Random("%s:%d" % (master_seed, index))
    count = rng.choice([1, 1, 2, 3])
    steps = choose_steps(rng, image, extra_archive, count)
    return steps


def shrink_candidates(step):
    """Smaller versions of one step, tried while minimising."""
    out = []
    if step["op"] == "flip" and len(step["at"]) > 1:
        for i in range(len(step["at"])):
            out.append(dict(step, at=[step["at"][i]]))
    if step["op"] in ("insert", "insrun") and step.get("what") != "archive":
        n = len(step["bytes"]) // 2
        if n > 1:
            out.append(dict(step, bytes=step["bytes"][:2 * (n // 2)]))
            out.append(dict(step, bytes=step["bytes"][:2]))
    if step["op"] == "delrun" and step["len"] > 1:
        out.append(dict(step, len=step["len"] // 2))
        out.append(dict(step, len=1))
    if step.get("fix"):
        out.append(dict(step, fix=False))
    return out
