#!/usr/bin/env bash
# Start-up with nothing to update. Two installations, 2000 files of 512 KiB
# (1000 MiB) and 2000 files of 2 MiB (4000 MiB), that the manifest (from nginx
# on 127.0.0.1) lists as unchanged. Timed: updater.exe under Wine from its
# start to its exit, having started the platform stand-in:
#  - with an empty manifest (the floor: Wine, the window, the platform),
#  - the first run (no digest cache yet) and the runs after it,
# beside md5sum of the same files and the manifest pass's digest step alone
# (bench_launch.exe: the step's own time, no Wine start), as it is today and
# through the digest cache. Warm: the files
# are in the page cache. Cold: the page cache is dropped first (as after a
# reboot), only when /proc/sys/vm/drop_caches may be written. BENCH_RUNS rounds
# (default 3), every path once per round, medians.
# Also timed: a manifest listing the same files under names the pass passes
# over (the list's own cost), so that the list plus the digest step through the
# cache shows what a later run costs before the pass calls the cache.
# Usage: bench/launch/run.sh [BUILD_DIR]   (default build/win)
#   BENCH_BASELINE=/path/to/updater.exe also times another build's first run
#   (for example main's) in the same rounds.
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
build=${1:-$root/build/win}
bin="$build/bin"
cmake --build "$build" --target bench_launch updater Quorvanta -j2 >/dev/null
work=$(mktemp -d /tmp/bench-launch.XXXXXX)
chmod 755 "$work"   # nginx's workers read the site as an unprivileged user
port=${BENCH_PORT:-18434}
runs=${BENCH_RUNS:-3}
count=${BENCH_FILES:-2000}
baseline=${BENCH_BASELINE:-}
mkdir -p "$work/site" "$work/nginx"
"$root/scripts/serve-static.sh" "$work/site" "$port" "$work/nginx" 7200 &
nginx_pid=$!
cleanup() { kill $nginx_pid 2>/dev/null || true; WINEPREFIX="$work/wineprefix" wineserver -k 2>/dev/null || true; rm -rf "$work"; }
trap cleanup EXIT

export WINEPREFIX="$work/wineprefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" LC_ALL=zh_CN.UTF-8
"$root/scripts/wine-prefix.sh"
wineserver -k 2>/dev/null || true

cold=yes
{ sync && echo 3 > /proc/sys/vm/drop_caches; } 2>/dev/null || cold=no

