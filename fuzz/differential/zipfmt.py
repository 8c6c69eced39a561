"""ZIP records as the differential fuzzer sees them: found by their
signatures anywhere in a (possibly damaged) image, each with its named
fields, so that a mutation can name what it touched and an edit that moves
bytes can carry the offsets that point past it along."""
import re
import struct

SIG = {
    "local": b"PK\x03\x04",
    "central": b"PK\x01\x02",
    "end": b"PK\x05\x06",
    "zip64end": b"PK\x06\x06",
    "zip64locator": b"PK\x06\x07",
    "descriptor": b"PK\x07\x08",
}

# Fixed part of each record after its signature: (field, width in bytes).
LAYOUT = {
    "local": [("version_needed", 2), ("flags", 2), ("method", 2), ("time", 2), ("date", 2),
              ("crc", 4), ("compressed_size", 4), ("uncompressed_size", 4),
              ("name_length", 2), ("extra_length", 2)],
    "central": [("version_made", 2), ("version_needed", 2), ("flags", 2), ("method", 2),
                ("time", 2), ("date", 2), ("crc", 4), ("compressed_size", 4),
                ("uncompressed_size", 4), ("name_length", 2), ("extra_length", 2),
                ("comment_length", 2), ("disk_start", 2), ("internal_attr", 2),
                ("external_attr", 4), ("local_offset", 4)],
    "end": [("disk_number", 2), ("directory_disk", 2), ("disk_entries", 2),
            ("total_entries", 2), ("directory_size", 4), ("directory_offset", 4),
            ("comment_length", 2)],
    "zip64end": [("record_size", 8), ("version_made", 2), ("version_needed", 2),
                 ("disk_number", 4), ("directory_disk", 4), ("disk_entries", 8),
                 ("total_entries", 8), ("directory_size", 8), ("directory_offset", 8)],
    "zip64locator": [("end_disk", 4), ("end_offset", 8), ("total_disks", 4)],
    "descriptor": [("crc", 4), ("compressed_size", 4), ("uncompressed_size", 4)],
}
DESCRIPTOR64 = [("crc", 4), ("compressed_size", 8), ("uncompressed_size", 8)]

# Fields that hold a position in the image (carried along by edits that move
# bytes when a mutation asks for its offsets to be fixed up).
OFFSET_FIELDS = {("central", "local_offset"), ("central", "zip64.local_offset"),
                 ("end", "directory_offset"), ("zip64end", "directory_offset"),
                 ("zip64locator", "end_offset")}

METHOD_NAMES = {0: "stored", 1: "shrink", 6: "implode", 8: "deflate", 9: "deflate64",
                12: "bzip2", 14: "lzma", 93: "zstd", 95: "xz", 98: "ppmd", 99: "aes"}


class Field:
    __slots__ = ("name", "at", "width", "value")

    def __init__(self, name, at, width, value):
        self.name, self.at, self.width, self.value = name, at, width, value

    @property
    def maximum(self):
        return (1 << (8 * self.width)) - 1


class Record:
    """One record found at `start`; `end` is past its variable parts (name,
    extra field, comment). A local record also knows its data: `data_start`,
    `data_end` and the descriptor behind it, if any (`unit_end` is past the
    whole entry)."""

    def __init__(self, kind, start):
        self.kind, self.start = kind, start
        self.end = start
        self.fields = {}
        self.parts = {}          # name/extra/comment -> (start, end)
        self.data_start = self.data_end = self.unit_end = None
        self.descriptor = None

    def field(self, name):
        return self.fields.get(name)

    def value(self, name, default=None):
        f = self.fields.get(name)
        return default if f is None else f.value

    @property
    def unit(self):
        """The bytes that move together: a local entry with its data and
        descriptor, any other record with its variable parts."""
        return (self.start, self.unit_end if self.unit_end is not None else self.end)


def _read(image, at, width):
    return int.from_bytes(image[at:at + width], "little")


