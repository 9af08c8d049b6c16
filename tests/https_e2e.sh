#!/usr/bin/env bash
# The update over HTTPS, end to end: a release published for an https:// site,
# served by nginx over TLS on 127.0.0.1, read back by the real updater.exe
# under Wine.
#   https_e2e.sh BIN_DIR PUBLISHER
# BIN_DIR holds updater.exe, Quorvanta.exe, dismissbox.exe and trustroot.exe;
# PUBLISHER is the native updater-publish. Each run makes two throw-away
# certificate authorities; only the first one is made trusted, and only in this
# test's own Wine prefix (never on the Linux side). Run 1 updates an
# installation from the server whose certificate that CA signed. The server
# whose certificate the other CA signed is never used: run 2 asks it for the
# manifest (a manifest that cannot be fetched is not reported: nothing is
# queued and the platform is started); run 3 reads a trusted manifest whose
# files are on it, which fails the run: box, nothing installed, no retry.
set -uo pipefail
if [ $# -ne 2 ]; then echo "usage: $0 BIN_DIR PUBLISHER" >&2; exit 2; fi
bin=$(cd "$1" && pwd) || exit 1
publisher=$2
source "$(dirname "$0")/e2e-lib.sh"
e2e_require "$bin" nginx openssl curl iconv python3 -- updater.exe Quorvanta.exe dismissbox.exe trustroot.exe
nginx -V 2>&1 | grep -q -- --with-http_ssl_module ||
    { echo "FAIL: this nginx has no TLS module (scripts/install-deps.sh installs one that has)"; exit 1; }
e2e_publisher "$publisher"
e2e_display "$@"

work="$(dirname "$bin")/https_e2e"
e2e_workdir "$work"
mkdir -p "$work/pki"
# A prefix of our own: the test CA is trusted there and nowhere else.
e2e_prefix "${HTTPS_E2E_WINEPREFIX:-$(dirname "$bin")/wineprefix-https}"

pki="$work/pki"
trusted_added=
cleanup() {
    # The prefix keeps no trust in a throw-away authority.
    [ -n "$trusted_added" ] && timeout 30 "$wine" "$bin/trustroot.exe" remove "$pki/trusted-ca.crt" >/dev/null 2>&1
    e2e_cleanup
}
trap cleanup EXIT

# --- Certificates, new each run ------------------------------------------------
for name in trusted other; do
    make_ca "$pki" "$name" && make_server_cert "$pki" "$name" ||
        { echo "FAIL: openssl could not make the $name certificates (see $pki/openssl.log)"; exit 1; }
done

if timeout 60 "$wine" "$bin/trustroot.exe" add "$pki/trusted-ca.crt"; then trusted_added=1; fi
check "the test CA was added to the Wine prefix's Root store" test -n "$trusted_added"
check "the prefix's Root store holds it" timeout 60 "$wine" "$bin/trustroot.exe" has "$pki/trusted-ca.crt"

# --- The release and the site ----------------------------------------------------
rel="$work/release"
make_release "$rel"

port=$(free_port)
other_port=$(free_port)
while [ "$other_port" = "$port" ]; do other_port=$(free_port); done
base="https://127.0.0.1:$port"
site="$work/site"
check "the publisher publishes the release for $base" "$publisher" --quiet "$rel" "$base" "$site"
manifest="$site/update/update.xml"
check "the manifest lists 7 files" test "$(grep -c '<file ' "$manifest" 2>/dev/null)" = 7
check "every fileload URL is an https URL of the site" \
    test "$(grep -o 'fileload="[^"]*"' "$manifest" | grep -vc "^fileload=\"$base/files/")" = 0
# The same release on the untrusted server, its manifest also reachable through
# the trusted one as $base/elsewhere/update/update.xml.
other_base="https://127.0.0.1:$other_port"
check "the publisher publishes it again for $other_base" "$publisher" --quiet "$rel" "$other_base" "$site/elsewhere" >/dev/null

serve() {  # serve CA_NAME PORT ROOT: ROOT over TLS with that CA's server certificate
    "$(dirname "$0")/../scripts/serve-static.sh" "$3" "$2" "$work/nginx-$1" 280 "" \
        "$pki/$1-server.crt" "$pki/$1-server.key" &
    servers+=($!)
    for _ in $(seq 100); do
        curl -fsS --cacert "$pki/$1-ca.crt" "https://127.0.0.1:$2/update/update.xml" -o /dev/null 2>/dev/null && return 0
        sleep 0.1
    done
    return 1
}
check "nginx serves the site over TLS with the trusted CA's certificate" serve trusted "$port" "$site"
check "nginx serves the other site over TLS with the other CA's certificate" serve other "$other_port" "$site/elsewhere"
# What the servers logged so far was our own readiness probes.
other_requests_from=$(lines "$work/nginx-other/access.log")
other_errors_from=$(lines "$work/nginx-other/error.log")
check "the Linux side does not trust the test CA (it is in the prefix only)" \
    bash -c '! curl -sS "$1/update/update.xml" -o /dev/null 2>/dev/null' _ "$base"


# --- Run 1: a trusted certificate ------------------------------------------------
inst="$work/install"
install_old "$inst" "$base"
start_standin "$inst"
check "the stand-in platform is running" kill -0 "$standin"
(cd "$inst" && timeout 120 "$wine" "$inst/updater.exe" >/dev/null 2>&1)
rc=$?
before=$failures
check "run 1: updater.exe exits with code 0 (got $rc)" test $rc -eq 0
check "run 1: the running stand-in was terminated" ended_within "$standin" 10
for f in game.dat readme.txt maps/level1.map "资料/说明.txt" textures.pak Quorvanta.exe; do
    check "run 1: $f is byte-identical to the release" cmp -s "$rel/$f" "$inst/$f"
done
check "run 1: the new updater is in the side file updater.EX_" cmp -s "$rel/updater.exe" "$inst/updater.EX_"
check "run 1: the running updater.exe was left alone" cmp -s "$bin/updater.exe" "$inst/updater.exe"
check "run 1: the stand-in was started again (2 starts logged)" test "$(lines "$inst/standin-started.txt")" -eq 2
requests=$(cat "$work/nginx-trusted/access.log" 2>/dev/null)
check "run 1: the manifest was asked for over TLS as /update/update.xml?=N" \
    grep -Eq '"GET /update/update\.xml\?=[0-9]+ HTTP[^"]*" 200' <<<"$requests"
check "run 1: changed and new files were downloaded over TLS once each" \
    test "$(grep -Ec 'GET /files/(game\.dat|maps/level1\.map|textures\.pak|updater\.exe|%E8%B5%84%E6%96%99/%E8%AF%B4%E6%98%8E\.txt) HTTP[^"]*" 200' <<<"$requests")" -eq 5
check "run 1: the restarted stand-in has its window (closed now)" timeout 30 "$wine" "$bin/dismissbox.exe" close 10000
[ $failures -eq $before ] || show_log "$inst"

# WinINet's certificate errors: 12037/12038 date/name, 12045 unknown CA, 12055-12057
# certificate and revocation errors (Wine reports 12057 for an unknown CA), 12169/12170.
cert_error='internet error 1(2037|2038|2045|2055|2056|2057|2169|2170)\)'
other_log() { tail -n +$(($2 + 1)) "$work/nginx-other/$1" 2>/dev/null; }  # other_log FILE FROM_LINE
# refused_and_nothing_installed RUN DIR ERRORS_FROM: the untrusted server completed no
# request (over https or plain http: no fallback), the updater reached it and gave up
# on its certificate, and nothing was installed in DIR.
refused_and_nothing_installed() {
    check "$1: the untrusted server completed no request, over https or plain http (no fallback)" \
        test -z "$(other_log access.log "$other_requests_from")"
    check "$1: the updater reached that server and gave up on its certificate" \
        grep -Eq 'closed connection while waiting for request|SSL_do_handshake\(\) failed' <(other_log error.log "$3")
    check "$1: game.dat was not installed" test "$(cat "$2/game.dat")" = "game data, version 1 (as installed)"
    check "$1: nothing new was installed" \
        test ! -e "$2/maps/level1.map" -a ! -e "$2/updater.EX_" -a ! -e "$2/textures.pak"
}

# --- Run 2: the manifest's server has an untrusted certificate ------------------
inst2="$work/install-untrusted-site"
install_old "$inst2" "$other_base"
start_standin "$inst2"
(cd "$inst2" && timeout 120 "$wine" "$inst2/updater.exe" >/dev/null 2>&1)
rc=$?
before=$failures
check "run 2: updater.exe exits with code 0 (got $rc)" test $rc -eq 0
check "run 2: the updater's log names a certificate error for the manifest" \
    grep -Eq "manifest: request failed \($cert_error" <(iconv -f GBK -t UTF-8 "$inst2/Update/update.log" 2>/dev/null)
refused_and_nothing_installed "run 2" "$inst2" "$other_errors_from"
check "run 2: the running stand-in was left alone (nothing was to be replaced)" kill -0 "$standin"
check "run 2: with nothing queued, no second platform was started beside it (1 start logged)" \
    test "$(lines "$inst2/standin-started.txt")" -eq 1
timeout 30 "$wine" "$bin/dismissbox.exe" close 5000 >/dev/null
[ $failures -eq $before ] || show_log "$inst2"

# --- Run 3: a trusted manifest, the files on the untrusted server ---------------
inst3="$work/install-untrusted-files"
install_old "$inst3" "$base/elsewhere"
start_standin "$inst3"
trusted_from=$(lines "$work/nginx-trusted/access.log")
errors_from=$(lines "$work/nginx-other/error.log")
(cd "$inst3" && exec timeout 120 "$wine" "$inst3/updater.exe" >/dev/null 2>&1) &
upd=$!
pids+=("$upd")
timeout 60 "$wine" "$bin/dismissbox.exe" box 40000 > "$work/box.txt"
box_rc=$?
box_text=$(tr -d '\r' < "$work/box.txt" | iconv -f GBK -t UTF-8)
before=$failures
check "run 3: the failure message box appeared and was dismissed" test "$box_rc" -eq 0
check "run 3: it shows the configured message (got: $box_text)" \
    test "$box_text" = "更新失败，请到www.example.com下载最新版本"
wait "$upd"
rc=$?
check "run 3: updater.exe exits with code 0 (got $rc)" test $rc -eq 0
check "run 3: the manifest came from the trusted server" \
    grep -Eq '"GET /elsewhere/update/update\.xml\?=[0-9]+ HTTP[^"]*" 200' <(tail -n +$((trusted_from + 1)) "$work/nginx-trusted/access.log")
check "run 3: the updater's log names a certificate error for a file" \
    grep -Eq "download .*: failed: .*\($cert_error" <(iconv -f GBK -t UTF-8 "$inst3/Update/update.log" 2>/dev/null)
refused_and_nothing_installed "run 3" "$inst3" "$errors_from"
check "run 3: the stand-in was not started again" test "$(lines "$inst3/standin-started.txt")" -eq 1
[ $failures -eq $before ] || show_log "$inst3"

echo
if [ $failures -eq 0 ]; then echo "https end-to-end: all checks passed"; else echo "https end-to-end: $failures check(s) failed (see $work)"; fi
[ $failures -eq 0 ]
