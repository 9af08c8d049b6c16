#!/usr/bin/env bash
# updater-publish --check against a live site: nginx on 127.0.0.1 serving a
# signed release over HTTPS (a throw-away authority, given with --cacert). The
# good site passes; then one fault at a time, as a mirror or a copy step makes
# them, must be named on one line (file, URL, expected, served) and fail the check.
#   check_site.sh PUBLISHER
set -uo pipefail
if [ $# -ne 1 ]; then echo "usage: $0 PUBLISHER" >&2; exit 2; fi
publisher=$1
root=$(cd "$(dirname "$0")/../.." && pwd)
for tool in nginx openssl curl python3; do
    command -v "$tool" >/dev/null || { echo "FAIL: $tool is not installed (scripts/install-deps.sh)"; exit 1; }
done
[ -x "$publisher" ] || { echo "FAIL: no native publisher at $publisher"; exit 1; }

work=$(mktemp -d /tmp/check_site.XXXXXX)
chmod 755 "$work"
server=
cleanup() {
    [ -n "$server" ] && kill "$server" 2>/dev/null && wait "$server" 2>/dev/null
    rm -rf "$work"
}
trap cleanup EXIT
failures=0
check() {  # check DESCRIPTION COMMAND...
    local what=$1; shift
    if "$@"; then echo "ok   - $what"; else echo "FAIL - $what"; failures=$((failures + 1)); fi
}

# --- A throw-away authority, the key pair, the release, the site ---------------
pki=$work/pki
mkdir -p "$pki"
{
    openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj "/CN=check_site CA" \
        -addext basicConstraints=critical,CA:TRUE -addext keyUsage=critical,keyCertSign,cRLSign \
        -keyout "$pki/ca.key" -out "$pki/ca.crt" &&
    printf '%s\n' 'subjectAltName=IP:127.0.0.1,DNS:localhost' 'extendedKeyUsage=serverAuth' > "$pki/server.ext" &&
    openssl req -newkey rsa:2048 -nodes -subj /CN=127.0.0.1 -keyout "$pki/server.key" -out "$pki/server.csr" &&
    openssl x509 -req -days 2 -in "$pki/server.csr" -CA "$pki/ca.crt" -CAkey "$pki/ca.key" -CAcreateserial \
        -extfile "$pki/server.ext" -out "$pki/server.crt" &&
    openssl ecparam -name prime256v1 -genkey -noout -out "$pki/update-key.pem" &&
    openssl ec -in "$pki/update-key.pem" -pubout -out "$pki/update-key.pub.pem"
} 2>"$pki/openssl.log" || { echo "FAIL: openssl could not make the test keys (see $pki/openssl.log)"; exit 1; }

rel=$work/release
mkdir -p "$rel/maps" "$rel/资料"
printf 'game data, version 2 %s\n' "$(seq 1 3000 | tr '\n' ' ')" > "$rel/game.dat"
printf 'level one: the first map of the game\n' > "$rel/maps/level1.map"
printf '说明：新版本的说明文件，名字是中文。\n' > "$rel/资料/说明.txt"
head -c $((2 * 1024 * 1024)) /dev/urandom > "$rel/textures.pak"

port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
base="https://127.0.0.1:$port"
site=$work/site
"$publisher" --quiet --sign-key "$pki/update-key.pem" --serial 500 "$rel" "$base" "$site" >/dev/null ||
    { echo "FAIL: the publisher did not publish the release"; exit 1; }
cp -a "$site" "$work/site.good"
restore() { rm -rf "$site" && cp -a "$work/site.good" "$site"; }

"$root/scripts/serve-static.sh" "$site" "$port" "$work/nginx" 120 "" "$pki/server.crt" "$pki/server.key" &
server=$!
for _ in $(seq 100); do
    curl -fsS --cacert "$pki/ca.crt" "$base/update/update.xml" -o /dev/null 2>/dev/null && break
    sleep 0.1
done

# run_check NAME ARGS...: runs the check, keeps its output in $work/NAME.out and its status in $status.
trust=(--cacert "$pki/ca.crt" --key "$pki/update-key.pub.pem")
run_check() {
    local name=$1; shift
    timeout 120 "$publisher" --check "${trust[@]}" "$@" > "$work/$name.out" 2>&1
    status=$?
}
problems() { grep -c '^PROBLEM ' "$work/$1.out"; }
# fails_with NAME LINE_REGEX: exit status 1, one problem line, and it matches.
fails_with() {
    local name=$1 pattern=$2
    check "$name: the check fails (status 1, got $status)" test "$status" -eq 1
    check "$name: exactly one problem is reported (got $(problems "$name"))" test "$(problems "$name")" -eq 1
    check "$name: the line names it: $pattern" grep -Eq "$pattern" "$work/$name.out"
    check "$name: the summary counts it" grep -q ': 1 problem(s)$' "$work/$name.out"
    [ $failures -eq 0 ] || sed 's/^/    /' "$work/$name.out"
}

# --- The good site -------------------------------------------------------------
run_check good "$base" "$rel"
check "good: the check passes (status 0, got $status)" test "$status" -eq 0
check "good: the signature was verified" grep -q 'signature verified' "$work/good.out"
check "good: all 4 files and the release were compared" \
    grep -q "^Checked 4 files .* against the release $rel: all good$" "$work/good.out"
check "good: the manifest was fetched at the updater's address" \
    grep -Eq '"GET /update/update\.xml\?=[0-9]+ HTTP[^"]*" 200' "$work/nginx/access.log"
check "good: no progress bar when the output is not a terminal" bash -c '! grep -q $'"'"'\r'"'"' "$1"' _ "$work/good.out"
timeout 60 "$publisher" --check "$base" > "$work/untrusted.out" 2>&1
status=$?
check "without --cacert the server's certificate is not trusted (status 1, got $status)" test "$status" -eq 1
check "  and the manifest line says why" \
    grep -Eq '^PROBLEM  update\.xml  https://.*expected the manifest; served no complete answer \(.*certificate' \
    "$work/untrusted.out"

# --- A stale file: the same length, other bytes ---------------------------------
head -c "$(stat -c %s "$rel/game.dat")" /dev/zero | tr '\0' 'x' > "$site/files/game.dat"
run_check stale "$base" "$rel"
fails_with stale "^PROBLEM  game\.dat  $base/files/game\.dat  expected MD5 [0-9a-f]{32}; served MD5 [0-9a-f]{32}"
restore

# --- A missing file (the copy step left it out) -----------------------------------
rm "$site/files/资料/说明.txt"
run_check missing "$base" "$rel"
fails_with missing "^PROBLEM  资料\\\\说明\.txt  $base/files/%E8%B5%84%E6%96%99/%E8%AF%B4%E6%98%8E\.txt  expected HTTP 200 and [0-9]+ bytes; served HTTP 404$"
restore

# --- A tampered signed manifest: one entry's size changed -------------------------
sed -i 's/filename="maps\\level1.map" filesize="37"/filename="maps\\level1.map" filesize="38"/' "$site/update/update.xml"
check "tampered: the manifest was changed" bash -c '! cmp -s "$1" "$2"' _ "$site/update/update.xml" "$work/site.good/update/update.xml"
run_check tampered "$base" "$rel"
fails_with tampered "^PROBLEM  update\.xml  $base/update/update\.xml\?=[0-9]+  expected a manifest signed with .*; served one signed by another key or altered after signing$"
restore

# --- A manifest that is not the release's: the release changed after publishing ---
printf 'level one, corrected after publishing\n' > "$rel/maps/level1.map"
printf 'a new file the site never got\n' > "$rel/maps/level2.map"
run_check other-release "$base" "$rel"
check "other-release: the check fails (status 1, got $status)" test "$status" -eq 1
check "other-release: two problems are reported (got $(problems other-release))" test "$(problems other-release)" -eq 2
check "other-release: the changed file is named with both sizes" \
    grep -Eq "^PROBLEM  maps\\\\level1\.map  $base/update/update\.xml\?=[0-9]+  expected [0-9]+ bytes \(the release's\); served 37 bytes" \
    "$work/other-release.out"
check "other-release: the file missing from the manifest is named" \
    grep -Eq "^PROBLEM  maps\\\\level2\.map  .*expected an entry \(the file is in the release\); served none$" "$work/other-release.out"
run_check serial --min-serial 501 "$base"
fails_with serial "^PROBLEM  update\.xml  .*expected serial 501 or higher; served serial 500 \(an older manifest\)$"

# --- A chunk index: fetched and compared by its SHA-256 (an unsigned site) -------
"$publisher" --quiet --serial 600 "$rel" "$base" "$site" >/dev/null
mkdir -p "$site/chunks"
printf 'an index of the chunks of game.dat\n' > "$site/chunks/game.dat.idx"
sum=$(sha256sum < "$site/chunks/game.dat.idx" | cut -d' ' -f1)
sed -i "s|\(filename=\"game.dat\"[^>]*\)/>|\1 chunks=\"$base/chunks/game.dat.idx\" chunkssha256=\"$sum\"/>|" "$site/update/update.xml"
trust=(--cacert "$pki/ca.crt")
run_check chunks "$base" "$rel"
check "chunks: a good index passes (status 0, got $status)" test "$status" -eq 0
check "chunks: it was fetched" grep -Eq '"GET /chunks/game\.dat\.idx HTTP[^"]*" 200' "$work/nginx/access.log"
printf 'an index of an older game.dat\n' > "$site/chunks/game.dat.idx"
run_check stale-chunks "$base"
fails_with stale-chunks "^PROBLEM  game\.dat \(chunk index\)  $base/chunks/game\.dat\.idx  expected SHA-256 $sum; served SHA-256 [0-9a-f]{64}$"

echo
if [ $failures -eq 0 ]; then echo "site check: all checks passed"; else echo "site check: $failures check(s) failed"; fi
[ $failures -eq 0 ]
