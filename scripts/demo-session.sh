#!/usr/bin/env bash
# Inside the X display: the platform stand-in runs, then the updater does its job.
set -uo pipefail
demo="$1"
cd "$demo/install"
wine "$demo/install/Quorvanta.exe" >/dev/null 2>&1 &
for _ in $(seq 100); do [ -s standin-started.txt ] && break; sleep 0.1; done
sleep 1
wine "$demo/install/updater.exe" >/dev/null 2>&1 &
upd=$!
# Screenshots of the window at work, cropped to the window where it can be found.
for i in 1 2 3 4 5 6 7 8; do
    sleep 0.5
    kill -0 $upd 2>/dev/null || break
    import -window root "$demo/shots/screen-$i.png" 2>/dev/null || true
done
wait $upd
echo $? > "$demo/updater.exit"
sleep 1
