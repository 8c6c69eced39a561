#!/usr/bin/env bash
# Builds and runs every test: a warning-clean build, a build without the
# optional libraries, an address/undefined sanitizer build, a short run of
# every fuzz target, and the 32-bit Windows cross-build of the module
# (skipped when MinGW-w64 is not installed). The
# warning-clean build reads with ISA-L where it is installed, the sanitizer
# build with zlib, so the whole suite runs against both inflate back ends;
# the inflate fuzz target compares the two on every input.
#   scripts/test.sh            all five
#   scripts/test.sh normal     only the warning-clean build, its tests and a
#                              short differential fuzzing run (DIFFFUZZ_MUTANTS)
#   scripts/test.sh bare       only zipscan and the module built without
#                              Hyperscan, libyara and libcrypto, and
#                              zipscan's tests
#   scripts/test.sh sanitize   only the sanitizer build and its tests
#   scripts/test.sh fuzz       only the fuzz targets
#   scripts/test.sh windows    cross-build zipext.dll (32-bit, MinGW-w64)
#                              with libbz2, liblzma and libzstd built from
#                              Debian's sources (scripts/windows_libraries.sh),
#                              check its export table and, when wine is
#                              installed, run the Windows test executables
#                              and tests/windows/dll_host.cpp under wine
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
  # The differential fuzzer, a short run from a fixed seed: the peers must
  # not surface the marker from a family the module has closed.
  missing=""
  for tool in 7zz unzip bsdtar zip python3; do
    command -v "$tool" >/dev/null 2>&1 || missing+=" $tool"
  done
  if [ -n "$missing" ]; then
    echo "skipped the differential fuzzer: missing$missing"
  else
    echo "== differential fuzzer =="
    python3 fuzz/differential/difffuzz.py --mutants "${DIFFFUZZ_MUTANTS:-400}" --seed ci \
      -j "$jobs" --out build/difffuzz
  fi
fi

if [ "$what" = all ] || [ "$what" = bare ]; then
  # zipscan and the module where Hyperscan, libyara and libcrypto are not
  # installed: what they cannot read is said, never passed over.
  echo "== build without Hyperscan, libyara and libcrypto =="
  cmake -S . -B build-bare "${gen[@]}" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DZIPEXT_WERROR=ON -DZIPEXT_BENCH=OFF \
    -DCMAKE_DISABLE_FIND_PACKAGE_OpenSSL=ON -DHYPERSCAN_INCLUDE_DIR= -DYARA_INCLUDE_DIR= >/dev/null
  cmake --build build-bare -j "$jobs" --target zipscan zipext zipscan_fake
  ctest --test-dir build-bare --output-on-failure -j "$jobs" --timeout 900 -R '^zipscan_'
fi

