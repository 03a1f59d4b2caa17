#!/usr/bin/env bash
# WebSocket echo benchmark: our component against node ws, the same node ws
# client for both, in the same run. For messages of 64 octets and 16 KiB it
# prints messages/s and messages per server CPU second, and the ratios ours/ws.
#   bench/ws_echo.sh [SECONDS] [CONNECTIONS]      (defaults: 10 and 16)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
seconds=${1:-10}
connections=${2:-16}

"$root/scripts/install-deps.sh" build peers
source "$root/bench/bench_lib.sh"
echo_server=$(build_bench_program "$root" "$root/build/release" zal_bench_ws_echo)

start_work_dir

ours_port=$(free_port)
"$echo_server" --port "$ours_port" &
pids+=($!)
ours_pid=$!
ws_port=$(free_port)
node "$root/bench/ws_echo_server.js" "$ws_port" &
pids+=($!)
ws_pid=$!
wait_listening "$ours_port"
wait_listening "$ws_port"

hz=$(getconf CLK_TCK)
printf '%-22s %12s %16s\n' "server / message" "messages/s" "per CPU second"
declare -A rate per_cpu
for size in 64 16384; do
  for server in ours ws; do
    port=$ours_port pid=$ours_pid
    [ "$server" = ws ] && port=$ws_port pid=$ws_pid
    before=$(cpu_ticks "$pid")
    rate[$server]=$(node "$root/bench/ws_echo_client.js" "ws://127.0.0.1:$port/" "$size" "$connections" "$seconds" text)
    after=$(cpu_ticks "$pid")
    per_cpu[$server]=$(awk -v r="${rate[$server]}" -v s="$seconds" -v t=$((after - before)) -v hz="$hz" \
      'BEGIN { printf "%.0f", (t > 0) ? r * s / (t / hz) : 0 }')
    printf '%-22s %12s %16s\n' "$server / $size" "${rate[$server]}" "${per_cpu[$server]}"
  done
  awk -v a="${rate[ours]}" -v b="${rate[ws]}" -v c="${per_cpu[ours]}" -v d="${per_cpu[ws]}" -v s="$size" \
    'BEGIN { printf "ratio ours/ws %-8s %12.2f %16.2f\n", s, a / b, c / d }'
done
