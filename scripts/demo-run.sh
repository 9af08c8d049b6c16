#!/usr/bin/env bash
# The demonstration itself (demo.sh installs and builds first): an installation
# with older files and the platform stand-in running, a newer release published
# with updater-publish, served by nginx on 127.0.0.1, and updater.exe run under
# Wine. Prints what changed; screenshots of the window go to build/demo/shots/.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
bin="$root/build/win/bin"
publisher="$root/build/native/tools/publisher/updater-publish"
demo="$root/build/demo"
port=${DEMO_PORT:-18431}
for f in "$bin/updater.exe" "$bin/Quorvanta.exe" "$publisher"; do
    [ -x "$f" ] || [ -f "$f" ] || { echo "demo: $f is missing; run scripts/build.sh first" >&2; exit 1; }
done
rm -rf "$demo"
mkdir -p "$demo/install" "$demo/release/maps" "$demo/release/资料" "$demo/nginx/tmp" "$demo/shots"
chmod 755 "$demo"   # nginx's workers read the site as an unprivileged user

# The installation as the player has it: older files, the updater and its settings.
cp "$bin/updater.exe" "$bin/Quorvanta.exe" "$demo/install/"
printf 'game data, version 1 (as installed)\n' > "$demo/install/game.dat"
printf 'read me: this file does not change\n' > "$demo/install/readme.txt"
# The settings file is text in the system code page (936 for Simplified Chinese).
printf '[Download]\r\nsite=127.0.0.1:%s\r\n[messages]\r\nErrorMsg=更新失败，请到www.example.com下载最新版本\r\n' "$port" |
    iconv -f UTF-8 -t GBK > "$demo/install/updater.INI"

# The vendor's new release: a changed file, new files (one in a Chinese-named
# folder), a large file so the window is seen at work, unchanged files and a
# new build of the updater.
printf 'game data, version 2 (the new release)\n' > "$demo/release/game.dat"
printf 'read me: this file does not change\n' > "$demo/release/readme.txt"
printf 'level one: the first map of the game\n' > "$demo/release/maps/level1.map"
printf '说明：新版本的说明文件。\n' > "$demo/release/资料/说明.txt"
head -c $((12 * 1024 * 1024)) /dev/urandom > "$demo/release/textures.pak"
# A large data file the player already has, unchanged in this release (the
# second release below changes it a little).
head -c $((64 * 1024 * 1024)) /dev/urandom > "$demo/release/world.pak"
cp "$demo/release/world.pak" "$demo/install/world.pak"
cp "$bin/Quorvanta.exe" "$demo/release/Quorvanta.exe"
cp "$bin/updater.exe" "$demo/release/updater.exe"
printf '\n' >> "$demo/release/updater.exe"   # a different build of the updater

