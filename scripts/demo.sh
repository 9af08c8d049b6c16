#!/usr/bin/env bash
# The updater's main job, end to end on this machine: an installation with
# older files and the platform stand-in running, a newer release published to
# a local web site served by nginx on 127.0.0.1, and updater.exe run under Wine.
# Prints what changed and saves screenshots of the window in build/demo/.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/install-deps.sh"
"$root/scripts/build.sh"
exec "$root/scripts/demo-run.sh"
