#!/usr/bin/env bash
# HTTP/1.1 comparison: one small file (a demo tile) served by our component and
# by nginx, each driven by wrk with the same duration and connection count, in
# one run on this machine, in plain TCP and over TLS 1.3. Prints requests/s,
# latency percentiles, the servers' requests per CPU second, and the ratios
# ours/nginx of both.
#   bench/http1_tile.sh [SECONDS] [CONNECTIONS]      (defaults: 10 and 32)
# Runs:
#   ours, keep-alive        zal_bench_server --keep-alive (component + demo handler)
#   nginx, keep-alive       one worker, keepalive_requests raised, no access log
#   ours, TLS keep-alive    zal_bench_server --keep-alive --tls zal.pem
#   nginx, TLS keep-alive   the same nginx with TLS 1.3 and the same certificate
#   ours, stored settings   zal_demo as shipped (TLS, KeepAlive off, its console log)
#   nginx, TLS no keep-alive  keepalive_timeout 0, the like-for-like peer of the
#                           stored settings
# ZAL_BENCH_ENGINE=http runs the bare HTTP/1.1 engine instead of the component
# in the first run.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
seconds=${1:-10}
connections=${2:-32}
engine=${ZAL_BENCH_ENGINE:-component}
source "$root/bench/bench_lib.sh"

prepare_tile_bench "$root"
tile_path="/gophertiles?x=7&y=4"

# Runs wrk against `url` (served by the processes `pids...`) and prints one
# result line: requests/s, the 50/90/99 % latencies and the server's requests
# per CPU second (ours may spread over both cores, nginx runs one worker).
measure() {
  local label=$1 url=$2
  shift 2
  local before after
  before=$(cpu_ticks "$@")
  wrk -t1 -c"$connections" -d"${seconds}s" --latency "$url" >"$work/wrk_$label.txt"
  after=$(cpu_ticks "$@")
  local rps p50 p90 p99 requests errors
  rps=$(awk '/^Requests\/sec:/ {print $2}' "$work/wrk_$label.txt")
  p50=$(awk '$1 == "50%" {print $2}' "$work/wrk_$label.txt")
  p90=$(awk '$1 == "90%" {print $2}' "$work/wrk_$label.txt")
  p99=$(awk '$1 == "99%" {print $2}' "$work/wrk_$label.txt")
  requests=$(awk '/requests in/ {print $1}' "$work/wrk_$label.txt")
  errors=$(awk '/Socket errors|Non-2xx/ {printf "%s ", $0}' "$work/wrk_$label.txt")
  record_figures "$label" "$rps" "$requests" $((after - before))
  printf '%-26s %11s %9s %9s %9s %13s  %s\n' "$label" "$rps" "$p50" "$p90" "$p99" "$(cat "$work/cpu_$label")" "$errors"
}

ours_port=$(free_port)
"$bench_server" --port "$ours_port" --folder "$assets" --keep-alive --engine "$engine" &
pids+=($!)
ours_pid=$!
ours_tls_port=$(free_port)
"$bench_server" --port "$ours_tls_port" --folder "$assets" --keep-alive --tls "$certificate" &
pids+=($!)
ours_tls_pid=$!
demo_port=$(free_port)
# The demo reads zal.pem from the folder it runs in, as scripts/demo.sh runs it.
(cd "$assets" && QT_QPA_PLATFORM=offscreen exec ./zal_demo --port "$demo_port" >"$work/demo.log" 2>&1) &
pids+=($!)
demo_pid=$!
nginx_port=$(free_port)
start_nginx "$nginx_port" on
nginx_keepalive_pid=$nginx_pid
nginx_tls_port=$(free_port)
start_nginx "$nginx_tls_port" on tls
nginx_tls_pid=$nginx_pid
nginx_close_port=$(free_port)
start_nginx "$nginx_close_port" off tls
nginx_close_pid=$nginx_pid

for port in "$ours_port" "$nginx_port"; do
  wait_serving "http://127.0.0.1:$port$tile_path" "$tile_file"
done
for port in "$ours_tls_port" "$demo_port" "$nginx_tls_port" "$nginx_close_port"; do
  wait_serving "https://127.0.0.1:$port$tile_path" "$tile_file"
done

echo "HTTP/1.1, $(stat -c %s "$tile_file")-byte tile, wrk 1 thread, $connections connections, ${seconds} s each, $(nproc) cores"
printf '%-26s %11s %9s %9s %9s %13s\n' "server" "requests/s" "p50" "p90" "p99" "req/CPU-s"
measure "ours-keepalive($engine)" "http://127.0.0.1:$ours_port$tile_path" "$ours_pid"
measure "nginx-keepalive" "http://127.0.0.1:$nginx_port$tile_path" "$nginx_keepalive_pid"
measure "ours-tls-keepalive" "https://127.0.0.1:$ours_tls_port$tile_path" "$ours_tls_pid"
measure "nginx-tls-keepalive" "https://127.0.0.1:$nginx_tls_port$tile_path" "$nginx_tls_pid"
measure "ours-stored-settings" "https://127.0.0.1:$demo_port$tile_path" "$demo_pid"
measure "nginx-tls-no-keepalive" "https://127.0.0.1:$nginx_close_port$tile_path" "$nginx_close_pid"
echo "ratio ours/nginx, keep-alive:        requests/s $(ratio rps "ours-keepalive($engine)" nginx-keepalive)," \
  "per CPU second $(ratio cpu "ours-keepalive($engine)" nginx-keepalive)"
echo "ratio ours/nginx, TLS keep-alive:    requests/s $(ratio rps ours-tls-keepalive nginx-tls-keepalive)," \
  "per CPU second $(ratio cpu ours-tls-keepalive nginx-tls-keepalive)"
echo "ratio ours/nginx, TLS no keep-alive: requests/s $(ratio rps ours-stored-settings nginx-tls-no-keepalive)," \
  "per CPU second $(ratio cpu ours-stored-settings nginx-tls-no-keepalive)"
echo "demo log lines written: $(grep -c '^GET ' "$work/demo.log" || true)"