# What was installed before, to tell updated from unchanged and added.
declare -A before
while IFS= read -r -d '' f; do
    rel=${f#"$demo/release/"}
    [ -f "$demo/install/$rel" ] && before[$rel]=$(md5sum < "$demo/install/$rel" | cut -d' ' -f1)
done < <(find "$demo/release" -type f -print0)

echo "== Publishing the release =="
"$publisher" "$demo/release" "127.0.0.1:$port" "$demo/site"

# Serve it with nginx on 127.0.0.1 only, slowed down a little so the window is seen.
"$root/scripts/serve-static.sh" "$demo/site" "$port" "$demo/nginx" 300 4m &
nginx_pid=$!
trap 'kill $nginx_pid 2>/dev/null || true; wait $nginx_pid 2>/dev/null || true' EXIT
for _ in $(seq 50); do curl -fsS "http://127.0.0.1:$port/update/update.xml" -o /dev/null 2>/dev/null && break; sleep 0.1; done
curl -fsS "http://127.0.0.1:$port/update/update.xml" -o /dev/null || { echo "demo: nginx did not start (see $demo/nginx/error.log)" >&2; exit 1; }

export WINEPREFIX="$root/build/win/wineprefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" LC_ALL=zh_CN.UTF-8
wine=$(command -v wine64 || command -v wine)
"$root/scripts/wine-prefix.sh"

echo
echo "== Running the updater =="
start=$(date +%s.%N)
if [ -n "${DISPLAY:-}" ]; then
    echo "(on your display $DISPLAY)"
    timeout 240 bash "$root/scripts/demo-session.sh" "$demo" "$bin" || true
else
    timeout 240 xvfb-run -a -s "-screen 0 1024x768x24" bash "$root/scripts/demo-session.sh" "$demo" "$bin" || true
fi
end=$(date +%s.%N)

echo
echo "== What the update did =="
cd "$demo/install"
while IFS= read -r rel; do
    [ "$rel" = updater.exe ] && continue
    size=$(stat -c %s "$demo/release/$rel")
    if ! cmp -s "$demo/release/$rel" "$rel"; then
        echo "  NOT UPDATED $rel"
    elif [ -z "${before[$rel]+x}" ]; then
        echo "  added       $rel ($size bytes)"
    elif [ "${before[$rel]}" = "$(md5sum < "$rel" | cut -d' ' -f1)" ]; then
        echo "  unchanged   $rel"
    else
        echo "  updated     $rel ($size bytes)"
    fi
done < <(cd "$demo/release" && find . -type f | sed 's|^\./||' | LC_ALL=C sort)
if cmp -s "$demo/release/updater.exe" updater.EX_; then
    echo "  side file   updater.EX_ holds the new updater (the running updater.exe was left in place)"
else
    echo "  side file   MISSING"
fi
starts=$(grep -c started standin-started.txt 2>/dev/null || true)
echo "  platform    $(cat "$demo/standin.txt" 2>/dev/null || echo "stand-in state unknown"); started ${starts:-0} times in all"
echo "  exit code   $(cat "$demo/updater.exit" 2>/dev/null || echo "none (the updater did not end)")"
printf '  elapsed     %s s for the updater run, %.1f s with Wine and the display\n' \
    "$(cat "$demo/updater.seconds" 2>/dev/null || echo '?')" "$(python3 -c "print($end - $start)")"
echo "  downloads   $(grep -c 'GET /files/' "$demo/nginx/access.log" || true) files from nginx (unchanged ones are not fetched)"
# Three frames that tell the story: the start, the middle of the download and
# the last one (all files downloaded: the close box is disabled).
frames=($(cd "$demo/shots" && ls updater-*.png 2>/dev/null))
if [ ${#frames[@]} -gt 0 ]; then
    cp "$demo/shots/${frames[0]}" "$demo/shots/window-start.png"
    cp "$demo/shots/${frames[$(( ${#frames[@]} / 2 ))]}" "$demo/shots/window-download.png"
    cp "$demo/shots/${frames[$(( ${#frames[@]} - 1 ))]}" "$demo/shots/window-end.png"
    echo "  screenshots window-start.png, window-download.png, window-end.png (and ${#frames[@]} frames) in build/demo/shots/"
else
    echo "  screenshots none found in build/demo/shots/"
fi

# A second release in which the large file changed a little: the updater
# fetches its chunk index and the chunks it lacks, and copies the rest from
# the installed copy. nginx runs at full speed from here on (the slowdown
# was only so that the window could be seen).
echo
echo "== A second release: world.pak (64 MiB) changed a little =="
rm -rf "$demo/release2"
cp -a "$demo/release" "$demo/release2"
# Three 64 KiB regions rewritten, and 1 KiB inserted 100 KiB from the start.
python3 -c '
import os, sys
data = bytearray(open(sys.argv[1], "rb").read())
for at in (5 << 20, 23 << 20, 50 << 20):
    data[at:at + 65536] = os.urandom(65536)
data[100 << 10:100 << 10] = os.urandom(1024)
open(sys.argv[1], "wb").write(data)
' "$demo/release2/world.pak"
"$publisher" "$demo/release2" "127.0.0.1:$port" "$demo/site"
kill $nginx_pid 2>/dev/null || true
wait $nginx_pid 2>/dev/null || true
"$root/scripts/serve-static.sh" "$demo/site" "$port" "$demo/nginx" 300 &
nginx_pid=$!
for _ in $(seq 50); do curl -fsS "http://127.0.0.1:$port/update/update.xml" -o /dev/null 2>/dev/null && break; sleep 0.1; done
served_from=$(wc -l < "$demo/nginx/access.log")
echo
echo "== Running the updater again =="
if [ -n "${DISPLAY:-}" ]; then
    timeout 240 bash "$root/scripts/demo-session.sh" "$demo" "$bin" again || true
else
    timeout 240 xvfb-run -a -s "-screen 0 1024x768x24" bash "$root/scripts/demo-session.sh" "$demo" "$bin" again || true
fi
# What nginx served the updater for the file: its chunk index and the ranges.
read -r fetched requests < <(tail -n +$((served_from + 1)) "$demo/nginx/access.log" | awk -F'"' '
    { split($2, r, " "); split($3, s, " ") }
    r[2] ~ /^\/(files|chunks)\/world\.pak/ { n++; b += s[2] }
    END { printf "%d %d\n", b, n }')
size=$(stat -c %s "$demo/release2/world.pak")
if cmp -s "$demo/release2/world.pak" "$demo/install/world.pak"; then
    echo "  updated     world.pak ($size bytes)"
else
    echo "  NOT UPDATED world.pak"
fi
awk -v f="$fetched" -v n="$requests" -v s="$size" \
    'BEGIN {printf "  fetched     %d bytes for it in %d requests (chunk index and ranges): %.2f %% of the file\n", f, n, 100 * f / s}'
echo "  run log     $(iconv -f GBK -t UTF-8 "$demo/install/Update/update.log" | grep -o 'download world.pak: patched: .*' | tail -1)"
echo "  exit code   $(cat "$demo/again.exit" 2>/dev/null || echo "none (the updater did not end)")$(cat "$demo/again.standin" 2>/dev/null | sed 's/^/; /')"
printf '  elapsed     %s s for the updater run\n' "$(cat "$demo/again.seconds" 2>/dev/null || echo '?')"

# The vendor's side: the live site checked as the updater reads it, then as a
# player would meet it after a copy step went wrong.
cd "$root"
release_dir=${demo#"$root/"}/release2
echo
echo "== Checking the live site (updater-publish --check) =="
"$publisher" --check "127.0.0.1:$port" "$release_dir" || true
echo
echo "== The same check after a mirror went back to the old game.dat =="
cp "$demo/site/files/game.dat" "$demo/game.dat.published"
printf 'game data, version 1 (as installed)\n' > "$demo/site/files/game.dat"
status=0
"$publisher" --check "127.0.0.1:$port" "$release_dir" || status=$?
echo "  (exit status $status; players would see the failure message until the file is put back)"
cp "$demo/game.dat.published" "$demo/site/files/game.dat"
