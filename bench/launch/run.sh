#!/usr/bin/env bash
# Start-up with nothing to update. Installations that the manifest (from nginx
# on 127.0.0.1) lists as unchanged:
#   512k: 2000 files of 512 KiB (1000 MiB), in one folder
#   2m:   2000 files of 2 MiB (4000 MiB), in one folder
#   16k:  20 000 files of 16 KiB (312 MiB), in folders of 1000
#   4k:   100 000 files of 4 KiB (390 MiB), in folders of 1000
# Timed: updater.exe under Wine from its start to its exit, having started the
# platform stand-in:
#  - with an empty manifest (the floor: Wine, the window, the platform),
#  - the first run (no digest cache yet) and the runs after it,
# beside md5sum of the same files and the manifest pass's digest step alone
# (bench_launch.exe: the step's own time, no Wine start), as it is without the
# cache and through the digest cache. Warm: the files are in the page cache.
# Cold: the page cache is dropped first (as after a reboot), only when
# /proc/sys/vm/drop_caches may be written. BENCH_RUNS rounds (default 3), every
# path once per round, medians.
# Also timed: a manifest listing the same files under names the pass passes
# over (the list's own cost), so that the list plus the digest step through the
# cache shows what a later run costs before the pass calls the cache.
# Counted for each later run: whether it wrote the digest cache, and the bytes
# nginx sent for the manifest (headers and body).
# Usage: bench/launch/run.sh [BUILD_DIR]   (default build/win)
#   BENCH_LAYOUTS="16k 4k" measures only those installations (default: all four).
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
baseline=${BENCH_BASELINE:-}
# name:bytes per file:files:folder layout (flat: one folder; tree: folders of 1000)
all_layouts="512k:524288:2000:flat 2m:2097152:2000:flat 16k:16384:20000:tree 4k:4096:100000:tree"
layouts=""
for l in $all_layouts; do
    case " ${BENCH_LAYOUTS:-512k 2m 16k 4k} " in *" ${l%%:*} "*) layouts="$layouts $l" ;; esac
done
names=$(for l in $layouts; do printf '%s ' "${l%%:*}"; done)
[ -n "$names" ] || { echo "BENCH_LAYOUTS names none of: 512k 2m 16k 4k" >&2; exit 2; }
mkdir -p "$work/site" "$work/nginx"
"$root/scripts/serve-static.sh" "$work/site" "$port" "$work/nginx" 14400 &
nginx_pid=$!
cleanup() { kill $nginx_pid 2>/dev/null || true; WINEPREFIX="$work/wineprefix" wineserver -k 2>/dev/null || true; rm -rf "$work"; }
trap cleanup EXIT

export WINEPREFIX="$work/wineprefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" LC_ALL=zh_CN.UTF-8
"$root/scripts/wine-prefix.sh"
wineserver -k 2>/dev/null || true

cold=yes
{ sync && echo 3 > /proc/sys/vm/drop_caches; } 2>/dev/null || cold=no

# inst-NAME: updater, stand-in, settings, the files under data\, a site of its
# own (site=127.0.0.1:PORT/<name>), and md5sum's list of the files.
printf '<?xml version="1.0"?><manifest><filelist></filelist></manifest>' > "$work/empty.xml"
for layout in $layouts; do
    IFS=: read -r name bytes count shape <<<"$layout"
    dir="$work/inst-$name"
    mkdir -p "$dir/data" "$work/site/$name/update"
    cp "$bin/updater.exe" "$bin/Quorvanta.exe" "$dir/"
    printf '[Download]\r\nsite=127.0.0.1:%s/%s\r\n' "$port" "$name" > "$dir/updater.INI"
    if [ -n "$baseline" ]; then cp "$baseline" "$dir/baseline.exe"; cp "$dir/updater.INI" "$dir/baseline.INI"; fi
    if [ "$shape" = flat ]; then
        head -c $((count * bytes)) /dev/urandom | split -a 4 -d -b "$bytes" - "$dir/data/f"
    else
        # One pass of python writes 100 000 files in seconds (split and a shell loop take minutes).
        python3 - "$dir/data" "$count" "$bytes" <<'PY'
