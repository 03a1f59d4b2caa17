#!/usr/bin/env bash
# Fan-out across instances: two instances linked through a redis-server,
# CLIENTS node ws clients spread evenly over both, BROADCASTS broadcasts of 100
# octets from the first instance. Then, in the same run, one instance without
# the link and the same clients. Prints messages delivered per second and the
# p50/p99 delivery latency of both, and the ratios linked/single.
#   bench/fanout.sh [CLIENTS] [BROADCASTS]      (defaults: 2000 and 1000)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
clients=${1:-2000}
broadcasts=${2:-1000}
size=100

"$root/scripts/install-deps.sh" build peers
source "$root/bench/bench_lib.sh"
server=$(build_bench_program "$root" "$root/build/release" zal_bench_fanout)
ulimit -n 65536 2>/dev/null || ulimit -n "$(ulimit -Hn)"

start_work_dir
# Starts the bench server on PORT (with the link to REDIS_PORT when given),
# fed by the fifo $work/in_PORT; waits until it listens (and is linked).
start_server() {
  local port=$1 redis_port=${2:-}
  mkfifo "$work/in_$port"
  if [ -n "$redis_port" ]; then
    "$server" --port "$port" --redis-port "$redis_port" <"$work/in_$port" >"$work/out_$port" &
  else
    "$server" --port "$port" <"$work/in_$port" >"$work/out_$port" &
  fi
  pids+=($!)
  exec {fd}>"$work/in_$port"
  eval "in_$port=$fd"
  local want=listening
  [ -n "$redis_port" ] && want=lb-connect
  for _ in $(seq 100); do grep -q "$want" "$work/out_$port" && return 0; sleep 0.1; done
  echo "the server on $port did not start" >&2
  return 1
}

# Runs one measurement: clients on the given ports, broadcasts from the first.
measure() {
  local label=$1 first=$2
  shift 2
  local urls=() port
  for port in "$first" "$@"; do urls+=("ws://127.0.0.1:$port/"); done
  node "$root/bench/fanout_client.js" "$clients" $((clients * broadcasts)) "${urls[@]}" >"$work/client_$label" &
  local client=$!
  for _ in $(seq 600); do grep -q ready "$work/client_$label" && break; sleep 0.1; done
  local fd_name="in_$first"
  echo "burst $broadcasts $size" >&"${!fd_name}"
  wait "$client"
  read -r delivered seconds p50 p99 < <(grep -v ready "$work/client_$label")
  awk -v d="$delivered" -v s="$seconds" 'BEGIN { printf "%.0f\n", d / s }' >"$work/rate_$label"
  echo "$p50" >"$work/p50_$label"
  echo "$p99" >"$work/p99_$label"
  printf '%-30s %10s %12s %10s %10s\n' "$label" "$delivered" "$(cat "$work/rate_$label")" "$p50" "$p99"
}

redis_port=$(free_port)
redis-server --port "$redis_port" --bind 127.0.0.1 --save '' --appendonly no --daemonize no >"$work/redis.log" &
pids+=($!)
for _ in $(seq 100); do grep -q 'Ready to accept' "$work/redis.log" && break; sleep 0.1; done

printf '%-30s %10s %12s %10s %10s\n' "run" "delivered" "messages/s" "p50 ms" "p99 ms"
a=$(free_port); start_server "$a" "$redis_port"
b=$(free_port); start_server "$b" "$redis_port"
measure linked "$a" "$b"
single=$(free_port); start_server "$single"
measure single "$single"
awk -v a="$(cat "$work/rate_linked")" -v b="$(cat "$work/rate_single")" \
    -v c="$(cat "$work/p50_linked")" -v d="$(cat "$work/p50_single")" \
    -v e="$(cat "$work/p99_linked")" -v f="$(cat "$work/p99_single")" \
  'BEGIN { printf "ratio linked/single: messages/s %.2f, p50 %.2f, p99 %.2f\n", a / b, (d > 0 ? c / d : 0), (f > 0 ? e / f : 0) }'
