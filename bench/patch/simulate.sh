#!/usr/bin/env bash
# What a patch fetches for a range of chunk sizes (index plus merged ranges),
# computed natively on random files: the figures the chunk parameters in
# engine/rules/Chunker.h were chosen from.
#
#   bench/patch/simulate.sh [MiB] [rounds]      (default 64 MiB, 5 rounds)
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
cmake -S "$root" -B "$root/build/native" -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$root/build/native" --target patch_simulate -j2 >/dev/null
"$root/build/native/patch_simulate" "${1:-64}" "${2:-5}"
