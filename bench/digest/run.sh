#!/usr/bin/env bash
# Digest throughput: CMd5Digest::HashFilePath under Wine against md5sum on a 256 MiB
# random file, three runs each, medians side by side; also checks the digests agree.
#
#   bench/digest/run.sh [BUILD_DIR]
#
# With BUILD_DIR, uses the bench_digest.exe built there; otherwise builds it by hand with
# the MinGW compiler into a scratch folder under /tmp. WINEPREFIX defaults to
# /tmp/bench-digest-wine.
set -euo pipefail

ROOT=$(cd "$(dirname "$0")/../.." && pwd)
SIZE=$((256 * 1024 * 1024))
RUNS=3
SCRATCH=$(mktemp -d /tmp/bench-digest.XXXXXX)
trap 'rm -rf "$SCRATCH"' EXIT

export WINEPREFIX=${WINEPREFIX:-/tmp/bench-digest-wine}
export WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" LC_ALL=zh_CN.UTF-8

if [ $# -ge 1 ]; then
    [ -f "$1/bin/bench_digest.exe" ] || cmake --build "$1" --target bench_digest -j2 >/dev/null
    EXE=$(find "$1" -name bench_digest.exe -type f | head -n 1)
    [ -n "$EXE" ] || { echo "no bench_digest.exe under $1" >&2; exit 1; }
else
    EXE=$SCRATCH/bench_digest.exe
    echo "building $EXE"
    x86_64-w64-mingw32-g++-posix -std=c++17 -O2 -finput-charset=UTF-8 -fexec-charset=GBK \
        -I "$ROOT/framework" -I "$ROOT/digest" \
        "$ROOT/bench/digest/bench_digest.cpp" "$ROOT/digest/Md5Digest.cpp" \
        "$ROOT/digest/Md5DigestFile.cpp" "$ROOT/framework/afxstr.cpp" "$ROOT/framework/afxfile.cpp" \
        -o "$EXE" -static -static-libgcc -static-libstdc++ -lpsapi
fi

DATA=$SCRATCH/random256.bin
echo "making $DATA ($SIZE bytes)"
head -c "$SIZE" /dev/urandom > "$DATA"
cat "$DATA" > /dev/null   # both tools start from the page cache

median() { sort -g | awk '{v[NR] = $1} END {print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2}'; }

# Alternate the two tools so that a change in machine load hits both alike.
MD5SUM_RATES=()
BENCH_RATES=()
PEAKS=()
for i in $(seq "$RUNS"); do
    t0=$(date +%s.%N)
    REF=$(md5sum "$DATA" | cut -d' ' -f1)
    t1=$(date +%s.%N)
    MD5SUM_RATES+=("$(awk -v b="$SIZE" -v a="$t0" -v z="$t1" 'BEGIN {printf "%.1f", b / 1e6 / (z - a)}')")

    OUT=$(wine "$EXE" "Z:${DATA//\//\\}" 1 | tr -d '\r')
    echo "$OUT" | sed "s/^/  bench $i: /"
    RATE=$(echo "$OUT" | sed -n 's/^run 1: .* \([0-9.]*\) MB\/s$/\1/p')
    [ -n "$RATE" ] || { echo "bench reported no rate" >&2; exit 1; }
    BENCH_RATES+=("$RATE")
    PEAKS+=("$(echo "$OUT" | sed -n 's/^peak working set: \([0-9.]*\) MiB$/\1/p')")
    OURS=$(echo "$OUT" | sed -n 's/^digest: //p')
    [ "$REF" = "$OURS" ] || { echo "DIGESTS DIFFER: md5sum $REF, CMd5Digest $OURS" >&2; exit 1; }
done
PEAK="$(printf '%s\n' "${PEAKS[@]}" | sort -g | tail -n 1) MiB"

# Same program on a 1 MiB file: the peak working set must not grow with the file.
SMALL=$SCRATCH/random1.bin
head -c $((1024 * 1024)) /dev/urandom > "$SMALL"
SMALL_PEAK=$(wine "$EXE" "Z:${SMALL//\//\\}" 1 | tr -d '\r' | sed -n 's/^peak working set: //p')

echo
printf '%-8s %18s %26s\n' "run" "md5sum MB/s" "CMd5Digest (Wine) MB/s"
for i in $(seq 0 $((RUNS - 1))); do
    printf '%-8s %18s %26s\n' "$((i + 1))" "${MD5SUM_RATES[$i]}" "${BENCH_RATES[$i]}"
done
printf '%-8s %18s %26s\n' "median" \
    "$(printf '%s\n' "${MD5SUM_RATES[@]}" | median)" "$(printf '%s\n' "${BENCH_RATES[@]}" | median)"
echo "CMd5Digest peak working set: $PEAK on 256 MiB, $SMALL_PEAK on 1 MiB"
echo "md5sum:     $REF"
echo "CMd5Digest: $OURS"
echo "digests agree in all $RUNS runs"
