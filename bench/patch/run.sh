#!/usr/bin/env bash
# Patch benchmark: what the real updater.exe (under Wine) fetches when a big
# file changed a little, beside Debian's zsync (zsyncmake + zsync -i old) and
# casync (casync make + casync extract --seed=old) on the same pair of files
# over the same nginx on 127.0.0.1, once at full speed and once limited to
# 20 MB/s per connection. Bytes and requests are counted from nginx's access
# log (index or control file included; the updater's manifest is left out, as
# a full download needs it too). Seconds: zsync and casync from start to
# exit; the updater from its window shown to "all file(s) received" in its run
# log (the fetch, with the local chunking, copying and verifying), and its
# whole run (Wine start, manifest pass, installation) in the last column.
#
# Cases, on random files: 16 scattered 64 KiB regions rewritten; 1 KiB
# inserted near the start; the whole file (nothing installed); a download
# killed at about half way, then run again; a run that fails at installation
# (another program holds a file of the release open without sharing), then
# run again. The last two are the updater's alone, and like the limited rate
# they run only for the sizes in BENCH_RATED_MIB (the bigger files would take
# long and measure nothing new). 4 GiB: bench/patch/simulate.sh, natively.
# The goals of each row are printed beside it.
#
#   bench/patch/run.sh [BUILD_DIR]      (default build/win)
#   BENCH_MIB="64 256 1024"  file sizes in MiB (BENCH_QUICK=1: 64 only)
#   BENCH_RATED_MIB="64 256" sizes also run at the limited rate, killed and failed
#   BENCH_RATE=20000000      the limited rate in bytes per second
# zsync and casync are installed with apt-get when missing (as root);
# without them their rows say n/a.
set -euo pipefail
# The updater's window needs a display: the whole bench runs inside one.
if [ -z "${DISPLAY:-}" ]; then exec xvfb-run -a -s "-screen 0 1024x768x24" bash "$0" "$@"; fi
root=$(cd "$(dirname "$0")/../.." && pwd)
build=${1:-$root/build/win}
bin="$build/bin"
publisher="$root/build/native/tools/publisher/updater-publish"
sizes=${BENCH_MIB:-"64 256 1024"}
[ -z "${BENCH_QUICK:-}" ] || sizes=${BENCH_MIB:-64}
rated=" ${BENCH_RATED_MIB:-64 256} "
rate=${BENCH_RATE:-20000000}
port=${BENCH_PORT:-18447}

cmake --build "$build" --target updater Quorvanta dismissbox bench_holdfile -j2 >/dev/null
[ -x "$publisher" ] || cmake --build "$root/build/native" --target updater-publish -j2 >/dev/null
if ! command -v zsync >/dev/null || ! command -v casync >/dev/null; then
    if [ "$(id -u)" -eq 0 ]; then
        DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends zsync casync >/dev/null 2>&1 ||
            echo "bench: zsync and casync could not be installed; their rows say n/a" >&2
    fi
fi
have_zsync=$(command -v zsync >/dev/null && command -v zsyncmake >/dev/null && echo 1 || true)
have_casync=$(command -v casync >/dev/null && echo 1 || true)

work=$(mktemp -d /tmp/bench-patch.XXXXXX)
chmod 755 "$work"   # nginx's workers read the site as an unprivileged user
nginx_pid=
stop_nginx() {
    [ -z "$nginx_pid" ] || { kill "$nginx_pid" 2>/dev/null || true; wait "$nginx_pid" 2>/dev/null || true; }
    nginx_pid=
}
cleanup() { stop_nginx; WINEPREFIX="$work/wineprefix" wineserver -k 2>/dev/null || true; rm -rf "$work"; }
trap cleanup EXIT
export WINEPREFIX="$work/wineprefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" LC_ALL=zh_CN.UTF-8
"$root/scripts/wine-prefix.sh"
wineserver -k 2>/dev/null || true

# When a line of the run log was written, in seconds since 1970 (first match, or last with "last").
cat > "$work/logtime.py" <<'PY'
import sys, time, datetime
log, pattern = sys.argv[1], sys.argv[2]
found = None
for raw in open(log, 'rb'):
    line = raw.decode('gbk', 'replace')
    if pattern in line:
        t = datetime.datetime.strptime(line[:23], '%Y-%m-%d %H:%M:%S.%f')
        found = time.mktime(t.timetuple()) + t.microsecond / 1e6
        if len(sys.argv) < 4: break
