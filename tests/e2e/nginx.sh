#!/usr/bin/env bash
# Runs a private nginx that serves a folder as the image server of the end-to-end tests.
#
#   nginx.sh start <root-dir> <port> <state-dir>
#   nginx.sh stop  <root-dir> <port> <state-dir>
#
# The server listens on 127.0.0.1:<port> only and keeps everything it writes (configuration,
# pid file, logs, temp folders) below <state-dir>; nothing under /etc, /var or /run is touched.
# "start" returns once the server answers (exit 1 with the error log when it does not);
# "stop" returns once the master process is gone. The access log is <state-dir>/logs/access.log.
# VX_NGINX_LIMIT_RATE (for example "16k") caps every response's speed, so that a run can be
# watched mid-update.  VX_NGINX_TLS_CERT and VX_NGINX_TLS_KEY (PEM files, both or neither) make the
# server speak https only on the port.
set -euo pipefail

usage() {
  echo "usage: $0 start|stop <root-dir> <port> <state-dir>" >&2
  exit 2
}

[ $# -eq 4 ] || usage
action=$1
root_arg=$2
port=$3
state_arg=$4
case "$port" in
  ''|*[!0-9]*) echo "$0: bad port '$port'" >&2; exit 2 ;;
esac

mkdir -p "$state_arg"
state=$(cd "$state_arg" && pwd)
pidfile=$state/nginx.pid
conf=$state/nginx.conf

# True while the master process named in the pid file is alive.
running() {
  [ -s "$pidfile" ] && kill -0 "$(cat "$pidfile")" 2>/dev/null
}

# True when something answers an HTTP request on the port (a TLS port of nginx answers a plain
# request with a 400 of its own).
answers() {
  local reply
  reply=$( (exec 3<>"/dev/tcp/127.0.0.1/$port" || exit 1
            printf 'HEAD / HTTP/1.0\r\nHost: 127.0.0.1\r\n\r\n' >&3
            head -c 12 <&3) 2>/dev/null) || return 1
  case "$reply" in HTTP/1.*) return 0 ;; *) return 1 ;; esac
}

# Quotes a path for the configuration file.
quoted() {
  local s=${1//\\/\\\\}
  s=${s//\"/\\\"}
  printf '"%s"' "$s"
}

start() {
  command -v nginx >/dev/null 2>&1 || [ -x /usr/sbin/nginx ] || {
    echo "$0: nginx is not installed (Debian package nginx-light)" >&2
    exit 1
  }
  local nginx_bin
  nginx_bin=$(command -v nginx 2>/dev/null || echo /usr/sbin/nginx)
  [ -d "$root_arg" ] || { echo "$0: no such folder: $root_arg" >&2; exit 1; }
  local root
  root=$(cd "$root_arg" && pwd)
  if running; then
    echo "$0: already running (pid $(cat "$pidfile"))" >&2
    exit 1
  fi
  mkdir -p "$state/logs" "$state/temp/body" "$state/temp/proxy" "$state/temp/fastcgi" \
           "$state/temp/uwsgi" "$state/temp/scgi"
  rm -f "$pidfile"
  : > "$state/logs/error.log"

  local listen_ssl="" tls_lines=""
  if [ -n "${VX_NGINX_TLS_CERT:-}${VX_NGINX_TLS_KEY:-}" ]; then
    [ -f "${VX_NGINX_TLS_CERT:-}" ] && [ -f "${VX_NGINX_TLS_KEY:-}" ] || {
      echo "$0: VX_NGINX_TLS_CERT and VX_NGINX_TLS_KEY must both name files" >&2
      exit 1
    }
    listen_ssl=" ssl"
    tls_lines="ssl_certificate $(quoted "$(cd "$(dirname "$VX_NGINX_TLS_CERT")" && pwd)/$(basename "$VX_NGINX_TLS_CERT")");
        ssl_certificate_key $(quoted "$(cd "$(dirname "$VX_NGINX_TLS_KEY")" && pwd)/$(basename "$VX_NGINX_TLS_KEY")");"
  fi

  local user_line=""
  if [ "$(id -u)" = 0 ]; then
    # Workers would otherwise drop to "nobody" and lose access to private test folders.
    user_line="user $(id -un) $(id -gn);"
  fi

  cat > "$conf" <<CONF
$user_line
daemon on;
master_process on;
worker_processes 1;
pid $(quoted "$pidfile");
error_log $(quoted "$state/logs/error.log") info;
lock_file $(quoted "$state/nginx.lock");

events {
    worker_connections 256;
}

http {
    types { }
    default_type application/octet-stream;
    access_log $(quoted "$state/logs/access.log");
    client_body_temp_path $(quoted "$state/temp/body");
    proxy_temp_path $(quoted "$state/temp/proxy");
    fastcgi_temp_path $(quoted "$state/temp/fastcgi");
    uwsgi_temp_path $(quoted "$state/temp/uwsgi");
    scgi_temp_path $(quoted "$state/temp/scgi");
    sendfile on;
    gzip off;
    etag off;
    server_tokens off;
    keepalive_timeout 30s;

    server {
        listen 127.0.0.1:$port$listen_ssl;
        server_name localhost;
        $tls_lines
        root $(quoted "$root");
        autoindex off;
        location / {
            try_files \$uri =404;
            limit_rate ${VX_NGINX_LIMIT_RATE:-0};
        }
    }
}
CONF

  if ! "$nginx_bin" -p "$state/" -c "$conf" -e "$state/logs/error.log"; then
    echo "$0: nginx did not start" >&2
    cat "$state/logs/error.log" >&2 || true
    exit 1
  fi
  local i
  for i in $(seq 1 100); do
    if running && answers; then
      return 0
    fi
    sleep 0.1
  done
  echo "$0: nginx does not answer on 127.0.0.1:$port" >&2
  cat "$state/logs/error.log" >&2 || true
  stop
  exit 1
}

stop() {
  if ! running; then
    rm -f "$pidfile"
    return 0
  fi
  local pid
  pid=$(cat "$pidfile")
  kill -TERM "$pid" 2>/dev/null || true
  local i
  for i in $(seq 1 100); do
    kill -0 "$pid" 2>/dev/null || { rm -f "$pidfile"; return 0; }
    sleep 0.1
  done
  kill -KILL "$pid" 2>/dev/null || true
  rm -f "$pidfile"
}

case "$action" in
  start) start ;;
  stop) stop ;;
  *) usage ;;
esac
