#!/usr/bin/env python3
# Each module folder may include only from the folders below it; an include
# upward is a circle between folders, and the next change to either side
# then has to know about both. Within a folder, no two files may need each
# other either (a file's .h and .cpp count as one). A host in tools/ sees
# only the module's public surface: the host interface, the format's own
# values, the reasons it names, and the listing it reads archives with.
import os
import re
import sys

ORDER = ["plugin", "decoders", "archive", "storage", "platform", "errors"]
INCLUDE = re.compile(r'^\s*#\s*include\s+"([a-z]+)/([^"]+)"', re.M)

PUBLIC = {"plugin/VFInterfaces.h", "plugin/ZipHostListing.h", "archive/ZipFormatFacts.h",
          "errors/ZipErrorReason.h"}

root = sys.argv[1] if len(sys.argv) > 1 else os.path.join(os.path.dirname(__file__), "..")
wrong = []
for top, _, names in os.walk(os.path.join(root, "tools")):
    for name in sorted(names):
        if not name.endswith((".h", ".cpp")):
            continue
        path = os.path.join(top, name)
        with open(path, encoding="utf-8") as f:
            for target, header in INCLUDE.findall(f.read()):
                if target in ORDER and f"{target}/{header}" not in PUBLIC:
                    wrong.append(f"{os.path.relpath(path, root)} includes {target}/{header}, not part of the public surface")
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
print("\n".join(wrong) if wrong else "every include goes downward, and no files need each other")
sys.exit(1 if wrong else 0)
