#!/usr/bin/env bash
# Transfer benchmark: one 256 MiB file from a local nginx, fetched by
#  - curl (native Linux, the peer),
#  - a bare WinINet loop (open URL, 8192-byte reads, file writes) under Wine,
#  - the updater's DownloadAll with a report sink that does nothing, under Wine,
#  - the real updater.exe with its window (one progress report per block),
# three runs each, side by side with the medians, and updater.exe's peak memory.
# Usage: bench/transfer/run.sh [BUILD_DIR]   (default build/win; needs bench_transfer built)
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
build=${1:-$root/build/win}
bin="$build/bin"
[ -x "$bin/bench_transfer.exe" ] || cmake --build "$build" --target bench_transfer updater Quorvanta -j2 >/dev/null
work=$(mktemp -d /tmp/bench-transfer.XXXXXX)
chmod 755 "$work"   # nginx's workers read the site as an unprivileged user
port=${BENCH_PORT:-18433}
size_mib=${BENCH_MIB:-256}
mkdir -p "$work/site/update" "$work/site/files" "$work/out" "$work/nginx/tmp" "$work/inst"
head -c $((size_mib * 1024 * 1024)) /dev/urandom > "$work/site/files/big.bin"
md5=$(md5sum "$work/site/files/big.bin" | cut -d' ' -f1)
"$root/scripts/serve-static.sh" "$work/site" "$port" "$work/nginx" 1800 &
nginx_pid=$!
cleanup() { kill $nginx_pid 2>/dev/null || true; WINEPREFIX="$work/wineprefix" wineserver -k 2>/dev/null || true; rm -rf "$work"; }
trap cleanup EXIT
url="http://127.0.0.1:$port/files/big.bin"
for _ in $(seq 50); do curl -fsI "$url" >/dev/null 2>&1 && break; sleep 0.1; done

# A prefix of its own, so that ending its processes touches nothing else.
export WINEPREFIX="$work/wineprefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" LC_ALL=zh_CN.UTF-8
"$root/scripts/wine-prefix.sh"
winout=$(winepath -w "$work/out" 2>/dev/null)
bytes=$((size_mib * 1024 * 1024))
median() { sort -n | awk '{a[NR]=$1} END {print a[int((NR+1)/2)]}'; }
mbps() { awk -v b="$bytes" -v s="$1" 'BEGIN {printf "%.1f", b / s / 1e6}'; }

declare -a curl_r bare_r mgr_r win_r win_mem
for i in 1 2 3; do
    t0=$(date +%s.%N); curl -fsS -o "$work/out/curl.bin" "$url"; t1=$(date +%s.%N)
    s=$(awk -v a="$t0" -v b="$t1" 'BEGIN {print b - a}')
    curl_r+=("$(mbps "$s")")
    bare_r+=("$(wine "$bin/bench_transfer.exe" bare "$url" "$winout" | awk '{print $6}')")
    mgr_r+=("$(wine "$bin/bench_transfer.exe" manager "$url" "$winout" | awk '{print $6}')")
done
[ "$(md5sum "$work/out/big.bin.dtm" | cut -d' ' -f1)" = "$md5" ] || { echo "manager download differs"; exit 1; }

# The real program: an installation whose manifest lists the big file as missing.
printf '<?xml version="1.0"?><manifest><filelist><file filename="big.bin" filesize="%d" fileversion="1" md5="%s" fileload="%s"/></filelist></manifest>' \
    "$bytes" "$md5" "$url" > "$work/site/update/update.xml"
cp "$bin/updater.exe" "$bin/Quorvanta.exe" "$work/inst/"
printf '[Download]\r\nsite=127.0.0.1:%s\r\n' "$port" > "$work/inst/updater.INI"
cat > "$work/window_runs.sh" <<'RUNS'
#!/usr/bin/env bash
# Three runs of the real program; prints "seconds peak-KiB" per run.
work=$1
for i in 1 2 3; do
    rm -f "$work/inst/big.bin"
    peak=0
    start=$(date +%s.%N)
    (cd "$work/inst" && exec wine updater.exe) &
    w=$!
    while kill -0 $w 2>/dev/null; do
        v=$(awk '/VmHWM/ {print $2}' "/proc/$w/status" 2>/dev/null || echo 0)
        [ "${v:-0}" -gt "$peak" ] && peak=$v
        sleep 0.2
    done
    end=$(date +%s.%N)
    cmp -s "$work/inst/big.bin" "$work/site/files/big.bin" || echo "window run: file differs" >&2
    echo "$(awk -v s="$start" -v e="$end" 'BEGIN {print e - s}') $peak"
    wineserver -k 2>/dev/null || true   # the platform stand-in the run started
done
RUNS
# The console runs above left a Wine session without a display: end it first.
wineserver -k 2>/dev/null || true
if [ -n "${DISPLAY:-}" ]; then runs=$(bash "$work/window_runs.sh" "$work"); else
    runs=$(xvfb-run -a -s "-screen 0 1024x768x24" bash "$work/window_runs.sh" "$work"); fi
while read -r secs peak; do
    win_r+=("$(mbps "$secs")")
    win_mem+=("$peak")
done <<< "$runs"

printf '\n%-34s %10s %10s %10s %10s\n' "$size_mib MiB from local nginx" "run 1" "run 2" "run 3" "median"
row() { local name=$1; shift; printf '%-34s %10s %10s %10s %10s\n' "$name" "$@" "$(printf '%s\n' "$@" | median)"; }
row "curl (native), MB/s" "${curl_r[@]}"
row "bare WinINet loop (Wine), MB/s" "${bare_r[@]}"
row "DownloadAll, null sink (Wine), MB/s" "${mgr_r[@]}"
row "updater.exe with window, MB/s" "${win_r[@]}"
row "updater.exe peak RSS, KiB" "${win_mem[@]}"
awk -v m="$(printf '%s\n' "${mgr_r[@]}" | median)" -v b="$(printf '%s\n' "${bare_r[@]}" | median)" \
    'BEGIN {printf "DownloadAll / bare loop: %.0f %%\n", 100 * m / b}'
