#!/usr/bin/env bash
# What a patch fetches, computed natively on generated files (never stored),
# with the levelled chunk index, for 1 KiB inserted near the start and
# 16 x 64 KiB rewritten, the goal beside each row; with --sweep, its costs
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
