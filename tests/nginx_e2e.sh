#!/usr/bin/env bash
# The vendor's side end to end: a release published with updater-publish,
# served by nginx on 127.0.0.1, read back by the real updater.exe under Wine.
#   nginx_e2e.sh BIN_DIR PUBLISHER
# BIN_DIR holds updater.exe, Quorvanta.exe and dismissbox.exe; PUBLISHER is the
# native updater-publish. Run 1 updates an installation with older and missing
# files; run 2 finds a listed file missing from the site (nginx's own 404 page);
# run 3 patches a changed big file from a server that ignores ranges
# (python3 -m http.server) and ends with the whole file.
set -uo pipefail
if [ $# -ne 2 ]; then echo "usage: $0 BIN_DIR PUBLISHER" >&2; exit 2; fi
bin=$(cd "$1" && pwd) || exit 1
publisher=$2
source "$(dirname "$0")/e2e-lib.sh"
e2e_require "$bin" nginx curl iconv python3 -- updater.exe Quorvanta.exe dismissbox.exe
e2e_publisher "$publisher"
e2e_display "$@"

work="$(dirname "$bin")/nginx_e2e"
e2e_workdir "$work"
mkdir -p "$work/nginx/tmp"
e2e_prefix "${NGINX_E2E_WINEPREFIX:-$(dirname "$bin")/wineprefix-nginx}"

trap e2e_cleanup EXIT

# --- The release and the site -------------------------------------------------
rel="$work/release"
make_release "$rel"
printf 'notes whose name needs escaping in URL and XML\n' > "$rel/notes & more.txt"

port=$(free_port)
site="$work/site"
check "the publisher publishes the release" "$publisher" --quiet "$rel" "127.0.0.1:$port" "$site"
manifest="$site/update/update.xml"
check "the manifest lists 8 files" test "$(grep -c '<file ' "$manifest" 2>/dev/null)" = 8
check "the manifest names the PE versions" grep -q 'filename="Quorvanta.exe" filesize="[0-9]*" fileversion="3.2.0.17"' "$manifest"
check "update.xml.gz beside it holds the same bytes" cmp -s <(gzip -dc "$manifest.gz" 2>/dev/null) "$manifest"

"$(dirname "$0")/../scripts/serve-static.sh" "$site" "$port" "$work/nginx" 280 &
servers+=($!)
for _ in $(seq 100); do curl -fsS "http://127.0.0.1:$port/update/update.xml" -o /dev/null 2>/dev/null && break; sleep 0.1; done
check "nginx serves the manifest" curl -fsS "http://127.0.0.1:$port/update/update.xml?=123" -o /dev/null

# Every fileload URL serves its file byte for byte (the URL encoding is right).
served_ok=true
while IFS= read -r url; do
    name=$(printf '%s' "$url" | python3 -c 'import sys, urllib.parse; print(urllib.parse.unquote(sys.stdin.read().split("/files/", 1)[1]))')
    curl -fsS "$url" -o "$work/fetched" && cmp -s "$work/fetched" "$rel/$name" || { echo "  $url"; served_ok=false; }
done < <(grep -o 'fileload="[^"]*"' "$manifest" | sed 's/^fileload="//; s/"$//; s/&amp;/\&/g')
check "every fileload URL serves its release file" $served_ok
entry=$(grep -o '<file filename="textures.pak"[^>]*' "$manifest")
idx_url=$(sed -n 's/.* chunks="\([^"]*\)".*/\1/p' <<<"$entry")
idx_sha=$(sed -n 's/.* chunkssha256="\([0-9a-f]*\)".*/\1/p' <<<"$entry")
idx_head=$(sed -n 's/.* chunkshead="\([0-9]*\)".*/\1/p' <<<"$entry")
check "the 3 MiB file's chunk index is served at its URL, its head (one range) with its digest" \
    test -n "$idx_sha" -a -n "$idx_head" -a \
    "$(curl -fsS -r "0-$((${idx_head:-1} - 1))" "$idx_url" | sha256sum | cut -d' ' -f1)" = "$idx_sha"

# --- Run 1: an installation with older and missing files --------------------
inst="$work/install"
install_old "$inst" "127.0.0.1:$port"
start_standin "$inst"
check "the stand-in platform is running" kill -0 "$standin"
log_from=$(lines "$work/nginx/access.log")
(cd "$inst" && timeout 120 "$wine" "$inst/updater.exe" >/dev/null 2>&1)
rc=$?
check "run 1: updater.exe exits with code 0 (got $rc)" test $rc -eq 0
check "run 1: the running stand-in was terminated" ended_within "$standin" 10
for f in game.dat readme.txt maps/level1.map "资料/说明.txt" "notes & more.txt" textures.pak Quorvanta.exe; do
    check "run 1: $f is byte-identical to the release" cmp -s "$rel/$f" "$inst/$f"
done
check "run 1: the new updater is in the side file updater.EX_" cmp -s "$rel/updater.exe" "$inst/updater.EX_"
check "run 1: the running updater.exe was left alone" cmp -s "$bin/updater.exe" "$inst/updater.exe"
check "run 1: the stand-in was started again (2 starts logged)" test "$(lines "$inst/standin-started.txt")" -eq 2
requests=$(tail -n +$((log_from + 1)) "$work/nginx/access.log")
check "run 1: the manifest was asked for as /update/update.xml?=N" \
    grep -Eq '"GET /update/update\.xml\?=[0-9]+ HTTP' <<<"$requests"
check "run 1: unchanged files were not downloaded" \
    bash -c '! grep -Eq "GET /files/(readme\.txt|Quorvanta\.exe) " <<<"$1"' _ "$requests"
check "run 1: changed and new files were downloaded once each" \
    test "$(grep -Ec 'GET /files/(game\.dat|maps/level1\.map|textures\.pak|updater\.exe|notes%20%26%20more\.txt|%E8%B5%84%E6%96%99/%E8%AF%B4%E6%98%8E\.txt) HTTP[^"]*" 200' <<<"$requests")" -eq 6
