#!/usr/bin/env bash
# Runs a Windows test program under Wine in the build tree's own prefix.
# Used as CMake's cross-compiling emulator, so ctest runs every test through it.
set -euo pipefail
exe="$1"; shift
bin_dir=$(cd "$(dirname "$exe")" && pwd)
export WINEPREFIX="${WINEPREFIX:-$(dirname "$bin_dir")/wineprefix}"
export WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" LC_ALL=zh_CN.UTF-8
wine=$(command -v wine64 || command -v wine)
if [ ! -f "$WINEPREFIX/.ready" ]; then
    (
        flock 9
        if [ ! -f "$WINEPREFIX/.ready" ]; then
            "$wine" wineboot -i >/dev/null 2>&1 || true
            # No window manager under Xvfb: unmanaged windows close at once.
            "$wine" reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /d N /f >/dev/null 2>&1
            touch "$WINEPREFIX/.ready"
        fi
    ) 9>"$WINEPREFIX.lock"
fi
exec "$wine" "$exe" "$@"
