#!/usr/bin/env bash
# Builds and runs every test: a warning-clean build, an address/undefined
# sanitizer build, and a short run of every fuzz target.
#   scripts/test.sh            all three
#   scripts/test.sh normal     only the warning-clean build and its tests
#   scripts/test.sh sanitize   only the sanitizer build and its tests
#   scripts/test.sh fuzz       only the fuzz targets
set -euo pipefail
cd "$(dirname "$0")/.."
what=${1:-all}
jobs=${JOBS:-$(nproc)}
gen=()
command -v ninja >/dev/null 2>&1 && gen=(-G Ninja)

run_build() {   # dir, extra cmake args...
  local dir=$1; shift
  cmake -S . -B "$dir" "${gen[@]}" -DZIPEXT_WERROR=ON "$@" >/dev/null
  cmake --build "$dir" -j "$jobs"
  ctest --test-dir "$dir" --output-on-failure -j "$jobs" --timeout 900
}

if [ "$what" = all ] || [ "$what" = normal ]; then
  echo "== warning-clean build =="
  run_build build -DCMAKE_BUILD_TYPE=RelWithDebInfo
  # Only the five exports may be visible.
  exports=$(nm -D --defined-only build/libzipext.so | awk '$2 ~ /^[TDBRW]$/ {print $3}' | sort | tr '\n' ' ')
  expected="TestEntry VFCheckExtendModule VFEnumAttributes ZipArchive_Decode ZipArchive_Recongnize "
  if [ "$exports" != "$expected" ]; then
    echo "unexpected exports: $exports"; exit 1
  fi
fi

if [ "$what" = all ] || [ "$what" = sanitize ]; then
  echo "== sanitizer build =="
  ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
    run_build build-sanitize -DCMAKE_BUILD_TYPE=Debug -DZIPEXT_SANITIZE=ON -DZIPEXT_BENCH=OFF
fi

if [ "$what" = all ] || [ "$what" = fuzz ]; then
  echo "== fuzzing =="
  CC=clang CXX=clang++ cmake -S . -B build-fuzz "${gen[@]}" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DZIPEXT_WERROR=ON -DZIPEXT_FUZZ=ON -DZIPEXT_TESTS=OFF -DZIPEXT_BENCH=OFF >/dev/null
  cmake --build build-fuzz -j "$jobs"
  seconds=${FUZZ_SECONDS:-30}
  for target in build-fuzz/fuzz/*_fuzz; do
    [ -x "$target" ] || continue
    name=$(basename "$target")
    seeds=build-fuzz/seeds/$name
    rm -rf "$seeds"; mkdir -p "$seeds"
    python3 fuzz/make_seeds.py "$name" "$seeds"
    echo "-- $name (${seconds}s)"
    "$target" -max_total_time="$seconds" -rss_limit_mb=2048 -timeout=20 -print_final_stats=0 \
      "$seeds" 2>&1 | tail -n 3
  done
fi
echo "all tests passed"
