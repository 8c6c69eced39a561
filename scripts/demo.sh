#!/usr/bin/env bash
# Builds the module and zipscan (if needed), writes the example archive and
# cleans a copy of it with zipscan, showing the archive before and after.
set -euo pipefail
cd "$(dirname "$0")/.."
gen=()
command -v ninja >/dev/null 2>&1 && gen=(-G Ninja)
[ -f build/CMakeCache.txt ] || cmake -S . -B build "${gen[@]}" >/dev/null
echo "building the module and zipscan..."
if ! cmake --build build -j "$(nproc)" --target zipscan >build/demo-build.log 2>&1; then
  tail -n 30 build/demo-build.log
  exit 1
fi

demo=build/demo
mkdir -p "$demo"
# The example is written afresh each time: it holds the anti-virus test file,
# which a scanner on this machine would quarantine if it were kept in the repo.
python3 examples/make_example.py "$demo/example.zip"
cp "$demo/example.zip" "$demo/cleaned.zip"
archive=$demo/cleaned.zip
injected='<script>steal(document.cookie)</script>'

list() {
  if command -v unzip >/dev/null 2>&1; then unzip -lv "$1"; else python3 -m zipfile -l "$1"; fi
}
run() {   # prints the command, runs it, tells its exit status
  local shown="" arg
  for arg in "$@"; do
    if [[ $arg =~ ^[A-Za-z0-9_./:=-]+$ ]]; then shown+=" $arg"; else shown+=" '$arg'"; fi
  done
  printf '\n$%s\n' "$shown"
  local status=0
  "$@" || status=$?
  echo "(exit status $status)"
}

echo
echo "== $archive before: clean entries (deflated, stored, one in the legacy"
echo "   'shrunk' method), the test file deflated and encrypted (password"
echo "   'infected'), and a page with an injected script =="
list "$archive"

run ./build/zipscan scan --clean --password infected --signature "cure:$injected" "$archive"

echo
echo "== $archive after: the test files are deleted, the page is cured =="
list "$archive"
run ./build/zipscan scan --signature "cure:$injected" "$archive"