if found is None: sys.exit('no line with "%s" in %s' % (pattern, log))
print('%.3f' % found)
PY
# The pairs: an old file of random bytes, 16 scattered 64 KiB regions of it
# rewritten, and 1 KiB inserted 100 KiB from its start.
cat > "$work/pairs.py" <<'PY'
import os, random, sys
folder, size = sys.argv[1], int(sys.argv[2]) << 20
r = random.Random(size)
old = os.urandom(size)
open(os.path.join(folder, 'old.bin'), 'wb').write(old)
new = bytearray(old)
step = size // 16
for i in range(16):
    at = i * step + r.randrange(0, step - 65536)
    new[at:at + 65536] = os.urandom(65536)
open(os.path.join(folder, 'scattered.bin'), 'wb').write(new)
at = 100 * 1024
with open(os.path.join(folder, 'inserted.bin'), 'wb') as f:
    f.write(memoryview(old)[:at]); f.write(os.urandom(1024)); f.write(memoryview(old)[at:])
PY

# served LOG FROM REGEX: "bytes requests" of the log's lines after line FROM
# whose path matches REGEX.
served() {
    tail -n +$(($2 + 1)) "$1" | awk -F'"' -v re="$3" '{
        split($2, r, " "); split($3, s, " ")
        if (r[2] ~ re) { n++; b += s[2] }
    } END { printf "%.0f %d\n", b, n }'
}
lines() { [ -f "$1" ] && wc -l < "$1" || echo 0; }
now() { date +%s.%N; }
since() { awk -v a="$1" -v b="$(now)" 'BEGIN {printf "%.2f", b - a}'; }
log_span() {  # log_span LOG: seconds from the window shown to all files received
    local a b
    a=$(python3 "$work/logtime.py" "$1" "window: shown") && b=$(python3 "$work/logtime.py" "$1" "file(s) received" last) &&
        awk -v a="$a" -v b="$b" 'BEGIN {printf "%.2f", b - a}' || echo "?"
}