def _parse_fixed(image, rec, layout, at):
    for name, width in layout:
        if at + width > len(image):
            return False
        rec.fields[name] = Field(name, at, width, _read(image, at, width))
        at += width
    rec.end = at
    return True


def _parse_zip64_extra(image, rec, start, end):
    """Names the 8-byte values of a ZIP64 extra field the way readers take
    them: only the classic fields that are full, else all in order."""
    at = start
    while at + 4 <= end:
        tag, size = struct.unpack_from("<HH", image, at)
        body, body_end = at + 4, min(at + 4 + size, end)
        if tag == 0x0001:
            order = ["uncompressed_size", "compressed_size"]
            if rec.kind == "central":
                order += ["local_offset"]
            wanted = [n for n in order if rec.value(n) == 0xFFFFFFFF] or order
            p = body
            for name in wanted:
                if p + 8 > body_end:
                    break
                rec.fields["zip64." + name] = Field("zip64." + name, p, 8, _read(image, p, 8))
                p += 8
            if rec.kind == "central" and p + 4 <= body_end:
                rec.fields["zip64.disk_start"] = Field("zip64.disk_start", p, 4, _read(image, p, 4))
        at = body + size


def parse(image):
    """Every record whose signature and fixed part are in `image`, in image
    order. Signatures inside other data are taken too: a damaged image has
    no better guide."""
    image = bytes(image)
    found = []
    for kind, sig in SIG.items():
        at = image.find(sig)
        while at >= 0:
            rec = Record(kind, at)
            if _parse_fixed(image, rec, LAYOUT[kind], at + 4):
                found.append(rec)
            at = image.find(sig, at + 1)
    found.sort(key=lambda r: r.start)
    starts = [r.start for r in found]
    for i, rec in enumerate(found):
        nxt = starts[i + 1] if i + 1 < len(found) else len(image)
        if rec.kind in ("local", "central"):
            p = rec.end
            names = ["name", "extra"] + (["comment"] if rec.kind == "central" else [])
            for part in names:
                n = rec.value(part + "_length")
                rec.parts[part] = (p, min(p + n, len(image)))
                p += n
            rec.end = min(p, len(image))
            ex = rec.parts["extra"]
            _parse_zip64_extra(image, rec, ex[0], ex[1])
        elif rec.kind == "end":
            n = rec.value("comment_length")
            rec.parts["comment"] = (rec.end, min(rec.end + n, len(image)))
            rec.end = rec.parts["comment"][1]
        elif rec.kind == "zip64end":
            size = rec.value("record_size")
            if 44 <= size <= len(image) - rec.start - 12:
                rec.end = rec.start + 12 + size
        if rec.kind == "local":
            rec.data_start = rec.end
            size = rec.value("zip64.compressed_size", rec.value("compressed_size"))
            streamed = rec.value("flags") & 8 and size in (0, 0xFFFFFFFF)
            following = [s for s in starts if s >= rec.data_start]
            if not streamed and rec.data_start + size <= len(image):
                rec.data_end = rec.data_start + size
            else:
                rec.data_end = following[0] if following else len(image)
            rec.unit_end = rec.data_end
    by_start = {r.start: r for r in found}
    for rec in found:
        if rec.kind == "local":
            desc = by_start.get(rec.data_end)
            if desc is not None and desc.kind == "descriptor":
                rec.descriptor = desc
                rec.unit_end = desc.end
    # A descriptor is 24 bytes long when the next record starts there (ZIP64 sizes).
    for i, rec in enumerate(found):
        if rec.kind == "descriptor":
            nxt = starts[i + 1] if i + 1 < len(found) else len(image)
            if nxt == rec.start + 24 and len(image) >= rec.start + 24:
                rec.fields.clear()
                _parse_fixed(image, rec, DESCRIPTOR64, rec.start + 4)
                for local in found:
                    if local.descriptor is rec:
                        local.unit_end = rec.end
    return found


def of_kind(records, kind):
    return [r for r in records if r.kind == kind]


def method_name(method):
    return METHOD_NAMES.get(method, "method %d" % method)


