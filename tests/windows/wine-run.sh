#!/usr/bin/env bash
# Runs a Windows program of the 32-bit build under wine, in a private prefix
# (WINEPREFIX, default build-windows/wineprefix) made without the Mono and
# Gecko installers. CMake hands it to ctest as the cross-compiling emulator.
set -euo pipefail
here=$(cd "$(dirname "$0")/../.." && pwd)
export WINEPREFIX=${WINEPREFIX:-$here/build-windows/wineprefix}
export WINEARCH=win32
export WINEDEBUG=${WINEDEBUG:--all}
export WINEDLLOVERRIDES="mscoree,mshtml="
exec wine "$@"