check "run 1: the restarted stand-in has its window (closed now)" timeout 30 "$wine" "$bin/dismissbox.exe" close 10000
# nginx sent update.xml.gz (the updater asks for gzip): its size, not the manifest's.
manifest_sent=$(grep -E '"GET /update/update\.xml\?=[0-9]+ HTTP[^"]*" 200 ' <<<"$requests" | awk '{print $10}' | tail -n 1)
check "run 1: the manifest came compressed ($manifest_sent bytes for $(stat -c %s "$manifest"))" \
    test "${manifest_sent:-0}" -eq "$(stat -c %s "$manifest.gz")"

# --- Run 1b: a later start with nothing new -------------------------------------
log_from=$(lines "$work/nginx/access.log")
(cd "$inst" && timeout 120 "$wine" "$inst/updater.exe" >/dev/null 2>&1)
rc=$?
requests=$(tail -n +$((log_from + 1)) "$work/nginx/access.log")
check "run 1b: updater.exe exits with code 0 (got $rc)" test $rc -eq 0
check "run 1b: the manifest was answered 304, in under 2 KB" \
    grep -Eq '"GET /update/update\.xml\?=[0-9]+ HTTP[^"]*" 304 0 .* sent=[0-9]{1,3}$' <<<"$requests"
# The running updater.exe still differs from the listed one (that went to updater.EX_).
check "run 1b: no other file was asked for than updater.exe" \
    test "$(grep -v '"GET /update/update\.xml?=' <<<"$requests" | grep -vc '"GET /files/updater\.exe ')" -eq 0
check "run 1b: the stand-in was started (3 starts logged)" test "$(lines "$inst/standin-started.txt")" -eq 3
check "run 1b: the stand-in has its window (closed now)" timeout 30 "$wine" "$bin/dismissbox.exe" close 10000

# --- Run 2: a listed file is missing from the site ---------------------------
rm "$site/files/maps/level1.map"
inst2="$work/install-404"
install_old "$inst2" "127.0.0.1:$port"
start_standin "$inst2"
(cd "$inst2" && exec timeout 120 "$wine" "$inst2/updater.exe" >/dev/null 2>&1) &
upd=$!
pids+=("$upd")
timeout 60 "$wine" "$bin/dismissbox.exe" box 40000 > "$work/box.txt"
box_rc=$?
box_text=$(tr -d '\r' < "$work/box.txt" | iconv -f GBK -t UTF-8)
check "run 2: the failure message box appeared and was dismissed" test "$box_rc" -eq 0
check "run 2: it shows the configured message (got: $box_text)" \
    test "$box_text" = "更新失败，请到www.example.com下载最新版本"
