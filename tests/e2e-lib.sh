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