# An installation of the updater for a site, holding the given old files.
install_for() {  # install_for DIR SITE_PATH [FILE SOURCE]...
    local dir=$1 site=$2
    shift 2
    rm -rf "$dir" && mkdir -p "$dir"
    cp "$bin/updater.exe" "$bin/Quorvanta.exe" "$dir/"
    printf '[Download]\r\nsite=127.0.0.1:%s/%s\r\n' "$port" "$site" > "$dir/updater.INI"
    while [ $# -gt 0 ]; do cp "$2" "$dir/$1"; shift 2; done
}
# One run of updater.exe in DIR to its end; its seconds in $run_s, its run log
# kept as build/bench-patch/NAME.log. The platform stand-in it starts at the
# end is ended with the prefix's processes.
logs="$root/build/bench-patch"
rm -rf "$logs" && mkdir -p "$logs"
run_updater() {  # run_updater DIR NAME
    rm -f "$1/Update/update.log"
    local t0
    t0=$(now)
    (cd "$1" && exec timeout 300 wine updater.exe) >/dev/null 2>&1 || true
    run_s=$(since "$t0")
    wineserver -k 2>/dev/null || true
    iconv -f GBK -t UTF-8 "$1/Update/update.log" > "$logs/$2.log" 2>/dev/null || true
}

rows=()
row() {  # row SIZE RATE CASE TOOL BYTES REQUESTS SECONDS RUN_SECONDS GOAL
    rows+=("$(printf '%-4s|%-9s|%-21s|%-8s|%12s|%5s|%7s|%6s|%s' "$@")")
}

for mib in $sizes; do
    data="$work/data/$mib"
    mkdir -p "$data"
    python3 "$work/pairs.py" "$data" "$mib"
    www="$work/www/$mib"
    # The updater's sites, made by the publisher: one per case.
    for c in scattered inserted; do
        mkdir -p "$work/rel/$mib/$c"
        cp "$data/$c.bin" "$work/rel/$mib/$c/big.bin"
        "$publisher" --quiet "$work/rel/$mib/$c" "127.0.0.1:$port/$mib/$c" "$www/$c" >/dev/null
    done
    if [[ "$rated" == *" $mib "* ]]; then
        mkdir -p "$work/rel/$mib/failed"
        cp "$data/scattered.bin" "$work/rel/$mib/failed/big.bin"
        printf 'settings of the new release\n' > "$work/rel/$mib/failed/settings.cfg"
        "$publisher" --quiet "$work/rel/$mib/failed" "127.0.0.1:$port/$mib/failed" "$www/failed" >/dev/null
        printf 'settings of the old release\n' > "$data/settings.cfg"
    fi
    # The peers' sites, from the same files.
    for c in scattered inserted; do
        if [ -n "$have_zsync" ]; then
            mkdir -p "$www/zsync/$c"
            cp "$data/$c.bin" "$www/zsync/$c/big.bin"
            (cd "$www/zsync/$c" && zsyncmake -u big.bin -o big.bin.zsync big.bin >/dev/null)
        fi
        if [ -n "$have_casync" ]; then
            mkdir -p "$www/casync"
            casync make --store="$www/casync/default.castr" "$www/casync/$c.caibx" "$data/$c.bin" >/dev/null
        fi
    done
    chmod -R a+rX "$work/www"

    limits=("")
    [[ "$rated" != *" $mib "* ]] || limits+=("$rate")
    for limit in "${limits[@]}"; do
        label=unlimited
        [ -z "$limit" ] || label=$(awk -v r="$limit" 'BEGIN {printf "%g MB/s", r / 1e6}')
        state="$work/nginx-$mib-${limit:-unlimited}"
        "$root/scripts/serve-static.sh" "$work/www" "$port" "$state" 3600 "$limit" &
        nginx_pid=$!
        for _ in $(seq 50); do curl -fsI "http://127.0.0.1:$port/$mib/scattered/update/update.xml" >/dev/null 2>&1 && break; sleep 0.1; done
        access="$state/access.log"
        url="http://127.0.0.1:$port/$mib"

        # The whole file: nothing installed.
        inst="$work/inst"
        install_for "$inst" "$mib/scattered"
        from=$(lines "$access")
        run_updater "$inst" "$mib-${limit:-unlimited}-whole"
        cmp -s "$inst/big.bin" "$data/scattered.bin" || echo "bench: full download: big.bin is not the new file" >&2
        read -r bytes requests < <(served "$access" "$from" "^/$mib/scattered/(files|chunks)/")
        full_s=$(log_span "$inst/Update/update.log")
        row "$mib" "$label" "whole file" updater "$bytes" "$requests" "$full_s" "$run_s" ""

        for c in scattered inserted; do
            install_for "$inst" "$mib/$c" big.bin "$data/old.bin"
            from=$(lines "$access")
            run_updater "$inst" "$mib-${limit:-unlimited}-$c"
            cmp -s "$inst/big.bin" "$data/$c.bin" || echo "bench: $c: big.bin is not the new file" >&2
            grep -aq "download big.bin: patched:" "$inst/Update/update.log" || echo "bench: $c: the updater did not patch" >&2
            read -r bytes requests < <(served "$access" "$from" "^/$mib/$c/(files|chunks)/")
            upd_bytes=$bytes upd_s=$(log_span "$inst/Update/update.log") upd_req=$requests upd_run=$run_s
            z_bytes=-1 c_bytes=-1
            if [ -n "$have_zsync" ]; then
                rm -rf "$work/out" && mkdir -p "$work/out"
                from=$(lines "$access")
                t0=$(now)
                (cd "$work/out" && zsync -q -i "$data/old.bin" -o big.bin "$url/zsync/$c/big.bin.zsync" >/dev/null)
                z_s=$(since "$t0")
                cmp -s "$work/out/big.bin" "$data/$c.bin" || echo "bench: zsync $c: wrong bytes" >&2
                read -r z_bytes z_req < <(served "$access" "$from" "^/$mib/zsync/")
                row "$mib" "$label" "$c" zsync "$z_bytes" "$z_req" "$z_s" "" ""
            fi
            if [ -n "$have_casync" ]; then
                rm -rf "$work/out" && mkdir -p "$work/out"
                from=$(lines "$access")
                t0=$(now)
                casync extract --store="$url/casync/default.castr" --seed="$data/old.bin" "$url/casync/$c.caibx" "$work/out/big.bin" >/dev/null
                c_s=$(since "$t0")
                cmp -s "$work/out/big.bin" "$data/$c.bin" || echo "bench: casync $c: wrong bytes" >&2
                read -r c_bytes c_req < <(served "$access" "$from" "^/$mib/casync/")
                row "$mib" "$label" "$c" casync "$c_bytes" "$c_req" "$c_s" "" ""
            fi
            # The goals beside the figures.
            if [ "$c" = scattered ]; then
                goal=$(awk -v u="$upd_bytes" -v z="$z_bytes" -v k="$c_bytes" 'BEGIN {
                    if (z < 0 || k < 0) { print "needs zsync and casync"; exit }
                    lim = (k < 1.25 * z) ? k : 1.25 * z
                    printf "<= casync, <= 1.25 x zsync = %.3f MB: %s", lim / 1e6, (u <= lim) ? "met" : "NOT met" }')
            else
                goal=$(awk -v u="$upd_bytes" -v z="$z_bytes" -v k="$c_bytes" -v mib="$mib" 'BEGIN {
                    printf "<= 100 KB: %s", (u <= 100000) ? "met" : "NOT met"
                    if (z < 0 || k < 0) { print "; the peers need zsync and casync"; exit }
                    lim = (k < z) ? k : z
                    if (mib >= 256) printf "; <= half the smaller peer = %.3f MB: %s\n", lim / 2e6, (u <= lim / 2) ? "met" : "NOT met"
                    else printf "; <= the smaller peer = %.3f MB: %s\n", lim / 1e6, (u <= lim) ? "met" : "NOT met" }')
            fi
            if [ "$mib" -eq 256 ] && [ -n "$limit" ]; then
                goal="$goal; $(awk -v u="$upd_s" -v f="$full_s" 'BEGIN {
                    printf "<= whole/10 = %.2f s: %s", f / 10, (u + 0 <= f / 10) ? "met" : "NOT met" }')"
            fi
            row "$mib" "$label" "$c" updater "$upd_bytes" "$upd_req" "$upd_s" "$upd_run" "$goal"
        done

        if [[ "$rated" != *" $mib "* ]]; then stop_nginx; continue; fi
        # Killed at about half way, then run again: the second run's figures.
        install_for "$inst" "$mib/scattered"
        half=$((mib * 1024 * 1024 / 2))
        (cd "$inst" && exec timeout 300 wine updater.exe) >/dev/null 2>&1 &
        upd=$!
        while kill -0 "$upd" 2>/dev/null; do
            [ "$(stat -c %s "$inst/Update/big.bin.dtm" 2>/dev/null || echo 0)" -ge "$half" ] && break
            sleep 0.02
        done
        kill -KILL "$upd" 2>/dev/null || true
        wait "$upd" 2>/dev/null || true
        wineserver -k 2>/dev/null || true
        iconv -f GBK -t UTF-8 "$inst/Update/update.log" > "$logs/$mib-${limit:-unlimited}-killed.log" 2>/dev/null || true
        kept=$(stat -c %s "$inst/Update/big.bin.dtm" 2>/dev/null || echo 0)
        missing=$((mib * 1024 * 1024 - kept))
        from=$(lines "$access")
        run_updater "$inst" "$mib-${limit:-unlimited}-resumed"
        cmp -s "$inst/big.bin" "$data/scattered.bin" || echo "bench: resumed: big.bin is not the new file" >&2
        read -r bytes requests < <(served "$access" "$from" "^/$mib/scattered/(files|chunks)/")
        goal=$(awk -v u="$bytes" -v m="$missing" 'BEGIN {
            printf "<= missing %.2f MB + 256 KiB = %.2f MB: %s", m / 1e6, (m + 262144) / 1e6, (u <= m + 262144) ? "met" : "NOT met" }')
        row "$mib" "$label" "killed, run again" updater "$bytes" "$requests" "$(log_span "$inst/Update/update.log")" "$run_s" "$goal"

        # A run that fails at installation (settings.cfg held open without
        # sharing; the failure box pressed), then run again.
        install_for "$inst" "$mib/failed" big.bin "$data/old.bin" settings.cfg "$data/settings.cfg"
        (cd "$inst" && exec wine "$bin/bench_holdfile.exe" settings.cfg 600) > "$work/held.txt" 2>&1 &
        holder=$!
        for _ in $(seq 100); do grep -q held "$work/held.txt" && break; sleep 0.1; done
        rm -f "$inst/Update/update.log"
        (cd "$inst" && exec timeout 300 wine updater.exe) >/dev/null 2>&1 &
        upd=$!
        timeout 240 wine "$bin/dismissbox.exe" box 200000 >/dev/null 2>&1 || echo "bench: no failure box in the failed run" >&2
        wait "$upd" 2>/dev/null || true
        grep -aq "install failed" "$inst/Update/update.log" || echo "bench: the first run did not fail at installation" >&2
        iconv -f GBK -t UTF-8 "$inst/Update/update.log" > "$logs/$mib-${limit:-unlimited}-failed.log" 2>/dev/null || true
        kill "$holder" 2>/dev/null || true
        wait "$holder" 2>/dev/null || true
        wineserver -k 2>/dev/null || true
        from=$(lines "$access")
        run_updater "$inst" "$mib-${limit:-unlimited}-after-failed"
        cmp -s "$inst/big.bin" "$data/scattered.bin" || echo "bench: after the failed installation: big.bin is not the new file" >&2
        read -r bytes requests < <(served "$access" "$from" "^/$mib/failed/(files|chunks)/")
        goal=$(awk -v u="$bytes" 'BEGIN { printf "0 bytes of file data: %s", (u == 0) ? "met" : "NOT met" }')
        row "$mib" "$label" "failed install, again" updater "$bytes" "$requests" "$(log_span "$inst/Update/update.log")" "$run_s" "$goal"
        stop_nginx
    done
    rm -rf "$data" "$www" "$work/rel/$mib"
done

printf '\n%-4s|%-9s|%-21s|%-8s|%12s|%5s|%7s|%6s|%s\n' MiB rate case tool "bytes" "reqs" "s" "run s" "goal"
printf '%s\n' "${rows[@]}"
