#!/usr/bin/env bash
# Installs the Debian packages the project needs to build, test and demonstrate
# (only what is missing), and the zh_CN.UTF-8 locale Wine needs for code page 936.
set -euo pipefail
packages=(
    cmake make g++ googletest
    g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64 mingw-w64-x86-64-dev
    wine wine64 xvfb xauth x11-apps x11-utils fonts-wqy-microhei fonts-arphic-gbsn00lp imagemagick locales
    nginx-light curl python3 procps
    openssl libssl-dev libcurl4-openssl-dev libxml2-dev zlib1g-dev libz-mingw-w64-dev
    tinyproxy-bin
)
missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
    sudo_cmd=""
    [ "$(id -u)" -ne 0 ] && sudo_cmd="sudo"
    echo "Installing: ${missing[*]}"
    $sudo_cmd apt-get update -q
    DEBIAN_FRONTEND=noninteractive $sudo_cmd apt-get install -y -q --no-install-recommends "${missing[@]}"
fi
if ! locale -a 2>/dev/null | grep -qi '^zh_CN\.utf-\?8$'; then
    sudo_cmd=""
    [ "$(id -u)" -ne 0 ] && sudo_cmd="sudo"
    $sudo_cmd localedef -i zh_CN -f UTF-8 zh_CN.UTF-8
fi
