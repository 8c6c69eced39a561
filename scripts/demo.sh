#!/usr/bin/env bash
# Builds the module (if needed) and shows it at work on the bundled example.
set -euo pipefail
cd "$(dirname "$0")/.."
gen=()
command -v ninja >/dev/null 2>&1 && gen=(-G Ninja)
[ -f build/CMakeCache.txt ] || cmake -S . -B build "${gen[@]}" >/dev/null
cmake --build build -j "$(nproc)" >/dev/null
./build/zipext_example build/libzipext.so examples/sample.zip
