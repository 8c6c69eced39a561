#!/usr/bin/env bash
# The libraries of the later methods for the 32-bit Windows DLL: libbz2,
# liblzma and libzstd, cross-built as static libraries with the DLL's MinGW
# toolchain and flags from Debian's source packages of the very versions the
# Linux build links (those of the installed -dev packages), fetched with
# apt-get source (apt checks the .dsc against the signed release files, and
# dpkg-source the tarballs against the .dsc).
#   scripts/windows_libraries.sh BUILD-DIR
# Each library is installed into BUILD-DIR/thirdparty/<source>-<version>
# (include/, lib/) and taken from there on later runs. Prints the folders
# that are ready, separated by ';', on stdout (for
# -DZIPEXT_WINDOWS_LIBRARY_DIRS); what it does, and every library it could
# not make, on stderr. A library that cannot be made (no deb-src access, the
# version not on the mirror, a failed build) is left out: the DLL then hands
# that method's entries over as stored, and cmake says so.
#
# ZIPEXT_WINDOWS_SOURCES="libzstd=1.5.4+dfsg2-5 ..." pins a source package
# to another version than the installed -dev package's (e.g. where the
# mirror no longer carries that one).
set -uo pipefail
cd "$(dirname "$0")/.."
build=$1
root="$PWD/$build/thirdparty"
[ "${build#/}" != "$build" ] && root="$build/thirdparty"
toolchain="$PWD/cmake/mingw-i686.cmake"
gen=()
command -v ninja >/dev/null 2>&1 && gen=(-G Ninja)
say() { echo "$*" >&2; }
mkdir -p "$root"

# A private apt configuration with a deb-src line for every deb line of the
# system's sources (main suite, updates and security alike, which is where
# the installed versions come from); the system's own configuration and
# package lists stay untouched.
apt_dir="$root/apt"
apt_opts=(-o "Dir::Etc::SourceList=$apt_dir/sources.list" -o "Dir::Etc::SourceParts=$apt_dir/sources.list.d"
          -o "Dir::State::Lists=$apt_dir/lists" -o "Dir::Cache=$apt_dir/cache" -o "APT::Sandbox::User=root"
          -o "Acquire::Retries=2")
apt_ready=""
apt_prepare() {
  [ -n "$apt_ready" ] && return "$apt_ready"
  apt_ready=1
  if ! command -v apt-get >/dev/null 2>&1 || ! command -v dpkg-source >/dev/null 2>&1; then
    say "no apt-get or dpkg-source (package dpkg-dev): no source packages"
    return 1
  fi
  rm -rf "$apt_dir"
  mkdir -p "$apt_dir/sources.list.d" "$apt_dir/lists/partial" "$apt_dir/cache/archives/partial"
  sed -n 's/^[[:space:]]*deb[[:space:]]/deb-src /p' /etc/apt/sources.list 2>/dev/null >"$apt_dir/sources.list"
  for f in /etc/apt/sources.list.d/*.list; do
    [ -f "$f" ] && sed -n 's/^[[:space:]]*deb[[:space:]]/deb-src /p' "$f" >"$apt_dir/sources.list.d/$(basename "$f")"
  done
  for f in /etc/apt/sources.list.d/*.sources; do
    [ -f "$f" ] && sed 's/^Types:.*/Types: deb-src/' "$f" >"$apt_dir/sources.list.d/$(basename "$f")"
  done
  if ! apt-get "${apt_opts[@]}" -qq update >"$apt_dir/update.log" 2>&1; then
    say "apt-get update of the deb-src entries failed (see $apt_dir/update.log)"
    return 1
  fi
  apt_ready=0
}

# The source package and version behind an installed -dev package, or the
# pin of ZIPEXT_WINDOWS_SOURCES.
source_of() {   # dev-package source-package
  local pin
  for pin in ${ZIPEXT_WINDOWS_SOURCES:-}; do
    [ "${pin%%=*}" = "$2" ] && { echo "$pin"; return 0; }
  done
  dpkg-query -W -f='${source:Package}=${source:Version}' "$1" 2>/dev/null
}

