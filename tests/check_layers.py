#!/usr/bin/env python3
# Each module folder may include only from the folders below it; an include
# upward is a circle between folders, and the next change to either side
# then has to know about both.
import os
import re
import sys

ORDER = ["plugin", "decoders", "archive", "storage", "platform", "errors"]
INCLUDE = re.compile(r'^\s*#\s*include\s+"([a-z]+)/([^"]+)"', re.M)

root = sys.argv[1] if len(sys.argv) > 1 else os.path.join(os.path.dirname(__file__), "..")
wrong = []
for level, folder in enumerate(ORDER):
    for name in sorted(os.listdir(os.path.join(root, folder))):
        if not name.endswith((".h", ".cpp")):
            continue
        with open(os.path.join(root, folder, name), encoding="utf-8") as f:
            for target, header in INCLUDE.findall(f.read()):
                if target in ORDER and ORDER.index(target) < level:
                    wrong.append(f"{folder}/{name} includes {target}/{header}")
print("\n".join(wrong) if wrong else "every include goes downward")
sys.exit(1 if wrong else 0)
