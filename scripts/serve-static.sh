#!/usr/bin/env bash
# Serves a folder with nginx on 127.0.0.1 only, for a bounded time.
#   serve-static.sh ROOT PORT STATE_DIR SECONDS [RATE [CERT KEY]]
# The configuration, logs and temporary files go to STATE_DIR. RATE (for
# example 4m) slows each response down; give "" for full speed. With CERT and
# KEY (PEM files) it serves HTTPS instead of HTTP and logs at level info, so a
# client that gives up on the certificate shows in error.log. Runs in the
# foreground: callers start it in the background and stop it by its PID (the
# signal reaches nginx).
set -euo pipefail
root=$1 port=$2 state=$3 seconds=$4 rate=${5:-} cert=${6:-} key=${7:-}
listen="listen 127.0.0.1:$port;"
[ -z "$cert" ] || listen="listen 127.0.0.1:$port ssl; ssl_certificate $cert; ssl_certificate_key $key;"
mkdir -p "$state/tmp"
cat > "$state/nginx.conf" <<CONF
worker_processes 1;
daemon off;
pid $state/nginx.pid;
error_log $state/error.log${cert:+ info};
events { worker_connections 64; }
http {
    # The usual line, then the proxy a request came through, the connection it came on
    # and the bytes sent with the headers.
    log_format e2e '\$remote_addr - \$remote_user [\$time_local] "\$request" \$status \$body_bytes_sent '
                   '"\$http_referer" "\$http_user_agent" via="\$http_via" connection=\$connection '
                   'sent=\$bytes_sent';
    access_log $state/access.log e2e;
    client_body_temp_path $state/tmp;
    proxy_temp_path $state/tmp;
    fastcgi_temp_path $state/tmp;
    uwsgi_temp_path $state/tmp;
    scgi_temp_path $state/tmp;
    types { text/xml xml; }
    default_type application/octet-stream;
    server {
        $listen
        root $root;
        # A manifest published with update.xml.gz beside it goes out compressed.
        gzip_static on;
        ${rate:+limit_rate $rate;}
    }
}
CONF
exec timeout "$seconds" nginx -e "$state/error.log" -c "$state/nginx.conf" -p "$state"
