#!/usr/bin/env bash
# Inside the X display: the platform stand-in runs, then the updater does its
# job while screenshots of its window are taken.
#   demo-session.sh DEMO_DIR BIN_DIR [again]
# With "again" (the second release) no screenshots are taken and the results
# go to DEMO_DIR/again.*.
set -uo pipefail
demo="$1"
bin="$2"
again=${3:-}
wine=$(command -v wine64 || command -v wine)
cd "$demo/install"
"$wine" "$demo/install/Quorvanta.exe" >/dev/null 2>&1 &
standin=$!
for _ in $(seq 150); do [ -s standin-started.txt ] && break; sleep 0.1; done
sleep 1

# The updater's window is 367x114: its place on the screen, from the window tree.
window_geometry() {
    xwininfo -root -tree 2>/dev/null | grep -Eo '367x114\+[0-9]+\+[0-9]+' | head -1
}
shoot() {  # shoot N
    local geo
    geo=$(window_geometry)
    if [ -n "$geo" ]; then
        import -window root -crop "$geo" +repage "$demo/shots/updater-$1.png" 2>/dev/null
    else
        # Not found: the whole screen trimmed of its black border.
        import -window root "$demo/shots/screen-$1.png" 2>/dev/null &&
            convert "$demo/shots/screen-$1.png" -trim +repage "$demo/shots/screen-$1.png" 2>/dev/null
    fi
}

t0=$(date +%s.%N)
timeout 120 "$wine" "$demo/install/updater.exe" >/dev/null 2>&1 &
upd=$!
if [ -n "$again" ]; then
    wait $upd
    echo $? > "$demo/again.exit"
    python3 -c "print(f'{$(date +%s.%N) - $t0:.1f}')" > "$demo/again.seconds"
    if kill -0 $standin 2>/dev/null; then
        echo "stand-in NOT terminated" > "$demo/again.standin"
        kill $standin 2>/dev/null
    fi
    timeout 30 "$wine" "$bin/dismissbox.exe" close 10000 >/dev/null 2>&1 || true
    exit 0
fi
# Every quarter second while the window is up; the last frames show the close
# box disabled (all files downloaded, installation under way).
for i in $(seq -w 1 200); do
    sleep 0.25
    kill -0 $upd 2>/dev/null || break
    shoot "$i" || true
done
wait $upd
echo $? > "$demo/updater.exit"
python3 -c "print(f'{$(date +%s.%N) - $t0:.1f}')" > "$demo/updater.seconds"

# The stand-in that ran before the update must have been terminated by it.
if kill -0 $standin 2>/dev/null; then
    echo "stand-in NOT terminated" > "$demo/standin.txt"
    kill $standin 2>/dev/null
else
    echo "stand-in terminated during the update" > "$demo/standin.txt"
fi
sleep 2   # the restarted stand-in is on screen now
if [ "$(grep -c started standin-started.txt 2>/dev/null)" -ge 2 ]; then
    sed -i 's/$/ and started again by the updater/' "$demo/standin.txt"
fi
import -window root "$demo/shots/after.png" 2>/dev/null &&
    convert "$demo/shots/after.png" -trim +repage "$demo/shots/after.png" 2>/dev/null
# Close the restarted stand-in as its user would (the helper is built with the tests).
if [ -f "$bin/dismissbox.exe" ]; then
    timeout 30 "$wine" "$bin/dismissbox.exe" close 5000 >/dev/null 2>&1 || true
fi
