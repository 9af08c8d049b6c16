#!/usr/bin/env bash
# Builds the Windows programs and tests (cross-compiled) into build/win and the
# native tools into build/native. Arguments go to the Windows configure, e.g.
#   scripts/build.sh -DUPDATER_PUBLIC_KEY=$PWD/update-key.pub.pem
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cmake -S "$root" -B "$root/build/win" -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64.cmake" -DCMAKE_BUILD_TYPE=Release "$@" >/dev/null
cmake --build "$root/build/win" -j2
cmake -S "$root" -B "$root/build/native" -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$root/build/native" -j2
# What we ship, and its debug information kept beside it.
exe="$root/build/win/bin/updater.exe"
printf 'updater.exe %d KiB (stripped), updater.exe.debug %d KiB\n' \
    $(( $(stat -c %s "$exe") / 1024 )) $(( $(stat -c %s "$exe.debug") / 1024 ))
