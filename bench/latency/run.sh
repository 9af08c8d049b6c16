#!/usr/bin/env bash
# Distance benchmark: an update site as far away as a player's, nginx on
# 127.0.0.1 behind relay.py, which delays every byte by half the round trip
# each way (and a new connection by its handshake), with no bandwidth limit.
#  - A release of BENCH_FILES (2000) new files of 1-4 KiB in 20 folders,
#    published with the native publisher, at round trips of 0, 20 and 50 ms:
#    curl on one connection (every URL in one invocation, one after another),
#    curl --parallel --parallel-max 8 on the same URLs, and the real
#    updater.exe under Wine in a scratch installation (its run log, first line
#    to last; and its transfers alone, from the window shown to "all file(s)
#    received"), with its peak memory (VmHWM). Requests and connections are
#    counted in nginx's access log.
#  - A 64 MiB file with 16 scattered 64 KiB regions rewritten, patched by
#    updater.exe from the installed old copy at 0 and 50 ms: seconds, requests
#    and bytes (chunk index and ranges; the manifest left out).
# BENCH_RUNS rounds (default 1), medians.
# Usage: bench/latency/run.sh [--quick] [BUILD_DIR]      (default build/win)
#   --quick: 200 files, 50 ms only (for iteration)
#   BENCH_FILES, BENCH_RTTS="0 20 50", BENCH_PATCH_RTTS="0 50", BENCH_PORT
set -euo pipefail
quick=
if [ "${1:-}" = --quick ]; then quick=1; shift; fi
# The updater's window needs a display: the whole bench runs inside one.
if [ -z "${DISPLAY:-}" ]; then exec xvfb-run -a -s "-screen 0 1024x768x24" bash "$0" ${quick:+--quick} "$@"; fi
root=$(cd "$(dirname "$0")/../.." && pwd)
build=${1:-$root/build/win}
bin="$build/bin"
native="$root/build/native"
publisher="$native/tools/publisher/updater-publish"
files=${BENCH_FILES:-2000} rtts=${BENCH_RTTS:-"0 20 50"} patch_rtts=${BENCH_PATCH_RTTS:-"0 50"}
if [ -n "$quick" ]; then files=${BENCH_FILES:-200} rtts=${BENCH_RTTS:-50} patch_rtts=${BENCH_PATCH_RTTS:-50}; fi
runs=${BENCH_RUNS:-1}
port=${BENCH_PORT:-18451}
relay_port=$((port + 1))

[ -f "$build/CMakeCache.txt" ] && [ -f "$native/CMakeCache.txt" ] || "$root/scripts/build.sh" >/dev/null
cmake --build "$build" --target updater Quorvanta -j2 >/dev/null
cmake --build "$native" --target updater-publish -j2 >/dev/null

work=$(mktemp -d /tmp/bench-latency.XXXXXX)
chmod 755 "$work"   # nginx's workers read the site as an unprivileged user
nginx_pid= relay_pid=
stop() { [ -z "$1" ] || { kill "$1" 2>/dev/null || true; wait "$1" 2>/dev/null || true; }; }
cleanup() { stop "$relay_pid"; stop "$nginx_pid"; WINEPREFIX="$work/wineprefix" wineserver -k 2>/dev/null || true; rm -rf "$work"; }
trap cleanup EXIT
export WINEPREFIX="$work/wineprefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" LC_ALL=zh_CN.UTF-8
"$root/scripts/wine-prefix.sh"
wineserver -k 2>/dev/null || true

# The releases: small files in 20 folders (so that the installation does not
# pay Wine's cost of many names in one folder), and the old and new big file.
cat > "$work/release.py" <<'PY'
import os, random, sys
folder, count, data = sys.argv[1], int(sys.argv[2]), sys.argv[3]
r = random.Random(count)
for i in range(count):
    d = os.path.join(folder, 'data', 'd%02d' % (i % 20))
    os.makedirs(d, exist_ok=True)
    open(os.path.join(d, 'f%04d.bin' % i), 'wb').write(os.urandom(r.randint(1024, 4096)))
size = 64 << 20
old = os.urandom(size)
open(os.path.join(data, 'old.bin'), 'wb').write(old)
new = bytearray(old)
step = size // 16
for i in range(16):
    at = i * step + r.randrange(0, step - 65536)
    new[at:at + 65536] = os.urandom(65536)
os.makedirs(os.path.join(data, 'patch'), exist_ok=True)
open(os.path.join(data, 'patch', 'big.bin'), 'wb').write(new)
PY
mkdir -p "$work/rel" "$work/data" "$work/www"
python3 "$work/release.py" "$work/rel" "$files" "$work/data"
"$publisher" --quiet "$work/rel" "127.0.0.1:$relay_port/small" "$work/www/small" >/dev/null
"$publisher" --quiet "$work/data/patch" "127.0.0.1:$relay_port/patch" "$work/www/patch" >/dev/null
chmod -R a+rX "$work/www"
# Every URL the manifest lists, as curl's configuration.
grep -o 'fileload="[^"]*"' "$work/www/small/update/update.xml" | sed 's/^fileload=/url = /; s/$/\noutput = "\/dev\/null"/' > "$work/urls.cfg"
[ "$(grep -c '^url' "$work/urls.cfg")" = "$files" ] || { echo "bench: the manifest does not list $files files" >&2; exit 1; }

