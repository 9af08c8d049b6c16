#!/usr/bin/env bash
# Transfer benchmark: one 256 MiB file from a local nginx, fetched by
#  - curl (native Linux, the peer),
#  - a bare WinINet loop (open URL, 8192-byte reads, file writes) under Wine,
#  - the updater's DownloadAll with a report sink that does nothing, under Wine
#    (it digests every block, as every real download is verified),
#  - the real updater.exe with its window (one progress report per block; the
#    window shows only what changes a pixel or, for the text, every 50 ms),
# in BENCH_RUNS rounds (default 5) of one run each, side by side with the
# medians, and updater.exe's peak memory for this file and for a 32 MiB one.
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
runs=${BENCH_RUNS:-5}
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

# The real program: an installation whose manifest lists the file as missing.
cp "$bin/updater.exe" "$bin/Quorvanta.exe" "$work/inst/"
printf '[Download]\r\nsite=127.0.0.1:%s\r\n' "$port" > "$work/inst/updater.INI"
# When a line of the run log was written, in seconds since 1970 (the log has local time).
cat > "$work/logtime.py" <<'PY'
import sys, time, datetime
log, pattern = sys.argv[1], sys.argv[2]
for raw in open(log, 'rb'):
    line = raw.decode('gbk', 'replace')
    if pattern in line:
        t = datetime.datetime.strptime(line[:23], '%Y-%m-%d %H:%M:%S.%f')
        print('%.3f' % (time.mktime(t.timetuple()) + t.microsecond / 1e6))
        break
PY
cat > "$work/window_runs.sh" <<'RUNS'
#!/usr/bin/env bash
# Rounds of measurements. With "all", each round runs curl, the bare loop,
# DownloadAll and the real program back to back, so that the machine's drift
# (about 10 % here) touches every path alike; otherwise only the real program.
# Prints "path MB/s" lines, and "window seconds peak-KiB" for the real program,
# whose transfer is timed by its own log, from the request to the verified
# last byte, as the bare loop times itself (start-up is measured apart).
work=$1 file=$2 runs=$3 which=$4
for i in $(seq "$runs"); do
    if [ "$which" = all ]; then
        t0=$(date +%s.%N); curl -fsS -o "$work/out/curl.bin" "$url"; t1=$(date +%s.%N)
        echo "curl $(awk -v a="$t0" -v b="$t1" -v n="$bytes" 'BEGIN {printf "%.1f", n / (b - a) / 1e6}')"
        echo "bare $(wine "$bin/bench_transfer.exe" bare "$url" "$winout" | awk '{print $6}')"
        echo "manager $(wine "$bin/bench_transfer.exe" manager "$url" "$winout" "$bytes" "$md5" | awk '{print $6}')"
    fi
    rm -f "$work/inst/$file" "$work/inst/Update/update.log"
    peak=0
    (cd "$work/inst" && exec wine updater.exe) &
    w=$!
    while kill -0 $w 2>/dev/null; do
        v=$(awk '/VmHWM/ {print $2}' "/proc/$w/status" 2>/dev/null || echo 0)
        [ "${v:-0}" -gt "$peak" ] && peak=$v
        sleep 0.2
    done
    cmp -s "$work/inst/$file" "$work/site/files/$file" || echo "window run: $file differs" >&2
    log="$work/inst/Update/update.log"
    t0=$(python3 "$work/logtime.py" "$log" "download $file: GET")
    t1=$(python3 "$work/logtime.py" "$log" "bytes, verified")
    echo "window $(awk -v s="$t0" -v e="$t1" 'BEGIN {print e - s}') $peak"
    wineserver -k 2>/dev/null || true   # the platform stand-in the run started
done
RUNS
manifest_for() {  # manifest_for FILE BYTES MD5
    printf '<?xml version="1.0"?><manifest><filelist><file filename="%s" filesize="%d" fileversion="1" md5="%s" fileload="http://127.0.0.1:%s/files/%s"/></filelist></manifest>' \
        "$1" "$2" "$3" "$port" "$1" > "$work/site/update/update.xml"
}
window_runs() {
    if [ -n "${DISPLAY:-}" ]; then bash "$work/window_runs.sh" "$work" "$@"; else
        xvfb-run -a -s "-screen 0 1024x768x24" bash "$work/window_runs.sh" "$work" "$@"; fi
}
export url bin winout bytes md5
# Setting up the prefix left a Wine session without a display: end it first.
wineserver -k 2>/dev/null || true
manifest_for big.bin "$bytes" "$md5"
declare -a curl_r bare_r mgr_r win_r win_mem
while read -r path value peak; do
    case $path in
    curl) curl_r+=("$value") ;;
    bare) bare_r+=("$value") ;;
    manager) mgr_r+=("$value") ;;
    window) win_r+=("$(mbps "$value")"); win_mem+=("$peak") ;;
    esac
