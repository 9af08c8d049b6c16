#!/usr/bin/env bash
# The update behind a proxy, end to end: tinyproxy on 127.0.0.1 set as the
# proxy in this test's own Wine prefix (Internet Settings, as a café's or an
# office's Windows has it), nginx serving the site, the real updater.exe.
#   proxy_e2e.sh BIN_DIR PUBLISHER
# ProxyOverride exempts only "localhost", so every request for 127.0.0.1 must
# go through the proxy. Run 1 installs over HTTP; run 1b patches a big file
# of the next release with range requests through the proxy; run 2 installs
# over HTTPS through CONNECT (a throw-away authority trusted in this prefix
# only). Then the proxy asks for credentials (407): run 3 gets it for the
# manifest (the quiet path: nothing fetched, the platform started), run 4
# reads its manifest from "localhost" past the proxy and gets it for the
# first file (box, nothing installed). The proxy settings and the trust are
# undone at the end.
set -uo pipefail
if [ $# -ne 2 ]; then echo "usage: $0 BIN_DIR PUBLISHER" >&2; exit 2; fi
bin=$(cd "$1" && pwd) || exit 1
publisher=$2
source "$(dirname "$0")/e2e-lib.sh"
e2e_require "$bin" tinyproxy nginx openssl curl iconv python3 -- updater.exe Quorvanta.exe dismissbox.exe trustroot.exe
e2e_publisher "$publisher"
e2e_display "$@"
# Wine's WinINet would take these over the prefix's settings.
unset http_proxy https_proxy HTTP_PROXY HTTPS_PROXY no_proxy NO_PROXY

work="$(dirname "$bin")/proxy_e2e"
e2e_workdir "$work"
pki="$work/pki"
mkdir -p "$pki"
e2e_prefix "${PROXY_E2E_WINEPREFIX:-$(dirname "$bin")/wineprefix-proxy}"

settings='HKCU\Software\Microsoft\Windows\CurrentVersion\Internet Settings'
proxy_set=
trusted_added=
undo_proxy() {
    local v
    for v in ProxyEnable ProxyServer ProxyOverride; do
        timeout 30 "$wine" reg delete "$settings" /v "$v" /f >/dev/null 2>&1
    done
    proxy_set=
}
cleanup() {
    # The prefix keeps neither the proxy nor the trust in a throw-away authority.
    [ -n "$proxy_set" ] && undo_proxy
    [ -n "$trusted_added" ] && timeout 30 "$wine" "$bin/trustroot.exe" remove "$pki/proxy-ca.crt" >/dev/null 2>&1
    e2e_cleanup
}
trap cleanup EXIT

# --- The sites: one release over HTTP and over HTTPS ----------------------------
make_ca "$pki" proxy && make_server_cert "$pki" proxy ||
    { echo "FAIL: openssl could not make the certificates (see $pki/openssl.log)"; exit 1; }
if timeout 60 "$wine" "$bin/trustroot.exe" add "$pki/proxy-ca.crt"; then trusted_added=1; fi
check "the test CA was added to the Wine prefix's Root store" test -n "$trusted_added"

rel="$work/release"
make_release "$rel"
http_port=$(free_port)
https_port=$(free_port)
open_port=$(free_port)
auth_port=$(free_port)
check "four different ports" test "$(printf '%s\n' "$http_port" "$https_port" "$open_port" "$auth_port" | sort -u | wc -l)" -eq 4
publish() { "$publisher" --quiet "${3:-$rel}" "$1" "$2" >/dev/null; }  # publish BASE_URL SITE [RELEASE]
check "the publisher publishes the release for http://127.0.0.1:$http_port" publish "127.0.0.1:$http_port" "$work/site-http"
check "the publisher publishes it for https://127.0.0.1:$https_port" publish "https://127.0.0.1:$https_port" "$work/site-https"

"$(dirname "$0")/../scripts/serve-static.sh" "$work/site-http" "$http_port" "$work/nginx-http" 280 &
servers+=($!)
"$(dirname "$0")/../scripts/serve-static.sh" "$work/site-https" "$https_port" "$work/nginx-https" 280 "" \
    "$pki/proxy-server.crt" "$pki/proxy-server.key" &
servers+=($!)

# start_proxy NAME PORT [BASIC_AUTH_USER]: tinyproxy on 127.0.0.1:PORT, logging every request.
start_proxy() {
    {
        printf 'Port %s\nListen 127.0.0.1\nAllow 127.0.0.1\nTimeout 60\nMaxClients 20\n' "$2"
        printf 'LogFile "%s"\nLogLevel Connect\nViaProxyName "e2e-proxy"\n' "$work/$1.log"
        [ -z "${3:-}" ] || printf 'BasicAuth %s secret\n' "$3"
    } > "$work/$1.conf"
    : > "$work/$1.log"
    timeout 280 tinyproxy -d -c "$work/$1.conf" >>"$work/$1.out" 2>&1 &
    servers+=($!)
}
start_proxy proxy-open "$open_port"
start_proxy proxy-auth "$auth_port" player
proxy_answers() {  # proxy_answers PORT URL STATUS: the proxy gives URL that status
    test "$(curl -sS -o /dev/null -w '%{http_code}' -x "http://127.0.0.1:$1" "$2" 2>/dev/null)" = "$3"
}
for _ in $(seq 100); do
    proxy_answers "$open_port" "http://127.0.0.1:$http_port/update/update.xml" 200 &&
        proxy_answers "$auth_port" "http://127.0.0.1:$http_port/update/update.xml" 407 && break
    sleep 0.1
done
check "tinyproxy relays the HTTP site" proxy_answers "$open_port" "http://127.0.0.1:$http_port/update/update.xml" 200
check "the other tinyproxy asks for credentials (407)" \
    proxy_answers "$auth_port" "http://127.0.0.1:$http_port/update/update.xml" 407
check "nginx serves the HTTPS site" \
    curl -fsS --cacert "$pki/proxy-ca.crt" "https://127.0.0.1:$https_port/update/update.xml" -o /dev/null

use_proxy() {  # use_proxy PORT: the prefix's Windows proxy settings
    proxy_set=1
    "$wine" reg add "$settings" /v ProxyEnable /t REG_DWORD /d 1 /f >/dev/null 2>&1 &&
    "$wine" reg add "$settings" /v ProxyServer /d "127.0.0.1:$1" /f >/dev/null 2>&1 &&
    "$wine" reg add "$settings" /v ProxyOverride /d "localhost" /f >/dev/null 2>&1
}
since() { tail -n +$(($2 + 1)) "$1" 2>/dev/null; }  # since FILE FROM_LINE
updater_lines() { grep '"updater" via=' | cat; }    # the updater's requests in an nginx log
log_of() { iconv -f GBK -t UTF-8 "$1/Update/update.log" 2>/dev/null; }
changed='(game\.dat|maps/level1\.map|textures\.pak|updater\.exe|%E8%B5%84%E6%96%99/%E8%AF%B4%E6%98%8E\.txt)'
installed_all() {  # installed_all DIR: the release is in place
    local f
    for f in game.dat readme.txt maps/level1.map "资料/说明.txt" textures.pak Quorvanta.exe; do
        cmp -s "$rel/$f" "$1/$f" || { echo "  $f differs"; return 1; }
    done
    cmp -s "$rel/updater.exe" "$1/updater.EX_"
}
installed_nothing() {  # installed_nothing DIR
    test "$(cat "$1/game.dat")" = "game data, version 1 (as installed)" -a \
        ! -e "$1/maps/level1.map" -a ! -e "$1/updater.EX_" -a ! -e "$1/textures.pak"
}

# --- Run 1: HTTP through the proxy -----------------------------------------------
check "the prefix's proxy is set to tinyproxy (ProxyOverride: localhost only)" use_proxy "$open_port"
inst="$work/install-http"
install_old "$inst" "127.0.0.1:$http_port"
start_standin "$inst"
proxy_from=$(lines "$work/proxy-open.log")
nginx_from=$(lines "$work/nginx-http/access.log")
(cd "$inst" && timeout 120 "$wine" "$inst/updater.exe" >/dev/null 2>&1)
rc=$?
before=$failures
check "run 1: updater.exe exits with code 0 (got $rc)" test $rc -eq 0
check "run 1: the release is installed" installed_all "$inst"
check "run 1: the stand-in was stopped and started again" test "$(lines "$inst/standin-started.txt")" -eq 2
proxied=$(since "$work/proxy-open.log" "$proxy_from")
served=$(since "$work/nginx-http/access.log" "$nginx_from" | updater_lines)
check "run 1: the proxy's log has the manifest request" \
    grep -Eq "Request .*: GET http://127\.0\.0\.1:$http_port/update/update\.xml\?=[0-9]+ HTTP" <<<"$proxied"
check "run 1: the proxy's log has the 5 changed and new files, once each" \
    test "$(grep -Ec "Request .*: GET http://127\.0\.0\.1:$http_port/files/$changed HTTP" <<<"$proxied")" -eq 5
check "run 1: nginx served the updater 6 requests" test "$(grep -c . <<<"$served")" -eq 6
check "run 1: every one of them came through the proxy (Via: e2e-proxy)" \
    test "$(grep -c 'via="[^"]*e2e-proxy' <<<"$served")" -eq 6
check "run 1: the restarted stand-in has its window (closed now)" timeout 30 "$wine" "$bin/dismissbox.exe" close 10000
[ $failures -eq $before ] || { show_log "$inst"; echo "$proxied"; }

# --- Run 1b: the next release changes 64 KiB of textures.pak; patched through the proxy
rel2="$work/release2"
cp -a "$rel" "$rel2"
dd if=/dev/urandom of="$rel2/textures.pak" bs=64K seek=20 count=1 conv=notrunc status=none
check "the publisher publishes the next release over the first" publish "127.0.0.1:$http_port" "$work/site-http" "$rel2"
mv "$inst/updater.EX_" "$inst/updater.exe"   # swapped in, as the platform does
proxy_from=$(lines "$work/proxy-open.log")
nginx_from=$(lines "$work/nginx-http/access.log")
(cd "$inst" && timeout 120 "$wine" "$inst/updater.exe" >/dev/null 2>&1)
rc=$?
before=$failures
proxied=$(since "$work/proxy-open.log" "$proxy_from")
served=$(since "$work/nginx-http/access.log" "$nginx_from" | updater_lines)
patched=$(log_of "$inst" | grep -o 'download textures\.pak: patched: .*' | tail -1)
ranges=$(sed -n 's/.* in \([0-9]*\) range request(s).*/\1/p' <<<"$patched")
index_requests=$(sed -n 's/.* chunk index \([0-9]*\) request(s).*/\1/p' <<<"$patched")
check "run 1b: updater.exe exits with code 0 (got $rc)" test $rc -eq 0
check "run 1b: textures.pak is the new one" cmp -s "$rel2/textures.pak" "$inst/textures.pak"
check "run 1b: the run log says it was patched (${patched:-no such line})" test -n "$ranges"
check "run 1b: the proxy relayed its ${index_requests:-?} chunk index request(s) (the head, the lists) and its $ranges range request(s), nothing else" \
    test "${index_requests:-0}" -ge 2 -a \
    "$(grep -c "Request .*: GET http://127\.0\.0\.1:$http_port/chunks/textures\.pak\.idx HTTP" <<<"$proxied")" -eq "${index_requests:-0}" -a \
    "$(grep -c "Request .*: GET http://127\.0\.0\.1:$http_port/files/textures\.pak HTTP" <<<"$proxied")" -eq "${ranges:-0}" -a \
    "$(grep -c "Request .*: GET http://127\.0\.0\.1:$http_port/files/" <<<"$proxied")" -eq "${ranges:-0}"
check "run 1b: nginx answered each range with 206 through the proxy, less than 256 KiB in all" \
    awk -v want="${ranges:-0}" '/"GET \/files\/textures\.pak HTTP[^"]*" 206 [0-9]+ .*via="[^"]*e2e-proxy/ { n++; b += $10 }
        END { exit !(n == want && n > 0 && b < 262144) }' <<<"$served"
check "run 1b: the restarted stand-in has its window (closed now)" timeout 30 "$wine" "$bin/dismissbox.exe" close 10000
[ $failures -eq $before ] || { show_log "$inst"; echo "$proxied"; echo "$served"; }

# --- Run 2: HTTPS through CONNECT ------------------------------------------------
inst="$work/install-https"
install_old "$inst" "https://127.0.0.1:$https_port"
start_standin "$inst"
proxy_from=$(lines "$work/proxy-open.log")
nginx_from=$(lines "$work/nginx-https/access.log")
(cd "$inst" && timeout 120 "$wine" "$inst/updater.exe" >/dev/null 2>&1)
rc=$?
before=$failures
check "run 2: updater.exe exits with code 0 (got $rc)" test $rc -eq 0
check "run 2: the release is installed" installed_all "$inst"
proxied=$(since "$work/proxy-open.log" "$proxy_from")
served=$(since "$work/nginx-https/access.log" "$nginx_from" | updater_lines)
tunnels=$(grep -c "Request .*: CONNECT 127\.0\.0\.1:$https_port HTTP" <<<"$proxied")
connections=$(grep -o 'connection=[0-9]*' <<<"$served" | sort -u | wc -l)
check "run 2: nginx served the manifest and the 5 files over TLS" \
    test "$(grep -Ec "\"GET /(update/update\.xml\?=[0-9]+|files/$changed) HTTP[^\"]*\" 200" <<<"$served")" -eq 6
check "run 2: the proxy opened tunnels with CONNECT (got $tunnels)" test "$tunnels" -ge 1
check "run 2: nginx's connections are exactly the proxy's tunnels ($connections for $tunnels)" \
    test "$connections" -eq "$tunnels"
check "run 2: the restarted stand-in has its window (closed now)" timeout 30 "$wine" "$bin/dismissbox.exe" close 10000
[ $failures -eq $before ] || { show_log "$inst"; echo "$proxied"; }

# --- Run 3: the proxy answers 407 to the manifest request ---------------------------
check "the prefix's proxy is set to the one that asks for credentials" use_proxy "$auth_port"
inst="$work/install-407-manifest"
install_old "$inst" "127.0.0.1:$http_port"
start_standin "$inst"
proxy_from=$(lines "$work/proxy-auth.log")
nginx_from=$(lines "$work/nginx-http/access.log")
start=$(date +%s)
(cd "$inst" && timeout 120 "$wine" "$inst/updater.exe" >/dev/null 2>&1)
rc=$?
seconds=$(($(date +%s) - start))
before=$failures
check "run 3: updater.exe exits with code 0 (got $rc) within 30 s (took $seconds s)" test $rc -eq 0 -a "$seconds" -le 30
check "run 3: the proxy was asked for the manifest" \
    grep -Eq "Request .*: GET http://127\.0\.0\.1:$http_port/update/update\.xml\?=[0-9]+ HTTP" <(since "$work/proxy-auth.log" "$proxy_from")
check "run 3: nothing reached the web server" test -z "$(since "$work/nginx-http/access.log" "$nginx_from")"
check "run 3: the run log has the proxy's 407 for the manifest" grep -q 'manifest: HTTP 407' <(log_of "$inst")
check "run 3: nothing was fetched or installed" installed_nothing "$inst"
check "run 3: the running stand-in was left alone" kill -0 "$standin"
check "run 3: no second platform was started beside it (1 start logged)" \
    test "$(lines "$inst/standin-started.txt")" -eq 1
timeout 30 "$wine" "$bin/dismissbox.exe" close 5000 >/dev/null
[ $failures -eq $before ] || show_log "$inst"

# --- Run 4: the manifest past the proxy, the first file gets 407 ------------------
inst="$work/install-407-file"
install_old "$inst" "localhost:$http_port"
start_standin "$inst"
proxy_from=$(lines "$work/proxy-auth.log")
nginx_from=$(lines "$work/nginx-http/access.log")
start=$(date +%s)
(cd "$inst" && exec timeout 120 "$wine" "$inst/updater.exe" >/dev/null 2>&1) &
upd=$!
pids+=("$upd")
timeout 60 "$wine" "$bin/dismissbox.exe" box 40000 > "$work/box.txt"
box_rc=$?
box_text=$(tr -d '\r' < "$work/box.txt" | iconv -f GBK -t UTF-8)
wait "$upd"
rc=$?
seconds=$(($(date +%s) - start))
before=$failures
check "run 4: the failure message box appeared and was dismissed" test "$box_rc" -eq 0
check "run 4: it shows the configured message (got: $box_text)" \
    test "$box_text" = "更新失败，请到www.example.com下载最新版本"
check "run 4: updater.exe exits with code 0 (got $rc) within 30 s (took $seconds s)" test $rc -eq 0 -a "$seconds" -le 30
check "run 4: the manifest came from the web server directly (localhost is exempt)" \
    grep -Eq '"GET /update/update\.xml\?=[0-9]+ HTTP[^"]*" 200 .*via="-"' <(since "$work/nginx-http/access.log" "$nginx_from")
check "run 4: no file reached the web server" \
    bash -c '! grep -q "GET /files/" <<<"$1"' _ "$(since "$work/nginx-http/access.log" "$nginx_from")"
check "run 4: the proxy was asked for the first file" \
    grep -Eq "Request .*: GET http://127\.0\.0\.1:$http_port/files/game\.dat HTTP" <(since "$work/proxy-auth.log" "$proxy_from")
# Several files are in flight: whichever 407 comes first fails the run; other files may log
# between the two lines.
check "run 4: the run log has the proxy's 407 for a file, and that file's failure" \
    grep -Pzq 'download ([^:\n]+): HTTP 407[^\n]*\n(?:[^\n]*\n)*?[^\n]*download \1: failed' <(log_of "$inst")
check "run 4: nothing was installed" installed_nothing "$inst"
check "run 4: the stand-in was not started again" test "$(lines "$inst/standin-started.txt")" -eq 1
[ $failures -eq $before ] || show_log "$inst"

undo_proxy
check "the prefix's proxy settings are removed again" \
    bash -c '! "$1" reg query "$2" /v ProxyServer >/dev/null 2>&1' _ "$wine" "$settings"

echo
if [ $failures -eq 0 ]; then echo "proxy end-to-end: all checks passed"; else echo "proxy end-to-end: $failures check(s) failed (see $work)"; fi
[ $failures -eq 0 ]
