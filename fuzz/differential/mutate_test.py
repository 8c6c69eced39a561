#!/usr/bin/env python3
"""The fuzzer's record parser and mutator, row by row: what a step does to
a seed, read back with Python's zipfile."""
import io
import os
import sys
import unittest
import zipfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import mutate  # noqa: E402
import seeds  # noqa: E402
from zipfmt import parse, of_kind, region  # noqa: E402

SEED = seeds.build([(n, d, 8) for n, d in seeds.ENTRIES])
ZIP64 = seeds.build([(n, d, 8) for n, d in seeds.ENTRIES], zip64=True, descriptor=True)


def listing(image):
    """(name, local offset) of each member zipfile lists, and whether all read back."""
    with zipfile.ZipFile(io.BytesIO(image)) as z:
        ok = z.testzip() is None
        return [(i.filename, i.header_offset) for i in z.infolist()], ok


class Mutations(unittest.TestCase):
    # (seed, step, tag, check on the result)
    ROWS = [
        (SEED, {"op": "set", "kind": "end", "index": 0, "field": "disk_number", "value": 1},
         "set end.disk_number", lambda m: of_kind(parse(m), "end")[0].value("disk_number") == 1),
        (ZIP64, {"op": "set", "kind": "central", "index": 1, "field": "zip64.compressed_size",
                 "value": 0}, "set central.zip64.compressed_size with descriptor",
         lambda m: of_kind(parse(m), "central")[1].value("zip64.compressed_size") == 0),
        (SEED, {"op": "insert", "to": ["before", "local", 1], "what": "bytes", "bytes": "00" * 5,
                "fix": True}, "insert bytes before local (offsets fixed)",
         lambda m: listing(m) == ([("clean.txt", 0), ("payload.txt", listing(SEED)[0][1][1] + 5),
                                   ("last.txt", listing(SEED)[0][2][1] + 5)], True)),
        (ZIP64, {"op": "insert", "to": ["start"], "what": "bytes", "bytes": "ff" * 3, "fix": True},
         "insert bytes at the start (offsets fixed)", lambda m: listing(m)[1]),
        (SEED, {"op": "drop", "kind": "central", "index": 0, "fix": True},
         "drop central (offsets fixed)",
         lambda m: [n for n, _ in listing(m)[0]] == ["payload.txt", "last.txt"]),
        (SEED, {"op": "swap", "kind": "local", "index": 0, "other": 2, "fix": True},
         "swap local (offsets fixed)", lambda m: listing(m)[1] and m[30:38] == b"last.txt"),
        (SEED, {"op": "dup", "kind": "central", "index": 2, "fix": True},
         "dup central (offsets fixed)", lambda m: [n for n, _ in listing(m)[0]][-2:] == ["last.txt"] * 2),
        (SEED, {"op": "flip", "in": ["local", 1], "at": [[0.5, 0x40]]}, "flip deflate data of the marked entry",
         lambda m: len(m) == len(SEED) and m != SEED),
        (SEED, {"op": "truncate", "in": ["end", 0], "at": 0.5}, "truncate in end.total_entries",
         lambda m: len(m) == len(SEED) - 11),
        (SEED, {"op": "set", "kind": "local", "index": 5, "field": "method", "value": 0}, None,
         lambda m: m == SEED),
    ]

    def test_rows(self):
        for seed, step, tag, check in self.ROWS:
            with self.subTest(step=step):
                mutant, got = mutate.apply_step(seed, step)
                self.assertEqual(got, tag)
                self.assertTrue(check(mutant))

    def test_regions_and_generation(self):
        records = parse(SEED)
        local = of_kind(records, "local")[1]
        self.assertEqual(region(records, local.start + 8, SEED), "local.method")
        self.assertEqual(region(records, local.data_start, SEED), "deflate data of the marked entry")
        # The same index gives the same steps; steps survive a JSON round trip.
        a = mutate.make_mutant("s", SEED, "1", 42, seeds.clean_archive())
        b = mutate.make_mutant("s", SEED, "1", 42, seeds.clean_archive())
        self.assertEqual(a, b)


if __name__ == "__main__":
    unittest.main()
