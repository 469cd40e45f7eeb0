# A private nginx on a free loopback port for the demo and the benchmarks:
# its configuration, pid file, logs and temporary folders live in a folder of
# the caller's, it runs in the foreground as the caller's child, and it is
# stopped by its own pid. The system's nginx is never used or disturbed.
# Sourced by bash scripts; sets PORT and NGINX_PID.

NGINX_BIN=$(command -v nginx || true)
[ -n "$NGINX_BIN" ] || NGINX_BIN=/usr/sbin/nginx
NGINX_PID=""
PORT=""

private_nginx_free_port() {
  python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1]); s.close()'
}

# private_nginx_stop: stops the server (SIGTERM, then SIGKILL after 5 s).
private_nginx_stop() {
  if [ -n "$NGINX_PID" ] && kill -0 "$NGINX_PID" 2>/dev/null; then
    kill "$NGINX_PID" 2>/dev/null || true
    for _ in $(seq 50); do kill -0 "$NGINX_PID" 2>/dev/null || break; sleep 0.1; done
    kill -0 "$NGINX_PID" 2>/dev/null && kill -9 "$NGINX_PID" 2>/dev/null || true
    wait "$NGINX_PID" 2>/dev/null || true
  fi
  NGINX_PID=""
}

# private_nginx_start DIR ROOT PROBE USER_LINE HTTP_LINES SERVER_LINES
# Serves ROOT on 127.0.0.1:$PORT and waits until PROBE (a path) answers.
# USER_LINE is the "user" directive or empty; HTTP_LINES and SERVER_LINES go
# into the http and server blocks. Returns 1, with the error log on
# standard error, when it cannot be started.
private_nginx_start() {
  local dir=$1 root=$2 probe=$3 user_line=$4 http_lines=$5 server_lines=$6
  mkdir -p "$dir/tmp"
  for _ in 1 2 3; do
    PORT=$(private_nginx_free_port)
    cat >"$dir/nginx.conf" <<CONF
$user_line
worker_processes 1;
daemon off;
pid $dir/nginx.pid;
error_log $dir/error.log;
events { worker_connections 256; }
http {
  access_log $dir/access.log;
  client_body_temp_path $dir/tmp/body;
  proxy_temp_path $dir/tmp/proxy;
  fastcgi_temp_path $dir/tmp/fastcgi;
  uwsgi_temp_path $dir/tmp/uwsgi;
  scgi_temp_path $dir/tmp/scgi;
  types { text/plain txt; application/zip zip; }
  default_type application/octet-stream;
  sendfile on;
  $http_lines
  server {
    listen 127.0.0.1:$PORT;
    root $root;
    $server_lines
  }
}
CONF
    "$NGINX_BIN" -e "$dir/error.log" -p "$dir" -c "$dir/nginx.conf" &
    NGINX_PID=$!
    for _ in $(seq 50); do
      if curl -fs -o /dev/null "http://127.0.0.1:$PORT$probe"; then return 0; fi
      kill -0 "$NGINX_PID" 2>/dev/null || break
      sleep 0.1
    done
    private_nginx_stop
  done
  cat "$dir/error.log" >&2 || true
  return 1
}
