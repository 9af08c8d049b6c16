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
check "good: all 4 files, the index of textures.pak and the release were compared" \
    grep -q "^Checked 4 files .* and 1 chunk indexes of .* against the release $rel: all good$" "$work/good.out"
check "good: the server answers single ranges (the file's and the index head's)" \
    grep -q '^Single ranges: the server answers them (2 of 2 asked)' "$work/good.out"
files_connections=$(grep '"GET /files/' "$work/nginx/access.log" | grep -o 'connection=[0-9]*' | sort -u | wc -l)
check "good: the files were fetched on several connections at once (got $files_connections)" \
    test "$files_connections" -gt 1
check "good: the index's head was asked for as the updater asks for it" \
    grep -Eq '"GET /chunks/textures\.pak\.idx HTTP[^"]*" 206' "$work/nginx/access.log"
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

# --- Chunk indexes: decoded, not only compared by the digest of their head ------
"$publisher" --quiet --serial 600 "$rel" "$base" "$site" >/dev/null
trust=(--cacert "$pki/ca.crt")
idx=$site/chunks/textures.pak.idx
cp "$idx" "$work/textures.idx.good"
# The last byte of the last group's list: the head (and so its digest) is unchanged.
printf '\xff' | dd of="$idx" bs=1 seek=$(( $(stat -c %s "$idx") - 1 )) conv=notrunc status=none
run_check damaged-list "$base"
fails_with damaged-list "^PROBLEM  textures\.pak \(chunk index\)  $base/chunks/textures\.pak\.idx  expected an index that decodes; served one whose head matches its digest but that has a chunk list that is not its group's$"
head -c 70 "$work/textures.idx.good" > "$idx"  # the header and part of the top list
run_check short-index "$base"
fails_with short-index "^PROBLEM  textures\.pak \(chunk index\)  .*expected a chunk index for a file of 2097152 bytes; served one that is cut short$"
printf 'UPCHUNKS an index as the publisher of an earlier release wrote it' > "$idx"
run_check v1-index "$base"
fails_with v1-index "^PROBLEM  textures\.pak \(chunk index\)  .*expected a levelled chunk index \(version 2\); served a version 1 index"
cp "$work/textures.idx.good" "$idx"
sed -i 's/chunkshead="\([0-9]*\)"/chunkshead="1\1"/' "$site/update/update.xml"
run_check head-length "$base"
fails_with head-length "^PROBLEM  textures\.pak \(chunk index\)  .*expected a head of 1[0-9]+ bytes \(the chunkshead attribute\); served one of [0-9]+ bytes$"
"$publisher" --quiet --serial 601 "$rel" "$base" "$site" >/dev/null
"$publisher" --quiet --serial 602 "$rel" "$base" "$work/older-site" >/dev/null
cp "$work/older-site/chunks/textures.pak.idx" "$idx"
head -c $((2 * 1024 * 1024)) /dev/urandom > "$rel/textures.pak"
"$publisher" --quiet --serial 603 "$rel" "$base" "$site" >/dev/null
sum=$(grep -o 'chunkssha256="[0-9a-f]*"' "$site/update/update.xml" | cut -d'"' -f2)
cp "$work/older-site/chunks/textures.pak.idx" "$idx"
run_check stale-index "$base"
fails_with stale-index "^PROBLEM  textures\.pak \(chunk index\)  $base/chunks/textures\.pak\.idx  expected SHA-256 $sum of its head; served SHA-256 [0-9a-f]{64} of its [0-9]+-byte head$"

# --- A server that ignores ranges (python3 -m http.server): told, not a problem ----
plain_port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
"$publisher" --quiet "$rel" "http://127.0.0.1:$plain_port" "$work/plain-site" >/dev/null
(cd "$work/plain-site" && exec timeout 120 python3 -m http.server --bind 127.0.0.1 "$plain_port" >/dev/null 2>&1) &
plain=$!
for _ in $(seq 100); do curl -fsS "http://127.0.0.1:$plain_port/update/update.xml" -o /dev/null 2>/dev/null && break; sleep 0.1; done
timeout 120 "$publisher" --check "http://127.0.0.1:$plain_port" > "$work/no-ranges.out" 2>&1
status=$?
kill "$plain" 2>/dev/null; wait "$plain" 2>/dev/null
check "no-ranges: the check passes (status 0, got $status)" test "$status" -eq 0
check "no-ranges: it says the server ignores ranges" \
    grep -q "^Single ranges: the server ignores them (HTTP 200 and the whole file for http://127.0.0.1:$plain_port/files/textures.pak): the updater fetches changed files whole$" "$work/no-ranges.out"
[ $failures -eq 0 ] || sed 's/^/    /' "$work/no-ranges.out"

echo
if [ $failures -eq 0 ]; then echo "site check: all checks passed"; else echo "site check: $failures check(s) failed"; fi
[ $failures -eq 0 ]
