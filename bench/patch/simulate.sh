#!/usr/bin/env bash
# What a patch fetches, computed natively on generated files (never stored):
# today's flat chunk index (v1) beside the levelled index (v2), for 1 KiB
# inserted near the start and 16 x 64 KiB rewritten; with --sweep, v2's costs
# for other chunk and group sizes (the figures the format's sizes in
# engine/rules/LevelledIndex.h were chosen from).
#
#   bench/patch/simulate.sh [MiB ...]               (default 64 256 1024 4096)
#   bench/patch/simulate.sh --sweep [MiB] [rounds]  (default 1024 MiB, 3 rounds)
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
cmake -S "$root" -B "$root/build/native" -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$root/build/native" --target patch_simulate -j2 >/dev/null
"$root/build/native/patch_simulate" "$@"
