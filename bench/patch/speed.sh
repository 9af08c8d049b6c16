#!/usr/bin/env bash
# Per-byte speed under Wine of cutting local copies into chunks, beside the MD5
# digest every download already runs and SHA-256 through CNG (whole message,
# and one object per chunk as a patch digests them). In memory, medians.
#
#   bench/patch/speed.sh [MiB] [rounds]         (default 64 MiB, 5 rounds)
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
build=$root/build/win
[ -f "$build/CMakeCache.txt" ] || "$root/scripts/build.sh" >/dev/null
cmake --build "$build" --target bench_chunker -j2 >/dev/null
export WINEPREFIX=${WINEPREFIX:-$build/wineprefix}
export WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" LC_ALL=zh_CN.UTF-8
"$root/scripts/wine-prefix.sh"
wine "$build/bin/bench_chunker.exe" "${1:-64}" "${2:-5}" | tr -d '\r'
