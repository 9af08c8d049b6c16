#!/usr/bin/env bash
# Installation benchmark: the real updater.exe under Wine installs N new small
# files into one folder of the installation (300 and 6000 by default), served by
# nginx on 127.0.0.1. The time is the installation alone, read from the run log:
# from "install: N file(s)" to "install: N file(s) in place" (the platform is
# stopped and the close box disabled all that time). BENCH_RUNS rounds (default
# 3), medians; a second table replaces the same files (each one kept aside).
# Usage: bench/install/run.sh [BUILD_DIR]   (default build/win)
set -euo pipefail
# Windows need a display: the whole bench runs inside one virtual display.
if [ -z "${DISPLAY:-}" ]; then exec xvfb-run -a -s "-screen 0 1024x768x24" bash "$0" "$@"; fi
root=$(cd "$(dirname "$0")/../.." && pwd)
build=${1:-$root/build/win}
bin="$build/bin"
[ -x "$bin/updater.exe" ] || cmake --build "$build" --target updater Quorvanta -j2 >/dev/null
runs=${BENCH_RUNS:-3}
counts=${BENCH_COUNTS:-"300 6000"}
port=${BENCH_PORT:-18441}
work=$(mktemp -d /tmp/bench-install.XXXXXX)
chmod 755 "$work"
mkdir -p "$work/site/update" "$work/site/files"
"$root/scripts/serve-static.sh" "$work/site" "$port" "$work/nginx" 3600 &
nginx_pid=$!
cleanup() { kill $nginx_pid 2>/dev/null || true; WINEPREFIX="$work/wineprefix" wineserver -k 2>/dev/null || true; rm -rf "$work"; }
trap cleanup EXIT
export WINEPREFIX="$work/wineprefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" LC_ALL=zh_CN.UTF-8
"$root/scripts/wine-prefix.sh"
wineserver -k 2>/dev/null || true

cat > "$work/install_time.py" <<'PY'
# Seconds from the installation's first line to its last, from the run log
# (and the part of it already renamed to update.log.1: a big run fills it).
import os, sys, datetime
start = end = None
lines = []
for path in (sys.argv[1] + '.1', sys.argv[1]):
    if os.path.exists(path): lines += open(path, 'rb').readlines()
for raw in lines:
    line = raw.decode('gbk', 'replace')
    t = datetime.datetime.strptime(line[:23], '%Y-%m-%d %H:%M:%S.%f')
    if 'install: ' in line and 'file(s)' in line:
        if line.rstrip().endswith('in place'): end = t
        else: start = t
if start is None or end is None: sys.exit('no complete installation in the log')
print('%.2f' % (end - start).total_seconds())
PY
# Files of 100 to 400 bytes, each different, and a manifest listing them in one folder.
make_release() {  # make_release N
    rm -rf "$work/site/files/many" && mkdir -p "$work/site/files/many"
    python3 - "$work/site/files/many" "$1" <<'PY'
import os, sys, hashlib
folder, n = sys.argv[1], int(sys.argv[2])
for i in range(n):
    data = hashlib.sha256(str(i).encode()).hexdigest().encode() * (3 + i % 10)
    open(os.path.join(folder, 'f%05d.dat' % i), 'wb').write(data)
PY
    {
        printf '<?xml version="1.0"?><manifest><filelist>'
        (cd "$work/site/files/many" && md5sum f*.dat) | while read -r sum name; do
            printf '<file filename="many\\%s" filesize="%d" fileversion="1" md5="%s" fileload="http://127.0.0.1:%s/files/many/%s"/>' \
                "$name" "$(stat -c %s "$work/site/files/many/$name")" "$sum" "$port" "$name"
        done
        printf '</filelist></manifest>'
    } > "$work/site/update/update.xml"
}
one_run() {  # one_run N new|replace: prints the installation's seconds
    rm -rf "$work/inst" && mkdir -p "$work/inst/many"
    cp "$bin/updater.exe" "$bin/Quorvanta.exe" "$work/inst/"
    printf '[Download]\r\nsite=127.0.0.1:%s\r\n' "$port" > "$work/inst/updater.INI"
    if [ "$2" = replace ]; then
        for f in "$work/site/files/many"/*.dat; do printf 'old' > "$work/inst/many/${f##*/}"; done
    fi
    (cd "$work/inst" && wine updater.exe) >/dev/null 2>&1
    wineserver -k 2>/dev/null || true   # the stand-in the run started
    cmp -s "$work/inst/many/f00000.dat" "$work/site/files/many/f00000.dat" || { echo "not installed" >&2; exit 1; }
    python3 "$work/install_time.py" "$work/inst/Update/update.log"
}
median() { sort -n | awk '{a[NR]=$1} END {print a[int((NR+1)/2)]}'; }
for _ in $(seq 50); do curl -fsI "http://127.0.0.1:$port/update/update.xml" >/dev/null 2>&1 && break; sleep 0.1; done

printf '%-36s' "installation time, seconds"; printf ' %7s' $(seq -f 'run%g' "$runs") median; printf '\n'
for n in $counts; do
    make_release "$n"
    for kind in new replace; do
        times=()
        for _ in $(seq "$runs"); do
            times+=("$(one_run "$n" $kind)")
        done
        printf '%-36s' "$n files, $kind"; printf ' %7s' "${times[@]}"; printf ' %7s\n' "$(printf '%s\n' "${times[@]}" | median)"
    done
done
