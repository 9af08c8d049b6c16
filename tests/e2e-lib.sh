# Shared by the shell end-to-end tests (sourced, not run): what they need, the
# scratch folder, a Wine prefix of the test's own, and the check reporting.

# e2e_require BIN_DIR TOOL... -- FILE...: every tool on the PATH, every file in BIN_DIR.
e2e_require() {
    local dir=$1; shift
    while [ $# -gt 0 ] && [ "$1" != "--" ]; do
        command -v "$1" >/dev/null || { echo "FAIL: $1 is not installed (scripts/install-deps.sh)"; exit 1; }
        shift
    done
    [ $# -gt 0 ] && shift
    for f in "$@"; do
        [ -f "$dir/$f" ] || { echo "FAIL: $dir/$f is missing (build the Windows targets first)"; exit 1; }
    done
}

# e2e_publisher PATH: the native publisher the test publishes with is built.
e2e_publisher() {
    [ -x "$1" ] || { echo "FAIL: no native publisher at $1 (scripts/build.sh builds it)"; exit 1; }
}

# e2e_display "$@": runs the calling test again inside Xvfb when there is no X
# display (the updater's window and the stand-in need one).
e2e_display() {
    [ -n "${DISPLAY:-}" ] || exec xvfb-run -a -s "-screen 0 1024x768x24" bash "$0" "$@"
}

# e2e_workdir DIR: a fresh scratch folder that nginx's workers (another user) can read.
e2e_workdir() {
    rm -rf "$1"
    mkdir -p "$1"
    chmod 755 "$1"
}

# e2e_prefix PREFIX: exports the Wine settings for a prefix of the test's own (so
# nothing meets the other tests' windows), prepares it and sets $wine.
e2e_prefix() {
    export WINEPREFIX=$1
    export WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" LC_ALL=zh_CN.UTF-8
    wine=$(command -v wine64 || command -v wine)
    timeout 180 "$(dirname "${BASH_SOURCE[0]}")/../scripts/wine-prefix.sh"
}

failures=0
check() {  # check DESCRIPTION COMMAND...
    local what=$1; shift
    if "$@"; then echo "ok   - $what"; else echo "FAIL - $what"; failures=$((failures + 1)); fi
}
lines() { [ -f "$1" ] && wc -l < "$1" || echo 0; }
free_port() { python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'; }

# Programs the test started (pids) and servers it runs (servers, waited for):
# ended on exit with the updater's box and the prefix's processes.
pids=()
servers=()
e2e_cleanup() {
    for p in "${pids[@]}"; do kill "$p" 2>/dev/null; done
    for p in "${servers[@]}"; do kill "$p" 2>/dev/null && wait "$p" 2>/dev/null; done
    timeout 20 "$wine" "$bin/dismissbox.exe" close 500 >/dev/null 2>&1
    WINEPREFIX="$WINEPREFIX" timeout 20 wineserver -k 2>/dev/null
}

make_release() {  # make_release DIR: a newer release of every kind of file (install_old's is older)
    mkdir -p "$1/maps" "$1/资料"
    printf 'game data, version 2 (the new release) %s\n' "$(seq 1 4000 | tr '\n' ' ')" > "$1/game.dat"
    printf 'read me: this file does not change\n' > "$1/readme.txt"
    printf 'level one: the first map of the game\n' > "$1/maps/level1.map"
    printf '说明：新版本的说明文件，名字是中文。\n' > "$1/资料/说明.txt"
    head -c $((3 * 1024 * 1024)) /dev/urandom > "$1/textures.pak"
    cp "$bin/Quorvanta.exe" "$1/Quorvanta.exe"
    cp "$bin/updater.exe" "$1/updater.exe"
    printf '\n' >> "$1/updater.exe"   # another build of the updater
}
install_old() {  # install_old DIR SITE: an installation with an older game.dat, set to update from SITE
    mkdir -p "$1"
    cp "$bin/updater.exe" "$bin/Quorvanta.exe" "$1/"
    printf 'game data, version 1 (as installed)\n' > "$1/game.dat"
    printf 'read me: this file does not change\n' > "$1/readme.txt"
    printf '[Download]\r\nsite=%s\r\n[messages]\r\nErrorMsg=更新失败，请到www.example.com下载最新版本\r\n' "$2" |
        iconv -f UTF-8 -t GBK > "$1/updater.INI"
}
start_standin() {  # start_standin DIR: runs the platform stand-in and waits for its window
    (cd "$1" && exec "$wine" "$1/Quorvanta.exe" >/dev/null 2>&1) &
    standin=$!
    pids+=("$standin")
    for _ in $(seq 150); do [ "$(lines "$1/standin-started.txt")" -ge 1 ] && break; sleep 0.1; done
    sleep 1
}
ended_within() {  # ended_within PID SECONDS
    for _ in $(seq $(($2 * 10))); do kill -0 "$1" 2>/dev/null || return 0; sleep 0.1; done
    return 1
}
show_log() {  # show_log DIR: the updater's own log, for a failed check
    [ -f "$1/Update/update.log" ] && { echo "  update.log:"; iconv -f GBK -t UTF-8 "$1/Update/update.log" | sed 's/^/    /'; }
}

# make_ca PKI NAME: a throw-away certificate authority PKI/NAME-ca.crt (and .key).
make_ca() {
    openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj "/CN=updater e2e $2 CA" \
        -addext basicConstraints=critical,CA:TRUE -addext keyUsage=critical,keyCertSign,cRLSign \
        -keyout "$1/$2-ca.key" -out "$1/$2-ca.crt" 2>>"$1/openssl.log"
}
# make_server_cert PKI CA_NAME: PKI/CA_NAME-server.crt (and .key) for 127.0.0.1, signed by that CA.
make_server_cert() {
    # Wine matches the host only against DNS names, so the address is listed as one too.
    printf '%s\n' 'subjectAltName=IP:127.0.0.1,DNS:127.0.0.1,DNS:localhost' 'basicConstraints=CA:FALSE' \
        'keyUsage=critical,digitalSignature,keyEncipherment' 'extendedKeyUsage=serverAuth' > "$1/server.ext"
    openssl req -newkey rsa:2048 -nodes -subj /CN=127.0.0.1 \
        -keyout "$1/$2-server.key" -out "$1/$2-server.csr" 2>>"$1/openssl.log" &&
    openssl x509 -req -days 2 -in "$1/$2-server.csr" -CA "$1/$2-ca.crt" -CAkey "$1/$2-ca.key" \
        -CAcreateserial -extfile "$1/server.ext" -out "$1/$2-server.crt" 2>>"$1/openssl.log"
}