done < <(window_runs big.bin "$runs" all)
[ "$(md5sum "$work/out/big.bin.dtm" | cut -d' ' -f1)" = "$md5" ] || { echo "manager download differs"; exit 1; }
# Peak memory must not grow with the file: the same run on a 32 MiB file.
head -c $((32 * 1024 * 1024)) /dev/urandom > "$work/site/files/small.bin"
manifest_for small.bin $((32 * 1024 * 1024)) "$(md5sum "$work/site/files/small.bin" | cut -d' ' -f1)"
small_mem=$(window_runs small.bin 1 window | awk '{print $3}')

row() { local name=$1; shift; printf '%-34s' "$name"; printf ' %8s' "$@"; printf ' %8s\n' "$(printf '%s\n' "$@" | median)"; }
printf '\n%-34s' "$size_mib MiB from local nginx"; printf ' %8s' $(seq -f 'run%g' "$runs") median; printf '\n'
row "curl (native), MB/s" "${curl_r[@]}"
row "bare WinINet loop (Wine), MB/s" "${bare_r[@]}"
row "DownloadAll, null sink (Wine), MB/s" "${mgr_r[@]}"
row "updater.exe with window, MB/s" "${win_r[@]}"
row "updater.exe peak RSS, KiB" "${win_mem[@]}"
printf '%-34s %10s\n' "updater.exe peak RSS, 32 MiB, KiB" "$small_mem"
awk -v m="$(printf '%s\n' "${mgr_r[@]}" | median)" -v b="$(printf '%s\n' "${bare_r[@]}" | median)" \
    'BEGIN {printf "DownloadAll / bare loop: %.0f %%\n", 100 * m / b}'
awk -v w="$(printf '%s\n' "${win_r[@]}" | median)" -v b="$(printf '%s\n' "${bare_r[@]}" | median)" \
    'BEGIN {printf "updater.exe with window / bare loop: %.0f %% (goal: at least 90 %%)\n", 100 * w / b}'
# The bare loop verifies nothing; DownloadAll digests every block as the real run does.
awk -v w="$(printf '%s\n' "${win_r[@]}" | median)" -v m="$(printf '%s\n' "${mgr_r[@]}" | median)" \
    'BEGIN {printf "updater.exe with window / DownloadAll (both verifying): %.0f %%\n", 100 * w / m}'

# Start-up with nothing to update: an installation of 2000 files (1 GiB) that
# all match the manifest, beside md5sum of the same files and beside a run
# whose manifest is empty. Timed from launching wine to the log's lines.
startup_files=${BENCH_STARTUP_FILES:-2000}
mkdir -p "$work/inst2/data"
cp "$bin/updater.exe" "$bin/Quorvanta.exe" "$work/inst2/"
printf '[Download]\r\nsite=127.0.0.1:%s\r\n' "$port" > "$work/inst2/updater.INI"
head -c $((startup_files * 512 * 1024)) /dev/urandom | split -a 4 -d -b $((512 * 1024)) - "$work/inst2/data/f"
sync
t0=$(date +%s.%N); (cd "$work/inst2/data" && md5sum f* > "$work/sums.txt"); t1=$(date +%s.%N)
md5sum_s=$(awk -v a="$t0" -v b="$t1" 'BEGIN {printf "%.2f", b - a}')
{
    printf '<?xml version="1.0" encoding="UTF-8"?><manifest><filelist>'
    while read -r sum name; do
        printf '<file filename="data\\%s" filesize="524288" fileversion="1" md5="%s" fileload="http://127.0.0.1:%s/files/%s"/>' \
            "$name" "$sum" "$port" "$name"
    done < "$work/sums.txt"
    printf '</filelist></manifest>'
} > "$work/site/update/update.xml"
cat > "$work/startup_run.sh" <<'RUN'
#!/usr/bin/env bash
# One run of the real program; prints "seconds-to-window seconds-to-platform".
work=$1
rm -f "$work/inst2/Update/update.log"
t0=$(date +%s.%N)
(cd "$work/inst2" && wine updater.exe)
log="$work/inst2/Update/update.log"
shown=$(python3 "$work/logtime.py" "$log" "window: shown")
started=$(python3 "$work/logtime.py" "$log" "platform: started")
awk -v a="$t0" -v s="$shown" -v p="$started" 'BEGIN {printf "%.2f %.2f\n", s - a, p - a}'
wineserver -k 2>/dev/null || true
RUN
startup() {
    if [ -n "${DISPLAY:-}" ]; then bash "$work/startup_run.sh" "$work"; else
        xvfb-run -a -s "-screen 0 1024x768x24" bash "$work/startup_run.sh" "$work"; fi
}
startup >/dev/null   # the first run fills the file cache, as md5sum's did not need to
full=$(startup)
printf '<?xml version="1.0"?><manifest><filelist></filelist></manifest>' > "$work/site/update/update.xml"
empty=$(startup)
printf '\nStart-up, %d files (%d MiB), nothing to update      to window   to platform\n' "$startup_files" $((startup_files / 2))
printf '%-44s %10s %12s\n' "updater.exe, every file digested" $full
printf '%-44s %10s %12s\n' "updater.exe, empty manifest" $empty
printf '%-44s %10s\n' "md5sum of the same files (native)" "$md5sum_s"