build_bzip2() {   # source-dir work-dir prefix
  cmake -S cmake/bzip2 -B "$2" "${gen[@]}" "${cross[@]}" -DBZIP2_SOURCE_DIR="$1" -DCMAKE_INSTALL_PREFIX="$3" &&
    cmake --build "$2" -j "${JOBS:-$(nproc)}" && cmake --install "$2"
}
build_xz() {
  cmake -S "$1" -B "$2" "${gen[@]}" "${cross[@]}" -DBUILD_SHARED_LIBS=OFF -DBUILD_TESTING=OFF &&
    cmake --build "$2" -j "${JOBS:-$(nproc)}" --target liblzma &&
    mkdir -p "$3/lib" "$3/include" && cp "$2/liblzma.a" "$3/lib/" &&
    cp -r "$1/src/liblzma/api/lzma.h" "$1/src/liblzma/api/lzma" "$3/include/"
}
build_zstd() {
  # Legacy frames as Debian's build reads them; no threads (they serve
  # compression only).
  cmake -S "$1/build/cmake" -B "$2" "${gen[@]}" "${cross[@]}" -DZSTD_BUILD_PROGRAMS=OFF \
    -DZSTD_BUILD_SHARED=OFF -DZSTD_BUILD_STATIC=ON -DZSTD_BUILD_TESTS=OFF -DBUILD_TESTING=OFF \
    -DZSTD_LEGACY_SUPPORT=ON -DZSTD_MULTITHREAD_SUPPORT=OFF &&
    cmake --build "$2" -j "${JOBS:-$(nproc)}" --target libzstd_static &&
    mkdir -p "$3/lib" "$3/include" && cp "$2/lib/libzstd.a" "$3/lib/" &&
    cp "$1/lib/zstd.h" "$1/lib/zstd_errors.h" "$3/include/"
}

# The DLL's toolchain and build type, and its 64-bit time_t.
cross=(-DCMAKE_TOOLCHAIN_FILE="$toolchain" -DCMAKE_BUILD_TYPE=RelWithDebInfo
       -DCMAKE_C_FLAGS=-D__MINGW_USE_VC2005_COMPAT)

ready=()
for lib in "bzip2 libbz2-dev bzip2" "xz liblzma-dev xz-utils" "zstd libzstd-dev libzstd"; do
  read -r kind dev srcpkg <<<"$lib"
  spec=$(source_of "$dev" "$srcpkg")
  if [ -z "$spec" ]; then
    say "$kind: $dev is not installed and ZIPEXT_WINDOWS_SOURCES names no version of $srcpkg"
    continue
  fi
  version=${spec#*=}
  prefix="$root/$srcpkg-${version//:/_}"
  if [ -f "$prefix/.complete" ]; then
    say "$kind: $spec (built before)"
    ready+=("$prefix")
    continue
  fi
  started=$SECONDS
  apt_prepare || { say "$kind: $spec not fetched"; continue; }
  work="$root/work/$srcpkg"
  rm -rf "$work" "$prefix"
  mkdir -p "$work"
  if ! (cd "$work" && apt-get "${apt_opts[@]}" source --download-only -q "$spec") >"$work/fetch.log" 2>&1; then
    say "$kind: apt-get source $spec failed: $(grep -m1 '^E:' "$work/fetch.log")"
    continue
  fi
  dsc=$(ls "$work"/*.dsc)
  if ! (cd "$work" && dpkg-source -x "$(basename "$dsc")" src) >"$work/extract.log" 2>&1; then
    say "$kind: dpkg-source -x $(basename "$dsc") failed (see $work/extract.log)"
    continue
  fi
  if ! "build_$kind" "$work/src" "$work/build" "$prefix" >"$work/build.log" 2>&1; then
    say "$kind: the build of $spec failed (see $work/build.log)"
    rm -rf "$prefix"
    continue
  fi
  echo "$spec" >"$prefix/.complete"
  rm -rf "$work"
  say "$kind: $spec fetched and built ($((SECONDS - started)) s)"
  ready+=("$prefix")
done
(IFS=';'; echo "${ready[*]}")