"$root/scripts/serve-static.sh" "$work/www" "$port" "$work/nginx" 7200 &
nginx_pid=$!
access="$work/nginx/access.log"
for _ in $(seq 50); do curl -fsI "http://127.0.0.1:$port/small/update/update.xml" >/dev/null 2>&1 && break; sleep 0.1; done

# The log's time of its first line, its last, or the first line with a text,
# in seconds since 1970 (the log has local time).
cat > "$work/logtime.py" <<'PY'
import sys, time, datetime
log, which = sys.argv[1], sys.argv[2]
lines = [raw.decode('gbk', 'replace') for raw in open(log, 'rb') if raw[:2] == b'20']
pick = {'first': lines[:1], 'last': lines[-1:]}.get(which) or [l for l in lines if which in l][:1]
if not pick: sys.exit('no line with "%s" in %s' % (which, log))
t = datetime.datetime.strptime(pick[0][:23], '%Y-%m-%d %H:%M:%S.%f')
print('%.3f' % (time.mktime(t.timetuple()) + t.microsecond / 1e6))
PY
now() { date +%s.%N; }
span() { awk -v a="$1" -v b="$2" 'BEGIN {printf "%.2f", b - a}'; }
lines() { [ -f "$1" ] && wc -l < "$1" || echo 0; }
# "requests connections bytes" of the access log's lines after line FROM whose path matches REGEX.
served() {
    tail -n +$(($1 + 1)) "$access" | awk -F'"' -v re="$2" '{
        split($2, r, " "); split($3, s, " ")
        if (r[2] ~ re) { n++; b += s[2]; if (match($0, /connection=[0-9]+/)) c[substr($0, RSTART, RLENGTH)] = 1 }
    } END { k = 0; for (x in c) k++; printf "%d %d %.0f\n", n, k, b }'
}
start_relay() {  # start_relay RTT_MS
    python3 "$root/bench/latency/relay.py" "$relay_port" "$port" "$(awk -v r="$1" 'BEGIN {print r / 2}')" 7200 &
    relay_pid=$!
    for _ in $(seq 50); do curl -fsI "http://127.0.0.1:$relay_port/small/update/update.xml" >/dev/null 2>&1 && break; sleep 0.1; done
}

# One run of updater.exe in DIR to its end. Sets run_total (first log line to
# last), run_fetch (window shown to all received) and run_peak (KiB).
run_updater() {  # run_updater DIR NAME
    local dir=$1 log="$work/$2.log" w
    rm -f "$dir/Update/update.log" "$dir/Update/update.log.1"
    run_peak=0
    (cd "$dir" && exec timeout 900 wine updater.exe) >/dev/null 2>&1 &
    w=$!
    while kill -0 "$w" 2>/dev/null; do   # the updater is timeout's child
        v=$(awk '/VmHWM/ {print $2}' "/proc/$(pgrep -P "$w" -n || echo none)/status" 2>/dev/null || echo 0)
        [ "${v:-0}" -gt "$run_peak" ] && run_peak=$v
        sleep 0.2
    done
    wait "$w" 2>/dev/null || true
    wineserver -k 2>/dev/null || true   # the platform stand-in it started
    cat "$dir/Update/update.log.1" "$dir/Update/update.log" > "$log" 2>/dev/null || true
    grep -aq "outcome: finished" "$log" || { echo "bench: $2 did not finish:" >&2; tail -5 "$log" >&2; }
    run_total=$(span "$(python3 "$work/logtime.py" "$log" first)" "$(python3 "$work/logtime.py" "$log" last)")
    run_fetch=$(span "$(python3 "$work/logtime.py" "$log" "window: shown")" "$(python3 "$work/logtime.py" "$log" "file(s) received")")
}
install_for() {  # install_for DIR SITE_PATH
    rm -rf "$1" && mkdir -p "$1"
    cp "$bin/updater.exe" "$bin/Quorvanta.exe" "$1/"
    printf '[Download]\r\nsite=127.0.0.1:%s/%s\r\n' "$relay_port" "$2" > "$1/updater.INI"
}
# A curl run over all URLs; prints "seconds requests-with-200 connections".
curl_run() {
    local t0 t1 out
    t0=$(now)
    out=$(curl -s "$@" -K "$work/urls.cfg" -w '%{http_code} %{num_connects}\n' 2>/dev/null || true)
    t1=$(now)
    echo "$(span "$t0" "$t1") $(echo "$out" | awk '$1 == 200 {n++} {c += $2} END {printf "%d %d", n, c}')"
}