# Names of the seeds' entries that hold the marker: damage to their data is
# a case of its own, damage to another entry's data shifts what follows.
MARKED = re.compile(rb"^(.*/)?payload\.txt$|^-$")


def region(records, at, image):
    """What the byte at `at` belongs to, in words a family is named by:
    'local.method', 'central.name', 'deflate data', 'end.comment',
    'between records', 'after the end record'."""
    size = len(image)
    if at >= size:
        return "past the end"
    for rec in reversed(records):
        if rec.start <= at < rec.end:
            if at < rec.start + 4:
                return rec.kind + ".signature"
            for f in rec.fields.values():
                if f.at <= at < f.at + f.width:
                    return "%s.%s" % (rec.kind, f.name)
            for part, (a, b) in rec.parts.items():
                if a <= at < b:
                    return "%s.%s" % (rec.kind, part)
            return rec.kind + ".record"
        if rec.kind == "local" and rec.data_start <= at < rec.data_end:
            enc = "encrypted " if rec.value("flags") & 1 else ""
            name = rec.parts["name"]
            whose = ("the marked entry" if MARKED.match(bytes(image[name[0]:name[1]]))
                     else "another entry")
            return "%s%s data of %s" % (enc, method_name(rec.value("method")), whose)
    ends = [r for r in records if r.kind == "end"]
    if ends and at >= ends[-1].end:
        return "after the end record"
    if not records or at < records[0].start:
        return "before the first record"
    return "between records"


def splice(image, pieces, fix):
    """Builds a new image from `pieces`, each ("old", a, b) (a range of
    `image`) or ("new", bytes). With `fix`, every offset field of the old
    image whose target survives is rewritten to where that target went, and
    directory sizes and entry counts of the end records follow the
    directory."""
    image = bytes(image)
    out = bytearray()
    placed = []   # (old_a, old_b, new_a)
    for piece in pieces:
        if piece[0] == "old":
            a, b = max(0, piece[1]), min(len(image), piece[2])
            if a < b:
                placed.append((a, b, len(out)))
                out += image[a:b]
        else:
            out += piece[1]
    if not fix:
        return bytes(out)

    def where(p):
        for a, b, n in placed:
            if a <= p < b:
                return n + p - a
        # A target cut out goes to whatever followed it.
        later = [(a, n) for a, b, n in placed if a > p]
        if later:
            return min(later)[1]
        if p == len(image):
            return len(out)
        return None

    records = parse(image)
    writes = []
    for rec in records:
        for f in rec.fields.values():
            if (rec.kind, f.name) in OFFSET_FIELDS and f.value not in (0xFFFFFFFF, f.maximum):
                target = where(f.value)
                if target is not None and target <= f.maximum:
                    writes.append((f.at, f.width, target))
        if rec.kind in ("end", "zip64end"):
            size, off = rec.field("directory_size"), rec.field("directory_offset")
            if off.value != 0xFFFFFFFF and size.value != 0xFFFFFFFF:
                a, b = where(off.value), where(off.value + size.value)
                if a is not None and b is not None and b >= a:
                    writes.append((size.at, size.width, min(b - a, size.maximum)))
    for at, width, value in writes:
        for a, b, n in placed:
            if a <= at and at + width <= b:
                out[n + at - a:n + at - a + width] = value.to_bytes(width, "little")
    # Entry counts follow the central records now inside each directory.
    new_records = parse(out)
    centrals = [r.start for r in of_kind(new_records, "central")]
    for rec in new_records:
        if rec.kind in ("end", "zip64end"):
            off, size = rec.value("directory_offset"), rec.value("directory_size")
            count = sum(1 for c in centrals if off <= c < off + size)
            for name in ("disk_entries", "total_entries"):
                f = rec.field(name)
                if f.value not in (0xFFFF, 0xFFFFFFFF) and count <= f.maximum:
                    out[f.at:f.at + f.width] = count.to_bytes(f.width, "little")
    return bytes(out)
