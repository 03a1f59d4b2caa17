#!/usr/bin/env bash
# What idle connections cost: COUNT connections of each transport are opened on
# our component and on a reference server, taken past their opening exchange
# and left idle. Prints, per transport, each server's resident memory per
# connection and the CPU time it used while they idled, and ours/peer of the
# memory.
#   bench/idle_memory.sh [COUNT] [IDLE_SECONDS]      (defaults: 1000 and 5)
# Peers: nginx (HTTP/1.1 kept alive, plain and TLS 1.3, one worker), nghttpd
# (h2c and h2 over TLS, one worker), node ws (WebSocket).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
count=${1:-1000}
idle=${2:-5}
source "$root/bench/bench_lib.sh"

prepare_tile_bench "$root"
ulimit -n "$(ulimit -Hn)"  # every server and the clients hold thousands of descriptors
openssl pkey -in "$certificate" -passin pass:kfx.pem -out "$work/key.pem"
openssl x509 -in "$certificate" -out "$work/cert.pem"
mkdir -p "$work/htdocs"
cp "$tile_file" "$work/htdocs/gophertiles"

# Opens `count` idle connections of `kind` to `port` (server processes `pids...`)
# and prints one line: bytes of resident memory per connection, CPU ms while idle.
measure() {
  local label=$1 kind=$2 port=$3 path=$4
  shift 4
  local before after ticks_before ticks_after fifo="$work/hold_$label"
  sleep 1
  before=$(resident_kib "$@")
  mkfifo "$fifo"
  /usr/bin/python3 "$root/bench/idle_clients.py" "$kind" "$port" "$count" "$path" <"$fifo" >"$work/clients_$label" &
  local client=$!
  exec 9>"$fifo"  # the clients hold their connections until this closes
  for _ in $(seq 600); do
    grep -q '^open' "$work/clients_$label" 2>/dev/null && break
    kill -0 "$client" 2>/dev/null || { echo "$label: the clients failed" >&2; exec 9>&-; return 1; }
    sleep 0.1
  done
  sleep 1
  ticks_before=$(cpu_ticks "$@")
  sleep "$idle"
  ticks_after=$(cpu_ticks "$@")
  after=$(resident_kib "$@")
  exec 9>&-
  wait "$client" || true
  local per=$(((after - before) * 1024 / count))
  echo "$per" >"$work/mem_$label"
  printf '%-16s %10s %14s\n' "$label" "$per" \
    "$(awk -v t=$((ticks_after - ticks_before)) -v hz="$(getconf CLK_TCK)" 'BEGIN { printf "%.0f", t * 1000 / hz }')"
}

# Starts a fresh server for one run (so that no run reuses memory another left
# behind); sets server_port and server_pid.
start_server() {
  server_port=$(free_port)
  case $1 in
    ours) "$bench_server" --port "$server_port" --folder "$assets" --keep-alive --http2 & ;;
    ours-tls) "$bench_server" --port "$server_port" --folder "$assets" --keep-alive --http2 --tls "$certificate" & ;;
    nginx) start_nginx "$server_port" on ;;
    nginx-tls) start_nginx "$server_port" on tls ;;
    nghttpd) nghttpd --workers=1 -d "$work/htdocs" --no-tls "$server_port" >/dev/null 2>&1 & ;;
    nghttpd-tls) nghttpd --workers=1 -d "$work/htdocs" "$server_port" "$work/key.pem" "$work/cert.pem" >/dev/null 2>&1 & ;;
    ws) node "$root/bench/ws_echo_server.js" "$server_port" & ;;
  esac
  server_pid=$!
  pids+=("$server_pid")
  wait_listening "$server_port"
}

# One run: `label`, the server to start, the transport and the path of its request.
run() {
  local label=$1 server=$2 kind=$3 path=$4
  start_server "$server"
  measure "$label" "$kind" "$server_port" "$path" "$server_pid"
  kill "$server_pid"
  wait "$server_pid" 2>/dev/null || true
}

tile="/gophertiles?x=7&y=4"
echo "$count idle connections per run, ${idle} s idle, $(nproc) cores"
printf '%-16s %10s %14s\n' "server/transport" "B/conn" "CPU ms idle"
run ours-http1 ours http1 "$tile"
run nginx-http1 nginx http1 /gophertiles
run ours-http1-tls ours-tls http1-tls "$tile"
run nginx-http1-tls nginx-tls http1-tls /gophertiles
run ours-h2c ours h2c /
run nghttpd-h2c nghttpd h2c /
run ours-h2-tls ours-tls h2-tls /
run nghttpd-h2-tls nghttpd-tls h2-tls /
run ours-ws ours ws /
run ws-ws ws ws /
echo "memory per connection, ours/peer: HTTP/1.1 $(ratio mem ours-http1 nginx-http1)," \
  "HTTP/1.1 TLS $(ratio mem ours-http1-tls nginx-http1-tls), h2c $(ratio mem ours-h2c nghttpd-h2c)," \
  "h2 TLS $(ratio mem ours-h2-tls nghttpd-h2-tls), WebSocket $(ratio mem ours-ws ws-ws)"
