#!/usr/bin/env bash
# Signed manifests end to end: releases published with updater-publish
# --sign-key, served by nginx on 127.0.0.1, read by the real updaters under Wine.
#   signing_e2e.sh BIN_DIR PUBLISHER [KEYS_DIR]
# BIN_DIR holds updater.exe (no key), updater_signed.exe (the test key's public
# half built in), Quorvanta.exe and dismissbox.exe; PUBLISHER is the native
# updater-publish; KEYS_DIR (default BIN_DIR/../test-keys) holds the throw-away
# update-key.pem the build made for updater_signed.exe.
set -uo pipefail
if [ $# -lt 2 ] || [ $# -gt 3 ]; then echo "usage: $0 BIN_DIR PUBLISHER [KEYS_DIR]" >&2; exit 2; fi
bin=$(cd "$1" && pwd) || exit 1
publisher=$2
keys=${3:-$(dirname "$bin")/test-keys}
source "$(dirname "$0")/e2e-lib.sh"
e2e_require "$bin" nginx curl iconv python3 openssl -- updater.exe updater_signed.exe Quorvanta.exe dismissbox.exe
e2e_publisher "$publisher"
[ -f "$keys/update-key.pem" ] || { echo "FAIL: no test key at $keys/update-key.pem (configure the Windows build)"; exit 1; }
e2e_display "$@"

work="$(dirname "$bin")/signing_e2e"
e2e_workdir "$work"
mkdir -p "$work/sites" "$work/keys"
e2e_prefix "${SIGNING_E2E_WINEPREFIX:-$(dirname "$bin")/wineprefix-signing}"

trap e2e_cleanup EXIT

# --- Keys, releases and sites ---------------------------------------------------
key="$keys/update-key.pem"
openssl pkcs8 -topk8 -nocrypt -in "$key" -out "$work/keys/update-key.pk8.pem" &&
openssl genpkey -algorithm EC -pkeyopt ec_paramgen_curve:P-256 -out "$work/keys/other.pem" ||
    { echo "FAIL: openssl could not make the keys"; exit 1; }

# A public key of another kind never builds an updater (it would refuse every manifest).
openssl genrsa -out "$work/keys/rsa.pem" 2048 2>/dev/null && openssl rsa -in "$work/keys/rsa.pem" -pubout -out "$work/keys/rsa.pub.pem" 2>/dev/null &&
openssl ecparam -name secp384r1 -genkey -noout -out "$work/keys/p384.pem" && openssl ec -in "$work/keys/p384.pem" -pubout -out "$work/keys/p384.pub.pem" 2>/dev/null ||
    { echo "FAIL: openssl could not make the keys of other kinds"; exit 1; }
configure_refuses() {  # configure_refuses PUBLIC_KEY
    local root; root=$(cd "$(dirname "$0")/.." && pwd)
    # CMake wraps its message where the key's path ends, so the words are read as one line.
    rm -rf "$work/configure" && ! cmake -S "$root" -B "$work/configure" -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64.cmake" \
        -DUPDATER_TESTS=OFF -DUPDATER_PUBLIC_KEY="$1" >"$work/configure.log" 2>&1 &&
        tr -s ' \n' '  ' < "$work/configure.log" | grep -q "not an ECDSA P-256 public key"
}
check "the build refuses an RSA public key" configure_refuses "$work/keys/rsa.pub.pem"
check "the build refuses a P-384 public key" configure_refuses "$work/keys/p384.pub.pem"
rm -rf "$work/configure"

release() {  # release DIR VERSION
    mkdir -p "$1/maps"
    printf 'game data, version %s %s\n' "$2" "$(seq 1 3000 | tr '\n' ' ')" > "$1/game.dat"
    printf 'read me: this file does not change\n' > "$1/readme.txt"
    printf 'level one of version %s: the first map of the game\n' "$2" > "$1/maps/level1.map"
}
release "$work/release" 2
release "$work/release-old" 1.5
release "$work/release3" 3

port=$(free_port)
publish() {  # publish SITE RELEASE [OPTIONS...]: SITE is served at /SITE
    local name=$1 rel=$2; shift 2
    "$publisher" --quiet "$@" "$rel" "127.0.0.1:$port/$name" "$work/sites/$name" >>"$work/publish.log" 2>&1
}
# A copy of a site's manifest for another site; its entries still point at the original's files.
manifest_variant() {  # manifest_variant FROM TO
    mkdir -p "$work/sites/$2/update" && cp "$work/sites/$1/update/update.xml" "$work/sites/$2/update/update.xml"
}
# nginx sends update.xml.gz to an updater (it asks for gzip): a manifest changed
# here gets its compressed copy anew.
regzip() { [ ! -e "$1.gz" ] || gzip -9nc "$1" > "$1.gz"; }
edit() {  # edit SITE PYTHON: runs PYTHON with d = the manifest text, writes d back
    python3 -c "import sys; p = sys.argv[1]; d = open(p, 'rb').read().decode(); $2
open(p, 'wb').write(d.encode())" "$work/sites/$1/update/update.xml"
    regzip "$work/sites/$1/update/update.xml"
}
resign() {  # resign SITE: signs the manifest's text before its signature comment anew with the test key
    python3 - "$work/sites/$1/update/update.xml" "$key" <<'PY'
import base64, subprocess, sys
path, key = sys.argv[1], sys.argv[2]
data = open(path, 'rb').read()
at = data.rfind(b'<!-- signature:')
body = data if at < 0 else data[:at]
der = subprocess.run(['openssl', 'dgst', '-sha256', '-sign', key], input=body, capture_output=True, check=True).stdout
# DER SEQUENCE { INTEGER r, INTEGER s } (short lengths for P-256); the manifest carries r||s.
values, i = [], 2
while i < len(der):
    n = der[i + 1]
    values.append(int.from_bytes(der[i + 2:i + 2 + n], 'big'))
    i += 2 + n
rs = b''.join(v.to_bytes(32, 'big') for v in values)
open(path, 'wb').write(body + b'<!-- signature: ecdsa-p256-sha256 ' + base64.b64encode(rs) + b' -->\n')
PY
    regzip "$work/sites/$1/update/update.xml"
}

check "the release is published signed" publish signed "$work/release" --sign-key "$key" --serial 200
check "the release is published signed with the key as PKCS#8" \
    publish pkcs8 "$work/release" --sign-key "$work/keys/update-key.pk8.pem" --serial 200
check "the release is published signed with another key" \
    publish otherkey "$work/release" --sign-key "$work/keys/other.pem" --serial 200
check "the release is published for the swapped file" publish swapped "$work/release" --sign-key "$key"
check "the release is published at serial 300" publish serial300 "$work/release" --sign-key "$key" --serial 300
check "the older release is published at serial 100" publish serial100 "$work/release-old" --sign-key "$key" --serial 100
check "a newer release is published at serial 400" publish serial400 "$work/release3" --sign-key "$key" --serial 400
check "the signed manifest ends with its signature comment" \
    grep -Eq '^<!-- signature: ecdsa-p256-sha256 [A-Za-z0-9+/]{86}== -->$' "$work/sites/signed/update/update.xml"

manifest_variant signed altered
edit altered "i = d.index('sha256=\"') + 8; d = d[:i] + ('1' if d[i] == '0' else '0') + d[i + 1:]"
manifest_variant signed unsigned
edit unsigned "d = d[:d.rindex('<!-- signature:')]"
manifest_variant signed trailing
edit trailing "d += '<!-- mirrored by cdn-7 -->\n'"
manifest_variant signed nosha
edit nosha "import re; d = re.sub(r' sha256=\"[0-9a-f]+\"', '', d, count=1)"
resign nosha
# Other bytes under a served name, whose MD5 the manifest is changed to name
# (re-signed with the right key): only the SHA-256 still tells them apart.
sed 's/version 2/version 9/' "$work/release/game.dat" > "$work/sites/swapped/files/game.dat"  # same size
planted_md5=$(md5sum < "$work/sites/swapped/files/game.dat" | cut -c1-32)
edit swapped "import re; d = re.sub(r'(filename=\"game.dat\"[^>]* md5=\")[0-9a-f]+', r'\g<1>$planted_md5', d)"
resign swapped
check "the swapped manifest names the planted file's MD5" grep -q "md5=\"$planted_md5\"" "$work/sites/swapped/update/update.xml"

"$(dirname "$0")/../scripts/serve-static.sh" "$work/sites" "$port" "$work/nginx" 580 &
servers+=($!)
for _ in $(seq 100); do curl -fsS "http://127.0.0.1:$port/signed/update/update.xml" -o /dev/null 2>/dev/null && break; sleep 0.1; done
check "nginx serves the signed manifest" curl -fsS "http://127.0.0.1:$port/signed/update/update.xml?=1" -o /dev/null

# --- Runs -----------------------------------------------------------------------
install_old() {  # install_old DIR SITE EXE
    mkdir -p "$1"
    cp "$bin/$3" "$1/updater.exe"
    cp "$bin/Quorvanta.exe" "$1/"
    printf 'game data, version 1 (as installed)\n' > "$1/game.dat"
    printf 'read me: this file does not change\n' > "$1/readme.txt"
    set_site "$1" "$2"
}
set_site() {  # set_site DIR SITE
    printf '[Download]\r\nsite=127.0.0.1:%s/%s\r\n[messages]\r\nErrorMsg=更新失败，请到www.example.com下载最新版本\r\n' \
        "$port" "$2" | iconv -f UTF-8 -t GBK > "$1/updater.INI"
}
run_updater() {  # run_updater DIR [box]: sets rc, requests (the nginx log lines of the run) and box_rc
    local from
    from=$(lines "$work/nginx/access.log")
    if [ "${2:-}" = box ]; then
        (cd "$1" && exec timeout 120 "$wine" "$1/updater.exe" >/dev/null 2>&1) &
        local upd=$!
        pids+=("$upd")
        timeout 60 "$wine" "$bin/dismissbox.exe" box 40000 >/dev/null
        box_rc=$?
        wait "$upd"
        rc=$?
    else
        (cd "$1" && timeout 120 "$wine" "$1/updater.exe" >/dev/null 2>&1)
        rc=$?
    fi
    requests=$(tail -n +$((from + 1)) "$work/nginx/access.log")
}
standin_starts() {  # standin_starts DIR N: waits for the Nth start, then closes the stand-in
    for _ in $(seq 100); do [ "$(lines "$1/standin-started.txt")" -ge "$2" ] && break; sleep 0.1; done
    sleep 0.5
    timeout 30 "$wine" "$bin/dismissbox.exe" close 5000 >/dev/null 2>&1
    test "$(lines "$1/standin-started.txt")" -eq "$2"
}
logged() { grep -Fq -- "$2" "$1/Update/update.log" 2>/dev/null; }  # logged DIR TEXT
installed() {  # installed DIR: the new release is in place
    cmp -s "$work/release/game.dat" "$1/game.dat" && cmp -s "$work/release/maps/level1.map" "$1/maps/level1.map"
}
installed3() { cmp -s "$work/release3/game.dat" "$1/game.dat" && cmp -s "$work/release3/maps/level1.map" "$1/maps/level1.map"; }
untouched() {  # untouched DIR: the installation is as it was before the run
    test "$(cat "$1/game.dat")" = "game data, version 1 (as installed)" -a ! -e "$1/maps/level1.map"
}
no_file_fetched() { ! grep -q 'GET /[a-z0-9]*/files/' <<<"$requests"; }

# a. Signed with the built-in key (SEC1 and PKCS#8 forms of it): installed.
for site in signed pkcs8; do
    inst="$work/inst-$site"
    install_old "$inst" "$site" updater_signed.exe
    run_updater "$inst"
    check "a/$site: exit code 0 (got $rc)" test $rc -eq 0
    check "a/$site: the release is installed" installed "$inst"
    check "a/$site: the stand-in was started" standin_starts "$inst" 1
    check "a/$site: the log says the signature was verified" logged "$inst" "manifest: signature verified"
done

# A later start: nginx answers 304 and the kept copy, checked again, decides.
inst="$work/inst-signed"
run_updater "$inst"
check "a/kept: the manifest was answered 304" grep -Eq '"GET /signed/update/update\.xml\?=[0-9]+ HTTP[^"]*" 304' <<<"$requests"
check "a/kept: nothing was fetched" no_file_fetched
check "a/kept: the kept copy's signature was checked again" logged "$inst" "the kept copy's signature verified"
check "a/kept: the stand-in was started" standin_starts "$inst" 2
# The kept copy altered on disk, its own checksum made right: the signature
# check drops it and the manifest is fetched whole.
python3 - "$inst/Update/manifest.kept" <<'PY'
import hashlib, sys
path = sys.argv[1]
data = open(path, 'rb').read()
head, tail = data.split(b'\r\n\r\n', 1)
at = tail.index(b'sha256="') + 8
tail = tail[:at] + (b'1' if tail[at:at + 1] == b'0' else b'0') + tail[at + 1:]
lines = [l if not l.startswith(b'md5 ') else b'md5 ' + hashlib.md5(tail).hexdigest().encode() for l in head.split(b'\r\n')]
open(path, 'wb').write(b'\r\n'.join(lines) + b'\r\n\r\n' + tail)
PY
run_updater "$inst"
check "a/altered: the altered kept copy was dropped" logged "$inst" "the kept copy fails its signature check"
check "a/altered: the manifest was fetched whole" grep -Eq '"GET /signed/update/update\.xml\?=[0-9]+ HTTP[^"]*" 200' <<<"$requests"
check "a/altered: the release is still installed, nothing fetched" eval 'installed "$inst" && no_file_fetched'
check "a/altered: the stand-in was started" standin_starts "$inst" 3

# b. Not signed by the built-in key as served: an empty run, nothing fetched.
for case in "altered:it is signed by another key or was altered after signing" \
            "unsigned:it is not signed" \
            "otherkey:it is signed by another key or was altered after signing" \
            "trailing:something follows its signature comment" \
            "nosha:an entry has no sha256"; do
    site=${case%%:*} reason=${case#*:}
    inst="$work/inst-$site"
    install_old "$inst" "$site" updater_signed.exe
    run_updater "$inst"
    check "b/$site: exit code 0 (got $rc)" test $rc -eq 0
    check "b/$site: nothing was installed or fetched" eval 'untouched "$inst" && no_file_fetched'
    check "b/$site: the stand-in was started" standin_starts "$inst" 1
    check "b/$site: the log says \"manifest unreadable: $reason\"" logged "$inst" "manifest unreadable: $reason"
done

# c. A served file swapped for bytes with the manifest's MD5: the SHA-256 fails
# the run, with the built-in key and without one.
for exe in updater_signed.exe updater.exe; do
    inst="$work/inst-swapped-$exe"
    install_old "$inst" swapped "$exe"
    run_updater "$inst" box
    check "c/$exe: the failure box appeared and was dismissed" test "$box_rc" -eq 0
    check "c/$exe: exit code 0 (got $rc)" test $rc -eq 0
    check "c/$exe: the planted game.dat was fetched" grep -q 'GET /swapped/files/game.dat ' <<<"$requests"
    check "c/$exe: nothing was installed" untouched "$inst"
    check "c/$exe: the stand-in was not started" standin_starts "$inst" 0
    check "c/$exe: the log names the SHA-256 mismatch" logged "$inst" "download game.dat: failed: SHA-256 mismatch"
done
check "c: the signing updater had verified the re-signed manifest" logged "$work/inst-swapped-updater_signed.exe" \
    "manifest: signature verified"

# d. After a finished run at serial 300, a correctly signed older release at 100 is refused.
inst="$work/inst-replay"
install_old "$inst" serial300 updater_signed.exe
run_updater "$inst"
check "d: the run at serial 300 installs the release" installed "$inst"
check "d: the run at serial 300 started the stand-in" standin_starts "$inst" 1
check "d: the serial 300 was kept" logged "$inst" "manifest serial 300 kept"
set_site "$inst" serial100
run_updater "$inst"
check "d: the run at serial 100 exits with code 0 (got $rc)" test $rc -eq 0
check "d: the older release was not installed or fetched" eval 'installed "$inst" && no_file_fetched'
check "d: the run at serial 100 started the stand-in" standin_starts "$inst" 2
check "d: the log says the manifest is older" logged "$inst" "manifest unreadable: it is older than the last manifest installed"
# A serial file that holds no number (emptied, or garbage, as only the player's
# machine can leave it) is taken as absent and written anew: signed updates go
# on, and older manifests are refused again afterwards.
serial_is() { test "$(tr -d '\r\n' < "$1/Update/manifest.serial")" = "$2"; }
last_line_has() { tail -n 1 "$1/Update/update.log" | grep -Fq -- "$2"; }
: > "$inst/Update/manifest.serial"
set_site "$inst" serial300
run_updater "$inst"
check "d: with the serial file emptied, exit code 0 (got $rc)" test $rc -eq 0
check "d: with the serial file emptied, the release stays and nothing is fetched" eval 'installed "$inst" && no_file_fetched'
check "d: with the serial file emptied, the stand-in was started" standin_starts "$inst" 3
check "d: the log says the serial file was taken as absent" logged "$inst" "holds no serial; taken as absent"
check "d: the emptied serial file holds 300 again" serial_is "$inst" 300
check "d: the run with the serial file emptied finished" last_line_has "$inst" "outcome: finished"
printf 'not a serial\r\n' > "$inst/Update/manifest.serial"
set_site "$inst" serial400
run_updater "$inst"
check "d: with a serial file of garbage, the release at serial 400 is installed" installed3 "$inst"
check "d: with a serial file of garbage, the stand-in was started again" standin_starts "$inst" 4
check "d: the serial 400 was kept" serial_is "$inst" 400
set_site "$inst" serial100
run_updater "$inst"
check "d: after that, the release at serial 100 is refused again" \
    test "$(grep -c "manifest unreadable: it is older than the last manifest installed" "$inst/Update/update.log")" -eq 2
check "d: the refused run is logged as failed" last_line_has "$inst" "outcome: failed (no manifest was read"
check "d: the refused run started the stand-in" standin_starts "$inst" 5

# e. An updater without a key installs from a signed manifest.
inst="$work/inst-unkeyed"
install_old "$inst" signed updater.exe
run_updater "$inst"
check "e: exit code 0 (got $rc)" test $rc -eq 0
check "e: the release is installed" installed "$inst"
check "e: the stand-in was started" standin_starts "$inst" 1
check "e: no signature was checked" bash -c '! grep -q "signature verified" "$1/Update/update.log"' _ "$inst"

echo
if [ $failures -eq 0 ]; then echo "signing end-to-end: all checks passed"; else echo "signing end-to-end: $failures check(s) failed (see $work)"; fi
[ $failures -eq 0 ]
