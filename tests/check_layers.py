#!/usr/bin/env python3
# Each module folder may include only from the folders below it; an include
# upward is a circle between folders, and the next change to either side
# then has to know about both. Within a folder, no two files may need each
# other either (a file's .h and .cpp count as one).
#
# Around the module stand its hosts and its harnesses. A host (zipscan and
# its fault-injecting module in tools/, the Windows DLL host in
# tests/windows/) sees the module through one header, plugin/ZipHost.h, and
# that header reaches no further than the host interface, the listing, the
# reasons and the format's own values: no host can come to lean on the
# module's insides. The example host in C (examples/) sees it through the
# C header, include/zipext.h, alone. The harnesses (bench/, fuzz/) time and fuzz the parts
# themselves, so they may include any module header, but take the engine's
# memory stream from the test kit (tests/support/fake_stream.h) rather than
# each writing one of their own, and include nothing from a host.
import os
import re
import sys

ORDER = ["plugin", "decoders", "archive", "storage", "platform", "errors"]
INCLUDE = re.compile(r'^\s*#\s*include\s+"([a-z]+)/([^"]+)"', re.M)

HOST_HEADER = "plugin/ZipHost.h"
PUBLIC = {HOST_HEADER, "plugin/VFInterfaces.h", "plugin/ZipHostListing.h", "archive/ZipFormatFacts.h",
          "errors/ZipErrorReason.h"}
HOSTS = ["tools", os.path.join("tests", "windows")]
HARNESSES = ["bench", "fuzz"]
# An engine stream written anew: a class that derives from the engine's
# stream slots and keeps its bytes in memory.
OWN_STREAM = re.compile(r"(class|struct)\s+(\w+)[^;{]*:\s*(public\s+)?VFStreamSlots\b[^{]*\{", re.M)

root = sys.argv[1] if len(sys.argv) > 1 else os.path.join(os.path.dirname(__file__), "..")
wrong = []


def sources(folder):
    for top, _, names in os.walk(os.path.join(root, folder)):
        for name in sorted(names):
            if name.endswith((".h", ".c", ".cpp")):
                path = os.path.join(top, name)
                with open(path, encoding="utf-8") as f:
                    yield os.path.relpath(path, root), f.read()


for folder in HOSTS:
    for path, text in sources(folder):
        for target, header in INCLUDE.findall(text):
            if target in ORDER and f"{target}/{header}" != HOST_HEADER:
                wrong.append(f"{path} includes {target}/{header}: a host includes only {HOST_HEADER}")

# The example host is written as an integrator's engine would be: it sees
# the module through the C header alone.
for path, text in sources("examples"):
    for header in re.findall(r'^\s*#\s*include\s+"([^"]+)"', text, re.M):
        if header != "zipext.h":
            wrong.append(f"{path} includes {header}: the example host includes only zipext.h")


def body(text, start):
    """The text of the braces that open at start, with them."""
    depth = 0
    for i in range(start, len(text)):
        depth += {"{": 1, "}": -1}.get(text[i], 0)
        if depth == 0:
            return text[start:i + 1]
    return text[start:]


for folder in HARNESSES + [os.path.join("tests", "windows")]:
    for path, text in sources(folder):
        if folder in HARNESSES:
            for target, header in INCLUDE.findall(text):
                if target == "tools" or f"{target}/{header}".startswith("windows/"):
                    wrong.append(f"{path} includes {target}/{header}, a host's file")
        # A stream class that grows and copies bytes is a memory stream of
        # its own; streams over files, or that only count, are not.
        for match in OWN_STREAM.finditer(text):
            inside = body(text, match.end() - 1)
            if "resize(" in inside and "memcpy(" in inside:
                wrong.append(f"{path}: {match.group(2)} is a memory stream of its own; the test kit's "
                             "FakeHostStream (tests/support/fake_stream.h) is the one")

# What the host header reaches, header by header.
reached, todo = set(), [HOST_HEADER]
while todo:
    header = todo.pop()
    if header in reached:
        continue
    reached.add(header)
    with open(os.path.join(root, header), encoding="utf-8") as f:
        for target, name in INCLUDE.findall(f.read()):
            if target in ORDER:
                todo.append(f"{target}/{name}")
for header in sorted(reached - PUBLIC):
    wrong.append(f"{HOST_HEADER} reaches {header}, not part of the public surface")

needs = {}
for level, folder in enumerate(ORDER):
    for name in sorted(os.listdir(os.path.join(root, folder))):
        if not name.endswith((".h", ".cpp")):
            continue
        with open(os.path.join(root, folder, name), encoding="utf-8") as f:
            for target, header in INCLUDE.findall(f.read()):
                if target in ORDER and ORDER.index(target) < level:
                    wrong.append(f"{folder}/{name} includes {target}/{header}")
                unit = f"{folder}/{os.path.splitext(name)[0]}"
                used = f"{target}/{os.path.splitext(header)[0]}"
                if used != unit:
                    needs.setdefault(unit, set()).add(used)


def circle_from(start):
    """A path of needs from start back to itself, or None."""
    path, seen = [start], set()

    def walk(unit):
        for used in sorted(needs.get(unit, ())):
            if used == start:
                return True
            if used not in seen:
                seen.add(used)
                path.append(used)
                if walk(used):
                    return True
                path.pop()
        return False

    return path + [start] if walk(start) else None


reported = set()
for unit in sorted(needs):
    path = circle_from(unit)
    if path and not reported.intersection(path):
        reported.update(path)
        wrong.append("circle: " + " -> ".join(path))
print("\n".join(wrong) if wrong else "every include goes downward, no files need each other, and the hosts "
      "see the module through " + HOST_HEADER + " alone")
sys.exit(1 if wrong else 0)
