#!/usr/bin/env bash
# Runs a Windows test program under Wine in the build tree's own prefix.
# Used as CMake's cross-compiling emulator, so ctest runs every test through it.
set -euo pipefail
exe="$1"; shift
bin_dir=$(cd "$(dirname "$exe")" && pwd)
export WINEPREFIX="${WINEPREFIX:-$(dirname "$bin_dir")/wineprefix}"
export WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" LC_ALL=zh_CN.UTF-8
"$(dirname "$0")/../scripts/wine-prefix.sh"
exec wine "$exe" "$@"
