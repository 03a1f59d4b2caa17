# Shared pieces of the peer benchmarks in bench/; sourced, not run.

# What every tile benchmark starts with: the peers installed, zal_bench_server
# built into build/release, the demo's tile (tile_file) and certificate
# (certificate, its key under "kfx.pem") in assets, and a work folder.
prepare_tile_bench() {
  local root=$1
  "$root/scripts/install-deps.sh" build peers bench
  build="$root/build/release"
  build_bench_server "$root" "$build"
  assets="$build/app"
  tile_file="$assets/gophertiles/7_4.jpeg"
  certificate="$assets/zal.pem"  # made by the build
  start_work_dir
}

# Builds zal_bench_server (the component with the demo's handler) into
# BUILD/bench after the library, the demo and its assets; sets bench_server.
build_bench_server() {
  local root=$1 build=$2
  cmake -S "$root" -B "$build" -G Ninja >/dev/null
  cmake --build "$build" -j 2 --target zal zal_demo zal_demo_asset_files >/dev/null
  bench_server="$build/bench/zal_bench_server"
  mkdir -p "$build/bench"
  # Built here rather than by CMake: it needs only the library and the handler.
  g++ -std=c++20 -O2 -g -Wall -Wextra -Wpedantic -I"$root" \
    "$root/bench/zal_bench_server.cpp" "$root/app/zalDemoHandler.cpp" "$root/app/zalDemoFileCache.cpp" \
    "$build/libzal.a" \
    -lssl -lcrypto -lz -lhiredis -pthread -o "$bench_server"
}

# Builds the library, then bench/NAME.cpp with it into BUILD/bench/NAME; prints the program's path.
build_bench_program() {
  local root=$1 build=$2 name=$3
  cmake -S "$root" -B "$build" -G Ninja >/dev/null
  cmake --build "$build" -j 2 --target zal >/dev/null
  mkdir -p "$build/bench"
  g++ -std=c++20 -O2 -g -Wall -Wextra -Wpedantic -I"$root" "$root/bench/$name.cpp" "$build/libzal.a" \
    -lssl -lcrypto -lz -lhiredis -pthread -o "$build/bench/$name"
  echo "$build/bench/$name"
}

# Takes --engine threads|loops|both (default both) and --loops N out of the
# arguments: sets `engines` (the engines to run, in order), `rest` (the other
# arguments) and `loops_option` (what zal_bench_server gets for --loops).
read_engine_options() {
  engines=(threads loops)
  loops_option=()
  rest=()
  while [ $# -gt 0 ]; do
    case $1 in
      --engine)
        case ${2:-} in
          threads | loops) engines=("$2") ;;
          both) ;;
          *) echo "--engine takes threads, loops or both" >&2; exit 2 ;;
        esac
        shift 2 ;;
      --loops) loops_option=(--loops "${2:?--loops takes a count}"); shift 2 ;;
      *) rest+=("$1"); shift ;;
    esac
  done
}

# zal_bench_server's options for ENGINE (the loop count for loops only).
engine_options() {
  if [ "$1" = loops ]; then echo --engine loops "${loops_option[@]}"; else echo --engine "$1"; fi
}

# A work folder in $work; the processes in pids are stopped and it is removed at exit.
start_work_dir() {
  work=$(mktemp -d /tmp/zal_bench.XXXXXX)
  pids=()
  trap bench_cleanup EXIT
}

bench_cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null || true; done
  rm -rf "$work"
}

free_port() {
  /usr/bin/python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])'
}

# Waits (at most 10 s) until URL answers with FILE's exact bytes; more curl options may follow.
wait_serving() {
  local url=$1 file=$2
  shift 2
  for _ in $(seq 100); do
    if curl -ks --max-time 1 "$@" -o "$work/check" "$url" && cmp -s "$work/check" "$file"; then
      return 0
    fi
    sleep 0.1
  done
  echo "no tile from $url" >&2
  return 1
}

# The processes given and their children.
process_tree() {
  local pid
  for pid in "$@" $(for p in "$@"; do pgrep -P "$p" || true; done); do
    [ -r "/proc/$pid/stat" ] && echo "$pid"
  done
  return 0
}

