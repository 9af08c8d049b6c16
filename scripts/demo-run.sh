#!/usr/bin/env bash
# The demonstration itself (demo.sh installs and builds first).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
bin="$root/build/win/bin"
demo="$root/build/demo"
port=${DEMO_PORT:-18431}
rm -rf "$demo"
mkdir -p "$demo/install" "$demo/release/maps" "$demo/site" "$demo/nginx" "$demo/shots"

# The installation as the player has it: older files, the updater and its settings.
cp "$bin/updater.exe" "$bin/Quorvanta.exe" "$demo/install/"
printf 'game data, version 1\n' > "$demo/install/game.dat"
printf 'read me, unchanged\n' > "$demo/install/readme.txt"
printf '[Download]\r\nsite=127.0.0.1:%s\r\n[messages]\r\nErrorMsg=更新失败，请到www.example.com下载最新版本\r\n' "$port" > "$demo/install/updater.INI"

# The vendor's new release: a changed file, a new file in a folder, a large
# file (so the window is seen at work), the unchanged one and a new updater.
printf 'game data, version 2\n' > "$demo/release/game.dat"
printf 'read me, unchanged\n' > "$demo/release/readme.txt"
printf 'level one\n' > "$demo/release/maps/level1.map"
head -c $((12 * 1024 * 1024)) /dev/urandom > "$demo/release/textures.pak"
cp "$bin/Quorvanta.exe" "$demo/release/Quorvanta.exe"
cp "$bin/updater.exe" "$demo/release/updater.exe"
printf '\n' >> "$demo/release/updater.exe"   # a different build of the updater

# Publish the release as an update site.
publisher="$root/build/native/tools/publisher/updater-publish"
if [ -x "$publisher" ]; then
    "$publisher" "$demo/release" "http://127.0.0.1:$port" "$demo/site"
else
    python3 "$root/scripts/make-site.py" "$demo/release" "http://127.0.0.1:$port" "$demo/site"
fi

# Serve it with nginx on 127.0.0.1 only, slowed down a little so the window is seen.
cat > "$demo/nginx/nginx.conf" <<CONF
worker_processes 1;
daemon off;
pid $demo/nginx/nginx.pid;
error_log $demo/nginx/error.log;
events { worker_connections 64; }
http {
    access_log $demo/nginx/access.log;
    client_body_temp_path $demo/nginx/tmp;
    proxy_temp_path $demo/nginx/tmp;
    fastcgi_temp_path $demo/nginx/tmp;
    uwsgi_temp_path $demo/nginx/tmp;
    scgi_temp_path $demo/nginx/tmp;
    types { text/xml xml; application/octet-stream bin dat pak exe map; }
    server {
        listen 127.0.0.1:$port;
        root $demo/site;
        limit_rate 4m;
    }
}
CONF
mkdir -p "$demo/nginx/tmp"
timeout 300 nginx -c "$demo/nginx/nginx.conf" -p "$demo/nginx" &
nginx_pid=$!
trap 'kill $nginx_pid 2>/dev/null || true' EXIT
for _ in $(seq 50); do curl -fsS "http://127.0.0.1:$port/update/update.xml" -o /dev/null 2>/dev/null && break; sleep 0.1; done

export WINEPREFIX="$root/build/win/wineprefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" LC_ALL=zh_CN.UTF-8
md5_before=$(cd "$demo/install" && md5sum game.dat readme.txt 2>/dev/null)

run() {
    # Under a display of its own when there is none.
    if [ -n "${DISPLAY:-}" ]; then bash "$root/scripts/demo-session.sh" "$demo"; else
        xvfb-run -a -s "-screen 0 1024x768x24" bash "$root/scripts/demo-session.sh" "$demo"; fi
}
start=$(date +%s.%N)
run
end=$(date +%s.%N)

echo
echo "== What the update did =="
cd "$demo/install"
for f in $(cd "$demo/release" && find . -type f | sed 's|^\./||' | sort); do
    if [ "$f" = updater.exe ]; then continue; fi
    if cmp -s "$demo/release/$f" "$f"; then
        if echo "$md5_before" | grep -q " $f\$" && [ "$(echo "$md5_before" | grep " $f\$" | cut -d' ' -f1)" = "$(md5sum "$f" | cut -d' ' -f1)" ]; then
            echo "  unchanged   $f"
        else
            echo "  updated     $f ($(stat -c %s "$f") bytes)"
        fi
    else
        echo "  NOT UPDATED $f"
    fi
done
if cmp -s "$demo/release/updater.exe" updater.EX_; then
    echo "  side file   updater.EX_ written (the new updater; the running updater.exe was left in place)"
else
    echo "  side file   MISSING"
fi
starts=$(grep -c started standin-started.txt 2>/dev/null || echo 0)
echo "  platform    stand-in started $starts times (before the update, and again by the updater)"
echo "  exit code   $(cat "$demo/updater.exit")"
printf '  elapsed     %.1f s\n' "$(echo "$end - $start" | bc -l 2>/dev/null || python3 -c "print($end-$start)")"
echo "  screenshots $(ls "$demo/shots" | tr '\n' ' ')"