results="$work/results"
: > "$results"
put() { echo "$*" >> "$results"; }
for round in $(seq "$runs"); do
    for rtt in $rtts; do
        start_relay "$rtt"
        read -r s ok conns < <(curl_run)
        [ "$ok" = "$files" ] || echo "bench: curl, one connection, got $ok of $files files" >&2
        put one "$rtt" "$s" "$conns"
        read -r s ok conns < <(curl_run --parallel --parallel-max 8)
        [ "$ok" = "$files" ] || echo "bench: curl --parallel got $ok of $files files" >&2
        put parallel "$rtt" "$s" "$conns"
        install_for "$work/inst" small
        from=$(lines "$access")
        run_updater "$work/inst" "small-$rtt-$round"
        diff -rq "$work/rel/data" "$work/inst/data" >/dev/null || echo "bench: updater.exe at $rtt ms: the files differ from the release" >&2
        read -r reqs conns _ < <(served "$from" "^/small/files/")
        put updater "$rtt" "$run_total" "$conns"
        put fetch "$rtt" "$run_fetch" "$reqs"
        put peak "$rtt" "$run_peak"
        stop "$relay_pid"; relay_pid=
    done
    for rtt in $patch_rtts; do
        start_relay "$rtt"
        install_for "$work/inst-patch" patch
        cp "$work/data/old.bin" "$work/inst-patch/big.bin"
        from=$(lines "$access")
        run_updater "$work/inst-patch" "patch-$rtt-$round"
        cmp -s "$work/inst-patch/big.bin" "$work/data/patch/big.bin" || echo "bench: patch at $rtt ms: big.bin is not the new file" >&2
        grep -aq "download big.bin: patched:" "$work/patch-$rtt-$round.log" || echo "bench: patch at $rtt ms: not patched" >&2
        read -r reqs conns bytes < <(served "$from" "^/patch/(files|chunks)/")
        put patch_total "$rtt" "$run_total"
        put patch_fetch "$rtt" "$run_fetch"
        put patch_requests "$rtt" "$reqs"
        put patch_bytes "$rtt" "$bytes"
        stop "$relay_pid"; relay_pid=
    done
done
logs="$root/build/bench-latency"   # the run logs, for a look afterwards
rm -rf "$logs" && mkdir -p "$logs" && cp "$work"/*.log "$logs/" 2>/dev/null || true

median() { sort -g | awk '{a[NR]=$1} END {if (NR) print a[int((NR+1)/2)]; else print "-"}'; }
value() { awk -v k="$1" -v r="$2" -v f="${3:-3}" '$1 == k && $2 == r {print $f}' "$results" | median; }
row() {  # row LABEL KEY FIELD RTTS...
    local label=$1 key=$2 field=$3
    shift 3
    printf '%-52s' "$label"
    for r in "$@"; do printf ' %10s' "$(value "$key" "$r" "$field")"; done
    printf '\n'
}
header() { printf '\n%-52s' "$1"; shift; for r in "$@"; do printf ' %10s' "${r} ms"; done; printf '\n'; }
kib=$(du -sk --apparent-size "$work/rel/data" | cut -f1)
header "$files new files ($kib KiB), seconds; round trip:" $rtts
row "curl, one connection, one after another" one 3 $rtts
row "curl --parallel --parallel-max 8" parallel 3 $rtts
row "updater.exe, run log first line to last" updater 3 $rtts
row "updater.exe, window shown to all received" fetch 3 $rtts
row "connections: curl one" one 4 $rtts
row "connections: curl --parallel" parallel 4 $rtts
row "connections: updater.exe (nginx's log)" updater 4 $rtts
row "requests: updater.exe (nginx's log, files only)" fetch 4 $rtts
row "updater.exe peak memory (VmHWM), KiB" peak 3 $rtts
printf '%-52s' "updater.exe / curl --parallel 8 (goal: <= 1.25)"
for r in $rtts; do
    printf ' %10s' "$(awk -v u="$(value updater "$r")" -v p="$(value parallel "$r")" 'BEGIN {printf "%.2f", u / p}')"
done
printf '\n'
header "64 MiB, 16 x 64 KiB rewritten, patched; round trip:" $patch_rtts
row "updater.exe, run log first line to last, s" patch_total 3 $patch_rtts
row "updater.exe, window shown to all received, s" patch_fetch 3 $patch_rtts
row "requests (chunk index and ranges)" patch_requests 3 $patch_rtts
row "bytes" patch_bytes 3 $patch_rtts
set -- $patch_rtts
if [ $# -ge 2 ] && [ "$1" = 0 ]; then
    last=${!#}
    awk -v a="$(value patch_fetch 0)" -v b="$(value patch_fetch "$last")" -v r="$last" 'BEGIN {
        printf "patch at %s ms minus at 0 ms: %.2f s = %.1f round trips (goal: at most 4)\n", r, b - a, (b - a) * 1000 / r }'
fi
