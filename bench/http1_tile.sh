#!/usr/bin/env bash
# HTTP/1.1 comparison: one small file (a demo tile) served by our component and
# by nginx, each driven by wrk with the same duration and connection count, in
# one run on this machine, in plain TCP and over TLS 1.3. Prints requests/s,
# latency percentiles, the servers' requests per CPU second, and the ratios
# ours/nginx of both, for each connection engine of ours.
#   bench/http1_tile.sh [--engine threads|loops|both] [--loops N] [SECONDS] [CONNECTIONS]
#   (defaults: both engines, 10 s and 32 connections)
# Runs:
#   ours, keep-alive        zal_bench_server --keep-alive (component + demo handler), per engine
#   nginx, keep-alive       one worker, keepalive_requests raised, no access log
#   ours, TLS keep-alive    zal_bench_server --keep-alive --tls zal.pem, per engine
#   nginx, TLS keep-alive   the same nginx with TLS 1.3 and the same certificate
#   ours, TLS no keep-alive zal_bench_server --tls zal.pem, per engine
#   ours, stored settings   zal_demo as shipped (TLS, KeepAlive off, its console log)
#   nginx, TLS no keep-alive  keepalive_timeout 0, the like-for-like peer of the
#                           stored settings
# ZAL_BENCH_LAYER=http adds a keep-alive run of the bare HTTP/1.1 layer under
# the component (one thread per connection), to tell their costs apart.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
source "$root/bench/bench_lib.sh"
read_engine_options "$@"
set -- "${rest[@]}"
seconds=${1:-10}
connections=${2:-32}
layer=${ZAL_BENCH_LAYER:-component}

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
  printf '%-28s %11s %9s %9s %9s %13s  %s\n' "$label" "$rps" "$p50" "$p90" "$p99" "$(cat "$work/cpu_$label")" "$errors"
}

# Starts zal_bench_server with the options given (--keep-alive among them or
# not); its port and process go into ours_port[LABEL] and ours_pid[LABEL].
declare -A ours_port ours_pid
start_ours() {
  local label=$1
  shift
  ours_port[$label]=$(free_port)
  "$bench_server" --port "${ours_port[$label]}" --folder "$assets" "$@" &
  pids+=($!)
  ours_pid[$label]=$!
}
for engine in "${engines[@]}"; do
  start_ours "keepalive($engine)" $(engine_options "$engine") --keep-alive
  start_ours "tls-keepalive($engine)" $(engine_options "$engine") --keep-alive --tls "$certificate"
  start_ours "tls-close($engine)" $(engine_options "$engine") --tls "$certificate"
done
[ "$layer" = http ] && start_ours bare-http --layer http --keep-alive
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

for label in "${!ours_port[@]}"; do
  scheme=http
  [[ $label == tls-* ]] && scheme=https
  wait_serving "$scheme://127.0.0.1:${ours_port[$label]}$tile_path" "$tile_file"
done
wait_serving "http://127.0.0.1:$nginx_port$tile_path" "$tile_file"
for port in "$demo_port" "$nginx_tls_port" "$nginx_close_port"; do
  wait_serving "https://127.0.0.1:$port$tile_path" "$tile_file"
done

# Runs ours with LABEL (scheme and label suffix given) for every engine.
measure_ours() {
  local scheme=$1 label=$2 engine
  for engine in "${engines[@]}"; do
    measure "ours-$label($engine)" "$scheme://127.0.0.1:${ours_port[$label($engine)]}$tile_path" \
      "${ours_pid[$label($engine)]}"
  done
}

echo "HTTP/1.1, $(stat -c %s "$tile_file")-byte tile, wrk 1 thread, $connections connections, ${seconds} s each, $(nproc) cores"
printf '%-28s %11s %9s %9s %9s %13s\n' "server" "requests/s" "p50" "p90" "p99" "req/CPU-s"
measure_ours http keepalive
measure "nginx-keepalive" "http://127.0.0.1:$nginx_port$tile_path" "$nginx_keepalive_pid"
if [ "$layer" = http ]; then
  measure "ours-bare-http" "http://127.0.0.1:${ours_port[bare-http]}$tile_path" "${ours_pid[bare-http]}"
fi
measure_ours https tls-keepalive
measure "nginx-tls-keepalive" "https://127.0.0.1:$nginx_tls_port$tile_path" "$nginx_tls_pid"
measure_ours https tls-close
measure "ours-stored-settings" "https://127.0.0.1:$demo_port$tile_path" "$demo_pid"
measure "nginx-tls-no-keepalive" "https://127.0.0.1:$nginx_close_port$tile_path" "$nginx_close_pid"
for engine in "${engines[@]}"; do
  ratio_line "ours($engine)/nginx, keep-alive" "ours-keepalive($engine)" nginx-keepalive
  ratio_line "ours($engine)/nginx, TLS keep-alive" "ours-tls-keepalive($engine)" nginx-tls-keepalive
  ratio_line "ours($engine)/nginx, TLS no keep-alive" "ours-tls-close($engine)" nginx-tls-no-keepalive
done
[ "$layer" = http ] && ratio_line "bare HTTP layer/nginx, keep-alive" ours-bare-http nginx-keepalive
ratio_line "ours(demo as shipped)/nginx, TLS no keep-alive" ours-stored-settings nginx-tls-no-keepalive
echo "demo log lines written: $(grep -c '^GET ' "$work/demo.log" || true)"