import os, sys
root, count, size = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])
block = os.urandom(size * 1000)
for i in range(count):
    folder = os.path.join(root, 'd%03d' % (i // 1000))
    if i % 1000 == 0:
        os.makedirs(folder, exist_ok=True)
        block = os.urandom(size * 1000)
    with open(os.path.join(folder, 'f%05d' % i), 'wb') as f:
        f.write(block[(i % 1000) * size:(i % 1000 + 1) * size])
PY
    fi
    (cd "$dir" && find data -type f | sort | xargs md5sum) > "$work/$name.sums"
    awk -v bytes="$bytes" -v port="$port" '
        BEGIN { printf "<?xml version=\"1.0\" encoding=\"UTF-8\"?><manifest><filelist>" }
        { name = $2; gsub("/", "\\", name); n = split($2, part, "/")
          printf "<file filename=\"%s\" filesize=\"%d\" fileversion=\"1\" md5=\"%s\" fileload=\"http://127.0.0.1:%s/files/%s\"/>", \
                 name, bytes, $1, port, part[n] }
        END { printf "</filelist></manifest>" }' "$work/$name.sums" > "$work/$name.full.xml"
    # The same list with names the pass passes over: its cost without a digest step.
    sed 's/filename="/filename="..\\/g' "$work/$name.full.xml" > "$work/$name.list.xml"
done
first_name=${names%% *}
for _ in $(seq 50); do curl -fsI "http://127.0.0.1:$port/$first_name/" >/dev/null 2>&1 && break; sleep 0.1; done

cat > "$work/rounds.sh" <<'ROUNDS'
#!/usr/bin/env bash
# Every path once per round; prints "path installation value" lines.
set -euo pipefail
work=$1 runs=$2 cold=$3 baseline=$4 bin_launch=$5 names=$6
elapsed() { awk -v a="$1" -v b="$2" 'BEGIN {printf "%.2f", b - a}'; }
drop() { sync; echo 3 > /proc/sys/vm/drop_caches; }
warm() { find "$1/data" -type f -print0 | xargs -0 cat > /dev/null; }
quiet_wine() { wineserver -k 2>/dev/null || true; wineserver -w 2>/dev/null || true; }
manifest() { cp "$work/$2" "$work/site/$1/update/update.xml"; }
stamp() { stat -c '%i %Y %y' "$1" 2>/dev/null || echo none; }
# One run of the real program; checks that it queued nothing and started the
# platform. Also prints, to fd 3, whether it wrote the digest cache and the
# bytes nginx sent for the manifest.
updater() {  # updater NAME EXE
    local dir="$work/inst-$1" t0 t1 before from
    rm -f "$dir/Update/update.log" "$dir/Update/update.log.1"
    quiet_wine
    before=$(stamp "$dir/Update/digests.cache")
    from=$(wc -l < "$work/nginx/access.log")
    t0=$(date +%s.%N)
    (cd "$dir" && wine "$2" >/dev/null 2>&1)
    t1=$(date +%s.%N)
    grep -aq "window: shown, 0 file(s) to fetch" "$dir/Update/update.log" &&
        grep -aq "platform: started .*(ok)" "$dir/Update/update.log" ||
        { echo "$2 in inst-$1 did not end as a run with nothing to update:" >&2; cat "$dir/Update/update.log" >&2; exit 1; }
    quiet_wine   # the stand-in it started
    [ "$(stamp "$dir/Update/digests.cache")" = "$before" ] && written=0 || written=1
    fetched=$(tail -n +$((from + 1)) "$work/nginx/access.log" | grep -a 'update\.xml' |
              sed -n 's/.* sent=\([0-9]*\).*/\1/p' | awk '{s += $1} END {print s + 0}')
    echo "$written $fetched" >&3
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
# A later run: its time, and what it wrote and fetched.
later() {  # later PATH NAME
    local v extra
    v=$(updater "$2" updater.exe 3>"$work/extra")
    read -r written fetched < "$work/extra"
    put "$1" "$2" "$v"
    put "${1}_cache_written" "$2" "$written"
    put "${1}_fetched" "$2" "$fetched"
}
for round in $(seq "$runs"); do
    for name in $names; do
        dir="$work/inst-$name"
        warm "$dir"
        v=$(md5 $name); put md5sum_warm $name "$v"
        manifest $name empty.xml
        v=$(updater $name updater.exe 3>/dev/null); put empty_warm $name "$v"
        manifest $name $name.list.xml
        v=$(updater $name updater.exe 3>/dev/null); put list_warm $name "$v"
        manifest $name $name.full.xml
        rm -f "$dir/Update/digests.cache"
        later first_warm $name
        later later_warm $name
        later later_warm2 $name
        if [ -n "$baseline" ]; then
            rm -f "$dir/Update/digests.cache"
            v=$(updater $name baseline.exe 3>/dev/null); put baseline_warm $name "$v"
            later first_warm $name   # the cache again, for the runs below
            later later_warm $name
        fi
        # The step without the cache and the first through it, in turn first in a round.
        rm -rf "$dir/Update-bench"
        if [ $((round % 2)) = 1 ]; then v=$(step $name plain); put step_plain $name "$v"; fi
        v=$(step $name); put step_first $name "$v"
        if [ $((round % 2)) = 0 ]; then v=$(step $name plain); put step_plain $name "$v"; fi
        v=$(step $name); put step_warm $name "$v"
        if [ "$cold" = yes ]; then
            drop; v=$(md5 $name); put md5sum_cold $name "$v"
            # Before the runs with other lists: a pass keeps only the entries of
            # the names its manifest lists, so those leave an empty cache.
            drop; later later_cold $name
            manifest $name empty.xml
            drop; v=$(updater $name updater.exe 3>/dev/null); put empty_cold $name "$v"
            manifest $name $name.list.xml
            drop; v=$(updater $name updater.exe 3>/dev/null); put list_cold $name "$v"
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
cp "$work/empty.xml" "$work/site/$first_name/update/update.xml"
(cd "$work/inst-$first_name" && xvfb-run -a -s "-screen 0 1024x768x24" wine updater.exe) >/dev/null 2>&1 || true
wineserver -k 2>/dev/null || true
rounds "$work" "$runs" "$cold" "$baseline" "$launch_exe" "$names" | tee "$work/results" | sed 's/^/  /'

median() { sort -g | awk '{a[NR]=$1} END {if (NR) print a[int((NR+1)/2)]; else print "-"}'; }
values() { awk -v k="$1" -v n="$2" '$1 == k && $2 == n {print $3}' "$work/results"; }
cell() { local v; v=$(values "$1" "$2" | tr '\n' ' '); printf '%6s (%s)' "$(values "$1" "$2" | median)" "${v% }"; }
row() {
    local line; line=$(printf '%-50s' "$2")
    for n in $names; do line="$line $(printf '%-24s' "$(cell "$1" "$n")")"; done
    echo "$line"
}
header() {
    local line; line=$(printf '%-50s' "")
    for l in $layouts; do
        IFS=: read -r name bytes count shape <<<"$l"
        line="$line $(printf '%-24s' "$count x $name")"
    done
    echo "$line"
}
printf '\nNothing to update; seconds: median (each round)\n'
header
row empty_warm "updater.exe, empty manifest, warm"
[ "$cold" = yes ] && row empty_cold "updater.exe, empty manifest, cold"
row list_warm "updater.exe, the list, every entry passed over, warm"
[ "$cold" = yes ] && row list_cold "updater.exe, the list, every entry passed over, cold"
row first_warm "updater.exe, first run (no digest cache), warm"
[ -n "$baseline" ] && row baseline_warm "baseline updater.exe, warm"
row later_warm "updater.exe, a later run, warm"
row later_warm2 "updater.exe, the run after it, warm"
[ "$cold" = yes ] && row later_cold "updater.exe, a later run, cold"
row md5sum_warm "md5sum of the same files, warm"
[ "$cold" = yes ] && row md5sum_cold "md5sum of the same files, cold"
row step_plain "digest step alone (bench_launch), no cache, warm"
row step_first "digest step alone, first (no cache), warm"
row step_warm "digest step alone, with the cache, warm"
[ "$cold" = yes ] && row step_cold "digest step alone, with the cache, cold"
[ "$cold" = yes ] || echo "cold: not measured (/proc/sys/vm/drop_caches cannot be written here)"
printf '\nWhat each run wrote and fetched: digest cache written (1) or not (0); bytes nginx sent for the manifest\n'
header
row first_warm_cache_written "first run: cache written"
row later_warm_cache_written "later run: cache written"
row later_warm2_cache_written "the run after it: cache written"
row first_warm_fetched "first run: manifest bytes"
row later_warm_fetched "later run: manifest bytes"
row later_warm2_fetched "the run after it: manifest bytes"
over() { awk -v a="$(values "$1" "$3" | median)" -v b="$(values "$2" "$3" | median)" 'BEGIN {printf "%+.2f", a - b}'; }
printf '\na later run minus the empty manifest, warm:'
for n in $names; do printf ' %s %s s;' "$n" "$(over later_warm empty_warm "$n")"; done
printf '\n'
if [ "$cold" = yes ]; then
    printf 'a later run minus the empty manifest, cold:'
    for n in $names; do printf ' %s %s s;' "$n" "$(over later_cold empty_cold "$n")"; done
    printf '\n'
fi
echo "goals: at most +0.4 warm / +0.6 cold at 2000 files; +0.5 warm / +1.0 cold at 20 000; +2.0 warm at 100 000"
# Until the pass calls the cache: the list's run plus the digest step through the cache.
sum() { awk -v a="$(values "$1" "$3" | median)" -v b="$(values "$2" "$3" | median)" -v e="$(values "$4" "$3" | median)" \
    'BEGIN {printf "%+.2f", a + b - e}'; }
printf 'the list passed over plus the digest step with the cache, minus the empty manifest, warm:'
for n in $names; do printf ' %s %s s;' "$n" "$(sum list_warm step_warm "$n" empty_warm)"; done
printf '\n'
if [ -n "$baseline" ]; then
    printf 'first run / baseline:'
    for n in $names; do
        awk -v a="$(values first_warm "$n" | median)" -v b="$(values baseline_warm "$n" | median)" -v n="$n" \
            'BEGIN {printf " %s %.0f %%;", n, 100 * a / b}'
    done
    printf ' (goal: at most 105 %%)\n'
fi