if [ "$what" = all ] || [ "$what" = sanitize ]; then
  echo "== sanitizer build =="
  ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
    run_build build-sanitize -DCMAKE_BUILD_TYPE=Debug -DZIPEXT_SANITIZE=ON -DZIPEXT_BENCH=OFF \
      -DZIPEXT_INFLATE=zlib
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
windows_build() {
  echo "== 32-bit Windows DLL =="
  if ! command -v i686-w64-mingw32-g++ >/dev/null 2>&1; then
    echo "skipped: no i686-w64-mingw32-g++ (packages g++-mingw-w64-i686 and libz-mingw-w64-dev)"
    return 0
  fi
  # The test executables are built only where wine can run them.
  local wine_tests=OFF
  command -v wine >/dev/null 2>&1 && wine_tests=ON
  # libbz2, liblzma and libzstd from Debian's sources, built once into
  # build-windows/thirdparty; a method whose library cannot be had is
  # handed over as stored.
  local t0=$SECONDS libraries
  libraries=$(JOBS=$jobs bash scripts/windows_libraries.sh build-windows)
  echo "-- libraries of the later methods ready ($((SECONDS - t0)) s)"
  local configured
  configured=$(cmake -S . -B build-windows "${gen[@]}" --no-warn-unused-cli -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-i686.cmake \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo -DZIPEXT_WERROR=ON -DZIPEXT_TESTS=$wine_tests \
    -DCMAKE_CROSSCOMPILING_EMULATOR="$PWD/tests/windows/wine-run.sh" \
    -DZIPEXT_PREPARED_ARCHIVES="$PWD/build-windows/prepared" -DZIPEXT_WINDOWS_LIBRARY_DIRS="$libraries")
  grep -E '^-- Later methods' <<<"$configured" || true
  cmake --build build-windows -j "$jobs" --target zipext
  dll=build-windows/zipext.dll
  table=$(i686-w64-mingw32-objdump -p "$dll")
  # The engine finds the functions by ordinal: 1-3 and 10-11 carry code and
  # a name; 4-9 are slots of the address table without either (address 0,
  # which objdump does not list).
  base=$(awk '/^Ordinal Base/ {print $3; exit}' <<<"$table")
  slots=$(awk '/^\tExport Address Table[ \t]/ {print $NF; exit}' <<<"$table")
  coded=$(awk '/^Export Address Table -- / {on = 1; next}
               on && /\+base\[/ {sub(/.*\+base\[ */, ""); sub(/\].*/, ""); print; next}
               on {exit}' <<<"$table" | tr '\n' ' ')
  named=$(awk -v base="$base" '/^\[Ordinal\/Name Pointer\] Table/ {on = 1; next}
               on && /^\t\[/ {gsub(/[][]/, " "); print $1 + base ":" $2; next}
               on {exit}' <<<"$table" | sort -n | tr '\n' ' ')
  expected="1:VFCheckExtendModule 2:VFEnumAttributes 3:TestEntry 10:ZipArchive_Decode 11:ZipArchive_Recongnize "
  if [ "$base" != 1 ] || [ "$((16#${slots:-0}))" != 11 ] || [ "$coded" != "1 2 3 10 11 " ] ||
     [ "$named" != "$expected" ]; then
    echo "unexpected export table: base $base, $((16#${slots:-0})) slots, code at $coded, names $named"
    exit 1
  fi
  # The engine's machines have no MinGW runtime or zlib DLL: the DLL may
  # import system libraries only.
  imports=$(awk '/DLL Name:/ {print $3}' <<<"$table" | sort -u | tr '\n' ' ')
  for name in $imports; do
    case "${name,,}" in
      kernel32.dll|user32.dll|msvcrt.dll|advapi32.dll|bcrypt.dll) ;;
      *) echo "zipext.dll imports $name"; exit 1 ;;
    esac
  done
  echo "zipext.dll: exports $named; imports $imports"

  if ! command -v wine >/dev/null 2>&1; then
    echo "skipped running zipext.dll and the Windows tests: no wine (packages wine and wine32)"
    return 0
  fi
  # A private 32-bit prefix, without the Mono and Gecko installers
  # (tests/windows/wine-run.sh), made once before anything runs in it.
  export WINEPREFIX="$PWD/build-windows/wineprefix"
  t0=$SECONDS
  [ -f "$WINEPREFIX/system.reg" ] || timeout 300 tests/windows/wine-run.sh wineboot --init
  echo "-- wine prefix ready ($((SECONDS - t0)) s)"

  # Archives that Python's zipfile and Info-ZIP zip make for the cleaning
  # tests, made on the Linux side by the same tests of the Linux build (the
  # Windows tests read them back; see tests/support/cleaning_peers.cpp).
  t0=$SECONDS
  if [ ! -x build/tests/cleaning_test ]; then
    cmake -S . -B build "${gen[@]}" -DZIPEXT_WERROR=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
  fi
  cmake --build build -j "$jobs" --target cleaning_test decode_driver_test fault_injection_test
  rm -rf build-windows/prepared
  for t in cleaning_test decode_driver_test fault_injection_test; do
    ZIPEXT_PREPARED_ARCHIVES="$PWD/build-windows/prepared" build/tests/$t \
      --gtest_filter="$(windows_prepared_filter $t)" --gtest_brief=1 >/dev/null
  done
  echo "-- $(ls build-windows/prepared | wc -l) archives prepared on the Linux side ($((SECONDS - t0)) s)"

  # The test executables, each run whole under wine by ctest.
  t0=$SECONDS
  cmake --build build-windows -j "$jobs"
  echo "-- Windows test executables built ($((SECONDS - t0)) s)"
  t0=$SECONDS
  ctest --test-dir build-windows --output-on-failure -j "$jobs" --timeout 600
  echo "-- Windows tests under wine ($((SECONDS - t0)) s)"

  # Load the DLL as the engine does (by ordinal, __stdcall host objects),
  # run it on memory and file streams, then on every archive fuzz seed.
  t0=$SECONDS
  i686-w64-mingw32-g++ -std=c++17 -O2 -Wall -Wextra -Werror -static -I . -I tests \
    tests/windows/dll_host.cpp tests/support/fake_stream.cpp -lz -o build-windows/dll_host.exe
  rm -rf build-windows/seeds
  python3 fuzz/make_seeds.py archive_fuzz build-windows/seeds
  # With the shared corpus, and a DLL that reads every later method, the
  # host also checks what the DLL hands over of those methods' entries.
  local corpus
  corpus=$(cd fuzz && python3 -c 'import make_seeds; print(make_seeds.CORPUS or "")')
  local host_args=("Z:$PWD/build-windows/seeds")
  if [ -z "$corpus" ]; then
    echo "-- the DLL host checks no corpus entries: no shared corpus"
  elif grep -q '^-- Later methods handed over as stored' <<<"$configured"; then
    echo "-- the DLL host checks no corpus entries of the later methods: some are handed over as stored"
  else
    host_args+=("Z:$corpus")
  fi
  if ! (cd build-windows && timeout 300 ../tests/windows/wine-run.sh dll_host.exe "${host_args[@]}"); then
    echo "dll_host.exe failed under wine"
    exit 1
  fi
  echo "-- DLL host under wine ($((SECONDS - t0)) s)"
}

# The tests of a Linux test executable whose archives the Windows run reads.
windows_prepared_filter() {
  case $1 in
    cleaning_test) echo 'RemoveEntries.*:AddEntry.*:MoveBlock.*' ;;
    decode_driver_test) echo 'DecodeDriver.*' ;;
    fault_injection_test) echo '*' ;;
  esac
}
if [ "$what" = all ] || [ "$what" = windows ]; then
  windows_build
fi

echo "all tests passed"