# inst-512k and inst-2m: updater, stand-in, settings, data\f0000..., a site of
# their own (site=127.0.0.1:PORT/<name>), and md5sum's list of the files.
printf '<?xml version="1.0"?><manifest><filelist></filelist></manifest>' > "$work/empty.xml"
for layout in 512k:524288 2m:2097152; do
    name=${layout%%:*} bytes=${layout#*:}
    dir="$work/inst-$name"
    mkdir -p "$dir/data" "$work/site/$name/update"
    cp "$bin/updater.exe" "$bin/Quorvanta.exe" "$dir/"
    printf '[Download]\r\nsite=127.0.0.1:%s/%s\r\n' "$port" "$name" > "$dir/updater.INI"
    if [ -n "$baseline" ]; then cp "$baseline" "$dir/baseline.exe"; cp "$dir/updater.INI" "$dir/baseline.INI"; fi
    head -c $((count * bytes)) /dev/urandom | split -a 4 -d -b "$bytes" - "$dir/data/f"
    (cd "$dir" && md5sum data/f*) > "$work/$name.sums"
    {
        printf '<?xml version="1.0" encoding="UTF-8"?><manifest><filelist>'
        while read -r sum file; do
            printf '<file filename="%s" filesize="%d" fileversion="1" md5="%s" fileload="http://127.0.0.1:%s/files/%s"/>' \
                "${file//\//\\}" "$bytes" "$sum" "$port" "${file##*/}"
        done < "$work/$name.sums"
        printf '</filelist></manifest>'
    } > "$work/$name.full.xml"
    # The same list with names the pass passes over: its cost without a digest step.
    sed 's/filename="/filename="..\\/g' "$work/$name.full.xml" > "$work/$name.list.xml"
done
for _ in $(seq 50); do curl -fsI "http://127.0.0.1:$port/512k/" >/dev/null 2>&1 && break; sleep 0.1; done

cat > "$work/rounds.sh" <<'ROUNDS'
#!/usr/bin/env bash
# Every path once per round; prints "path installation seconds" lines.
set -euo pipefail
work=$1 runs=$2 cold=$3 baseline=$4
bin_launch=$5
elapsed() { awk -v a="$1" -v b="$2" 'BEGIN {printf "%.2f", b - a}'; }
drop() { sync; echo 3 > /proc/sys/vm/drop_caches; }
warm() { cat "$1"/data/* > /dev/null; }
quiet_wine() { wineserver -k 2>/dev/null || true; wineserver -w 2>/dev/null || true; }
manifest() { cp "$work/$2" "$work/site/$1/update/update.xml"; }
# One run of the real program; checks that it queued nothing and started the platform.
updater() {  # updater NAME EXE
    local dir="$work/inst-$1" t0 t1
    rm -f "$dir/Update/update.log"
    quiet_wine
    t0=$(date +%s.%N)
    (cd "$dir" && wine "$2" >/dev/null 2>&1)
    t1=$(date +%s.%N)
    grep -aq "window: shown, 0 file(s) to fetch" "$dir/Update/update.log" &&
        grep -aq "platform: started .*(ok)" "$dir/Update/update.log" ||
        { echo "$2 in inst-$1 did not end as a run with nothing to update:" >&2; cat "$dir/Update/update.log" >&2; exit 1; }
    quiet_wine   # the stand-in it started
    elapsed "$t0" "$t1"
}
md5() {
    local t0 t1
    t0=$(date +%s.%N); (cd "$work/inst-$1" && md5sum --quiet -c "$work/$1.sums"); t1=$(date +%s.%N)
    elapsed "$t0" "$t1"
}
# The digest step alone, in a temporary folder of its own (step NAME [plain]).
step() {
    local out
    quiet_wine
    out=$(wine "$bin_launch" ${2:-} "$(winepath -w "$work/$1.sums")" "$(winepath -w "$work/inst-$1")" \
                "$(winepath -w "$work/inst-$1/Update-bench")" | tr -d '\r')
    quiet_wine
    echo "bench_launch $1: $out (seconds, from the cache, digested, bytes, differing)" >&2
    echo "$out" | awk '{print $1}'
}
# A failing measurement ends the bench (set -e sees a failing assignment).
put() { echo "$1 $2 $3"; }
for round in $(seq "$runs"); do
    for name in 512k 2m; do
        dir="$work/inst-$name"
        warm "$dir"
        v=$(md5 $name); put md5sum_warm $name "$v"
        manifest $name empty.xml
        v=$(updater $name updater.exe); put empty_warm $name "$v"
        manifest $name $name.list.xml
        v=$(updater $name updater.exe); put list_warm $name "$v"
        manifest $name $name.full.xml
        rm -f "$dir/Update/digests.cache"
        v=$(updater $name updater.exe); put first_warm $name "$v"
        [ ! -f "$dir/Update/digests.cache" ] || put cache_written $name 1
        v=$(updater $name updater.exe); put later_warm $name "$v"
        if [ -n "$baseline" ]; then
            rm -f "$dir/Update/digests.cache"
            v=$(updater $name baseline.exe); put baseline_warm $name "$v"
            v=$(updater $name updater.exe); put first_warm $name "$v"   # the cache again, for the runs below
            v=$(updater $name updater.exe); put later_warm $name "$v"
        fi
        # Today's step and the first through the cache, in turn first in a round.
        rm -rf "$dir/Update-bench"
        if [ $((round % 2)) = 1 ]; then v=$(step $name plain); put step_plain $name "$v"; fi
        v=$(step $name); put step_first $name "$v"
        if [ $((round % 2)) = 0 ]; then v=$(step $name plain); put step_plain $name "$v"; fi
        v=$(step $name); put step_warm $name "$v"
        if [ "$cold" = yes ]; then
            drop; v=$(md5 $name); put md5sum_cold $name "$v"
            # Before the runs with other lists: a pass keeps only the entries of
            # the names its manifest lists, so those leave an empty cache.
            drop; v=$(updater $name updater.exe); put later_cold $name "$v"
            manifest $name empty.xml
            drop; v=$(updater $name updater.exe); put empty_cold $name "$v"
            manifest $name $name.list.xml
            drop; v=$(updater $name updater.exe); put list_cold $name "$v"
            manifest $name $name.full.xml
            drop; v=$(step $name); put step_cold $name "$v"
        fi
    done
done
ROUNDS
launch_exe=$(winepath -w "$bin/bench_launch.exe")
rounds() {
    if [ -n "${DISPLAY:-}" ]; then bash "$work/rounds.sh" "$@"; else
        xvfb-run -a -s "-screen 0 1024x768x24" bash "$work/rounds.sh" "$@"; fi
}
# The prefix's first start is slow: one run, not timed.
cp "$work/empty.xml" "$work/site/512k/update/update.xml"
(cd "$work/inst-512k" && xvfb-run -a -s "-screen 0 1024x768x24" wine updater.exe) >/dev/null 2>&1 || true
wineserver -k 2>/dev/null || true
rounds "$work" "$runs" "$cold" "$baseline" "$launch_exe" | tee "$work/results" | sed 's/^/  /'

median() { sort -g | awk '{a[NR]=$1} END {if (NR) print a[int((NR+1)/2)]; else print "-"}'; }
values() { awk -v k="$1" -v n="$2" '$1 == k && $2 == n {print $3}' "$work/results"; }
cell() { local v; v=$(values "$1" "$2" | tr '\n' ' '); printf '%6s (%s)' "$(values "$1" "$2" | median)" "${v% }"; }
row() { printf '%-52s %-28s %-28s\n' "$2" "$(cell "$1" 512k)" "$(cell "$1" 2m)"; }
printf '\nNothing to update, %d files; seconds: median (each round)\n' "$count"
printf '%-52s %-28s %-28s\n' "" "$((count / 2)) MiB, 512 KiB files" "$((count * 2)) MiB, 2 MiB files"
row empty_warm "updater.exe, empty manifest, warm"
[ "$cold" = yes ] && row empty_cold "updater.exe, empty manifest, cold"
row list_warm "updater.exe, the list, every entry passed over, warm"
[ "$cold" = yes ] && row list_cold "updater.exe, the list, every entry passed over, cold"
row first_warm "updater.exe, first run (no digest cache), warm"
[ -n "$baseline" ] && row baseline_warm "baseline updater.exe, warm"
row later_warm "updater.exe, a later run, warm"
[ "$cold" = yes ] && row later_cold "updater.exe, a later run, cold"
row md5sum_warm "md5sum of the same files, warm"
[ "$cold" = yes ] && row md5sum_cold "md5sum of the same files, cold"
row step_plain "digest step alone (bench_launch), as today, warm"
row step_first "digest step alone, first (no cache), warm"
row step_warm "digest step alone, with the cache, warm"
[ "$cold" = yes ] && row step_cold "digest step alone, with the cache, cold"
[ "$cold" = yes ] || echo "cold: not measured (/proc/sys/vm/drop_caches cannot be written here)"
over() { awk -v a="$(values "$1" "$3" | median)" -v b="$(values "$2" "$3" | median)" 'BEGIN {printf "%+.2f", a - b}'; }
printf 'a later run minus the empty manifest, warm: %s s, %s s (goal: at most +0.4)\n' \
    "$(over later_warm empty_warm 512k)" "$(over later_warm empty_warm 2m)"
[ "$cold" = yes ] && printf 'a later run minus the empty manifest, cold: %s s, %s s (goal: at most +0.6)\n' \
    "$(over later_cold empty_cold 512k)" "$(over later_cold empty_cold 2m)"
# Until the pass calls the cache: the list's run plus the digest step through the cache.
sum() { awk -v a="$(values "$1" "$3" | median)" -v b="$(values "$2" "$3" | median)" -v e="$(values "$4" "$3" | median)" \
    'BEGIN {printf "%+.2f", a + b - e}'; }
printf 'the list passed over plus the digest step with the cache, minus the empty manifest, warm: %s s, %s s\n' \
    "$(sum list_warm step_warm 512k empty_warm)" "$(sum list_warm step_warm 2m empty_warm)"
[ "$cold" = yes ] && printf 'the same, cold: %s s, %s s\n' \
    "$(sum list_cold step_cold 512k empty_cold)" "$(sum list_cold step_cold 2m empty_cold)"
[ -n "$baseline" ] && awk -v a="$(values first_warm 512k | median)" -v b="$(values baseline_warm 512k | median)" \
    -v c="$(values first_warm 2m | median)" -v d="$(values baseline_warm 2m | median)" \
    'BEGIN {printf "first run / baseline: %.0f %%, %.0f %% (goal: at most 105 %%)\n", 100 * a / b, 100 * c / d}'
if ! grep -q '^cache_written' "$work/results"; then
    echo "This updater.exe wrote no digest cache: every run reads every file. The digest step's rows show the cache's cost."
fi
