#!/usr/bin/env bash
# WebSocket echo benchmark: our component against node ws, the same node ws
# client for both, in the same run. For messages of 64 octets and 16 KiB it
# prints messages/s and messages per server CPU second, and the ratios
# ours/ws, for each connection engine of ours.
#   bench/ws_echo.sh [--engine threads|loops|both] [--loops N] [SECONDS] [CONNECTIONS]
#   (defaults: both engines, 10 s and 16 connections)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
source "$root/bench/bench_lib.sh"
read_engine_options "$@"
set -- "${rest[@]}"
seconds=${1:-10}
connections=${2:-16}

"$root/scripts/install-deps.sh" build peers
build_bench_server "$root" "$root/build/release"
start_work_dir

# The servers by name: ours for each engine, and ws.
declare -A port pid
servers=()
for engine in "${engines[@]}"; do
  servers+=("ours($engine)")
  port[ours($engine)]=$(free_port)
  "$bench_server" --port "${port[ours($engine)]}" --echo $(engine_options "$engine") &
  pid[ours($engine)]=$!
done
servers+=(ws)
port[ws]=$(free_port)
node "$root/bench/ws_echo_server.js" "${port[ws]}" &
pid[ws]=$!
pids+=("${pid[@]}")
for server in "${servers[@]}"; do wait_listening "${port[$server]}"; done

hz=$(getconf CLK_TCK)
printf '%-30s %12s %16s\n' "server / message" "messages/s" "per CPU second"
declare -A rate per_cpu
for size in 64 16384; do
  for server in "${servers[@]}"; do
    before=$(cpu_ticks "${pid[$server]}")
    rate[$server]=$(node "$root/bench/ws_echo_client.js" "ws://127.0.0.1:${port[$server]}/" "$size" "$connections" "$seconds" text)
    after=$(cpu_ticks "${pid[$server]}")
    per_cpu[$server]=$(awk -v r="${rate[$server]}" -v s="$seconds" -v t=$((after - before)) -v hz="$hz" \
      'BEGIN { printf "%.0f", (t > 0) ? r * s / (t / hz) : 0 }')
    printf '%-30s %12s %16s\n' "$server / $size" "${rate[$server]}" "${per_cpu[$server]}"
  done
  for engine in "${engines[@]}"; do
    awk -v a="${rate[ours($engine)]}" -v b="${rate[ws]}" -v c="${per_cpu[ours($engine)]}" -v d="${per_cpu[ws]}" \
      -v label="ratio ours($engine)/ws $size" 'BEGIN { printf "%-30s %12.2f %16.2f\n", label, a / b, c / d }'
  done
done