# CPU time (clock ticks) used so far by the processes given and their children.
cpu_ticks() {
  local total=0 pid
  for pid in $(process_tree "$@"); do
    total=$((total + $(sed 's/.*) //' "/proc/$pid/stat" | awk '{print $12 + $13}')))
  done
  echo "$total"
}

# Resident KiB of the processes given and their children.
resident_kib() {
  local total=0 pid
  for pid in $(process_tree "$@"); do
    total=$((total + $(awk '/^VmRSS:/ {print $2}' "/proc/$pid/status")))
  done
  echo "$total"
}

# Waits (at most 10 s) until something accepts connections on `port`.
wait_listening() {
  for _ in $(seq 100); do
    /usr/bin/python3 -c "import socket; socket.create_connection(('127.0.0.1',$1),1)" 2>/dev/null && return 0
    sleep 0.1
  done
  echo "nothing listens on $1" >&2
  return 1
}

# Keeps a run's requests/s and its server's requests per CPU second (REQUESTS
# answered in TICKS clock ticks) as $work/rps_LABEL and $work/cpu_LABEL.
record_figures() {
  local label=$1 rps=$2 requests=$3 ticks=$4
  echo "$rps" >"$work/rps_$label"
  awk -v r="$requests" -v t="$ticks" -v hz="$(getconf CLK_TCK)" \
    'BEGIN { if (t > 0) printf "%.0f\n", r / (t / hz); else print "-" }' >"$work/cpu_$label"
}

# ours/peer of a figure ("rps" or "cpu") of two runs, from $work/<figure>_<label>.
ratio() {
  awk -v a="$(cat "$work/$1_$2")" -v b="$(cat "$work/$1_$3")" 'BEGIN { if (b > 0) printf "%.2f", a / b; else print "-" }'
}

# One line of both ratios ours/peer of the runs OURS and PEER, named LABEL.
ratio_line() {
  printf '%-56s requests/s %s, per CPU second %s\n' "ratio $1:" "$(ratio rps "$2" "$3")" "$(ratio cpu "$2" "$3")"
}

# Starts nginx on `port` serving $tile_file as /gophertiles (sets nginx_pid); keep-alive
# on or off; TLS with $certificate (its key under "kfx.pem") when the third argument is tls.
start_nginx() {
  local port=$1 keepalive=$2 tls=${3:-} conf="$work/nginx_$1.conf"
  local listen="listen 127.0.0.1:$port;"
  if [ "$tls" = tls ]; then
    echo kfx.pem >"$work/passphrase"
    listen="listen 127.0.0.1:$port ssl; ssl_protocols TLSv1.3; ssl_certificate $certificate;
    ssl_certificate_key $certificate; ssl_password_file $work/passphrase; ssl_session_tickets off;"
  fi
  local keepalive_timeout=75s
  [ "$keepalive" = off ] && keepalive_timeout=0
  local user_line=""
  [ "$(id -u)" -eq 0 ] && user_line="user root;"
  mkdir -p "$work/nginx_$port"
  cat >"$conf" <<CONF
$user_line
worker_processes 1;
daemon off;
pid $work/nginx_$port/nginx.pid;
error_log $work/nginx_$port/error.log warn;
events { worker_connections 4096; }
http {
  access_log off;
  keepalive_requests 1000000000;
  keepalive_timeout $keepalive_timeout;
  client_body_temp_path $work/nginx_$port/body;
  proxy_temp_path $work/nginx_$port/proxy;
  fastcgi_temp_path $work/nginx_$port/fastcgi;
  uwsgi_temp_path $work/nginx_$port/uwsgi;
  scgi_temp_path $work/nginx_$port/scgi;
  server {
    $listen
    location = /gophertiles { default_type image/jpeg; alias $tile_file; }
  }
}
CONF
  nginx -p "$work/nginx_$port" -c "$conf" 2>>"$work/nginx_$port/stderr" &
  pids+=($!)
  nginx_pid=$!
}
