# Pieces the benchmark scripts share; sourced by them, never run by itself. The caller sets ROOT,
# BUILD, WORK, NGINX and PYTHON first.

# Installs the packages of missing peers when possible ("command=package" pairs), then prints the
# commands that are there; those still missing are reported and left out.
bench_install_peers() {
  local pair missing=() present=() sudo=""
  for pair in "$@"; do
    command -v "${pair%%=*}" >/dev/null || missing+=("${pair#*=}")
  done
  if (( ${#missing[@]} )); then
    echo "installing: ${missing[*]}" >&2
    [[ $(id -u) -eq 0 ]] || sudo="sudo"
    if ! { DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -q --no-install-recommends "${missing[@]}" \
             </dev/null >/dev/null 2>&1 \
           || { $sudo apt-get update -q </dev/null >/dev/null 2>&1 \
                && DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -q --no-install-recommends \
                     "${missing[@]}" </dev/null >/dev/null 2>&1; }; }; then
      echo "cannot install ${missing[*]}" >&2
    fi
  fi
  for pair in "$@"; do
    if command -v "${pair%%=*}" >/dev/null; then
      present+=("${pair%%=*}")
    else
      echo "cannot find <${pair%%=*}>: running without it" >&2
    fi
  done
  echo "${present[*]}"
}

# Builds one target in the benchmark's own Release folder; the log is shown only on failure.
bench_build() { # target
  echo "building $1 (Release) in <$BUILD>" >&2
  if ! { cmake -S "$ROOT" -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=Release -DQUORVEL_BUILD_TESTS=OFF \
         && cmake --build "$BUILD" --target "$1" -j2; } > "$WORK/build.log" 2>&1; then
    tail -20 "$WORK/build.log" >&2
    echo "cannot build $1" >&2
    exit 1
  fi
}

# A port on 127.0.0.1 that was free a moment ago.
bench_free_port() {
  "$PYTHON" -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'
}

# Starts nginx in the foreground on its own configuration in WORK and waits until the probe
# address answers; NGINX_PID is then set for bench_cleanup. The caller gives the http-level lines
# that differ (logging, chunking) and the server block.
bench_start_nginx() { # probe-url http-lines server-block
  mkdir -p "$WORK/temp"
  cat > "$WORK/nginx.conf" <<EOF
daemon off;
master_process off;
pid $WORK/nginx.pid;
lock_file $WORK/nginx.lock;
error_log $WORK/error.log warn;
events { worker_connections 256; }
http {
  client_body_temp_path $WORK/temp/body;
  proxy_temp_path $WORK/temp/proxy;
  fastcgi_temp_path $WORK/temp/fastcgi;
  uwsgi_temp_path $WORK/temp/uwsgi;
  scgi_temp_path $WORK/temp/scgi;
  default_type application/octet-stream;
  sendfile on;
  tcp_nopush on;
  keepalive_timeout 60s;
$2
$3
}
EOF
  "$NGINX" -p "$WORK" -c "$WORK/nginx.conf" -e "$WORK/error.log" &
  NGINX_PID=$!
  for _ in $(seq 100); do
    "$PYTHON" -c "import urllib.request; urllib.request.urlopen('$1', timeout=1).read(1)" 2>/dev/null && break
    sleep 0.1
  done
  kill -0 "$NGINX_PID" 2>/dev/null || { echo "cannot start nginx:" >&2; cat "$WORK/error.log" >&2; exit 1; }
}

# Stops the server by its PID and removes the work folder; for `trap bench_cleanup EXIT`.
bench_cleanup() {
  if [[ -n "${NGINX_PID:-}" ]]; then
    kill "$NGINX_PID" 2>/dev/null || true
    wait "$NGINX_PID" 2>/dev/null || true
  fi
  rm -rf "$WORK"
}