wait "$upd"
rc=$?
check "run 2: updater.exe exits with code 0 (got $rc)" test $rc -eq 0
check "run 2: nginx answered 404 for the missing file" grep -Eq '"GET /files/maps/level1\.map HTTP[^"]*" 404' "$work/nginx/access.log"
check "run 2: game.dat was not installed" test "$(cat "$inst2/game.dat")" = "game data, version 1 (as installed)"
check "run 2: nothing new was installed" test ! -e "$inst2/maps/level1.map" -a ! -e "$inst2/updater.EX_" -a ! -e "$inst2/textures.pak"
# Several files are in flight: when the 404 comes before any other file is begun, nothing is
# written and the platform is left running; else it was stopped before the first file was.
if iconv -f GBK -t UTF-8 "$inst2/Update/update.log" | grep -q "platform: stopped"; then
    check "run 2: the stand-in was stopped before the first file was written" ended_within "$standin" 10
else
    check "run 2: no file was begun (no .dtm)" test -z "$(find "$inst2/Update" -name '*.dtm')"
    check "run 2: the stand-in was left running" kill -0 "$standin"
    kill "$standin" 2>/dev/null; wait "$standin" 2>/dev/null
fi
check "run 2: the stand-in was not started again" test "$(lines "$inst2/standin-started.txt")" -eq 1

# --- Run 3: a patch from a server that answers ranges with the whole file ------
rel3="$work/release3"
cp -r "$rel" "$rel3"
python3 -c 'import os, sys; f = open(sys.argv[1], "r+b"); f.seek(1 << 20); f.write(os.urandom(65536))' "$rel3/textures.pak"
pyport=$(free_port)
check "run 3: the changed release is published" "$publisher" --quiet "$rel3" "127.0.0.1:$pyport" "$work/site-py"
(cd "$work/site-py" && exec timeout 200 python3 -m http.server --bind 127.0.0.1 "$pyport" >"$work/http.server.log" 2>&1) &
servers+=($!)
for _ in $(seq 100); do curl -fsS "http://127.0.0.1:$pyport/update/update.xml" -o /dev/null 2>/dev/null && break; sleep 0.1; done
check "run 3: python3 -m http.server ignores ranges" \
    test "$(curl -s -o /dev/null -w '%{http_code}' -H 'Range: bytes=0-9' "http://127.0.0.1:$pyport/files/textures.pak")" = 200
sed -i "s/^site=.*/site=127.0.0.1:$pyport\r/" "$inst/updater.INI"
(cd "$inst" && timeout 120 "$wine" "$inst/updater.exe" >/dev/null 2>&1)
rc=$?
check "run 3: updater.exe exits with code 0 (got $rc)" test $rc -eq 0
check "run 3: textures.pak is the changed release's" cmp -s "$rel3/textures.pak" "$inst/textures.pak"
log3=$(iconv -f GBK -t UTF-8 "$inst/Update/update.log")
check "run 3: the patch fell back because the range came whole" \
    grep -q "download textures.pak: patch failed (a range request was answered with the whole file (HTTP 200)); taking the whole file the server is sending" <<<"$log3"
check "run 3: then the whole file was fetched and verified" grep -q "download textures.pak: 3145728 bytes, verified" <<<"$log3"
# The whole answer to the range was used: the file was asked for once (beside curl's check above).
check "run 3: the file was sent once" test "$(grep -c 'GET /files/textures.pak' "$work/http.server.log")" -eq 2
timeout 30 "$wine" "$bin/dismissbox.exe" close 10000 >/dev/null 2>&1

echo
if [ $failures -eq 0 ]; then echo "nginx end-to-end: all checks passed"; else echo "nginx end-to-end: $failures check(s) failed (see $work)"; fi
[ $failures -eq 0 ]
