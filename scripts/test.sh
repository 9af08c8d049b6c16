#!/usr/bin/env bash
# Installs what is missing, builds, and runs every test (Windows programs under
# Wine inside a virtual X display).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/install-deps.sh"
"$root/scripts/build.sh"
status=0
(cd "$root/build/native" && ctest --output-on-failure) || status=1
(cd "$root/build/win" && xvfb-run -a -s "-screen 0 1024x768x24" ctest --output-on-failure) || status=1
exit $status
