#!/usr/bin/env bash
# Prepares the Wine prefix named by WINEPREFIX once: boots it, makes windows
# unmanaged (no window manager under Xvfb) and maps the dialog font 宋体/SimSun
# to a font with SimSun's metrics, so dialog units come out as on Windows.
set -euo pipefail
: "${WINEPREFIX:?}"
export WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" LC_ALL=zh_CN.UTF-8
[ -f "$WINEPREFIX/.ready" ] && exit 0
mkdir -p "$(dirname "$WINEPREFIX")"
(
    flock 9
    if [ ! -f "$WINEPREFIX/.ready" ]; then
        wine wineboot -i >/dev/null 2>&1 || true
        wineserver -w 2>/dev/null || true
        wine reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /d N /f >/dev/null 2>&1
        for name in 宋体 SimSun; do
            wine reg add 'HKCU\Software\Wine\Fonts\Replacements' /v "$name" /d "AR PL SungtiL GB" /f >/dev/null 2>&1
        done
        wineserver -w 2>/dev/null || true
        touch "$WINEPREFIX/.ready"
    fi
) 9>"$WINEPREFIX.lock"
