#!/usr/bin/env bash
# HTTP/2 comparison: one demo tile served with prior knowledge (h2c) by our
# component and by nghttpd (--no-tls, one worker), each driven by h2load with the
# same duration, connections and streams per connection, in one run on this
# machine. Prints requests/s, mean latency, the servers' requests per CPU second
# and the ratios ours/nghttpd of both.
#   bench/http2_tile.sh [SECONDS] [CONNECTIONS] [STREAMS]   (defaults: 10, 100 and 10)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
seconds=${1:-10}
connections=${2:-100}
streams=${3:-10}
source "$root/bench/bench_lib.sh"

"$root/scripts/install-deps.sh" build peers bench
build="$root/build/release"
build_bench_server "$root" "$build"
assets="$build/app"
tile_file="$assets/gophertiles/7_4.jpeg"
start_work_dir
# nghttpd serves files by path (the query is not part of it): the same tile as "/gophertiles".
mkdir -p "$work/htdocs"
cp "$tile_file" "$work/htdocs/gophertiles"

# h2load against `url` (served by the processes `pids...`): one result line.
measure() {
  local label=$1 url=$2
  shift 2
  local before after
  before=$(cpu_ticks "$@")
  h2load -c "$connections" -m "$streams" -D "$seconds" "$url" >"$work/h2load_$label.txt"
  after=$(cpu_ticks "$@")
  local rps mean done_ok failed per_cpu
  rps=$(awk '/^finished in/ {print $4}' "$work/h2load_$label.txt")
  mean=$(awk '/^time for request:/ {print $6}' "$work/h2load_$label.txt")
  done_ok=$(awk '/^requests:/ {print $8}' "$work/h2load_$label.txt")
  failed=$(awk '/^requests:/ {print $10 " failed, " $12 " errored"}' "$work/h2load_$label.txt")
  per_cpu=$(awk -v r="$done_ok" -v t=$((after - before)) -v hz="$(getconf CLK_TCK)" \
    'BEGIN { if (t > 0) printf "%.0f", r / (t / hz); else print "-" }')
  printf '%-12s %11s %10s %13s  %s\n' "$label" "$rps" "$mean" "$per_cpu" "$failed"
  echo "$rps" >"$work/rps_$label"
  echo "$per_cpu" >"$work/cpu_$label"
}

ours_port=$(free_port)
"$bench_server" --port "$ours_port" --folder "$assets" --http2 &
pids+=($!)
ours_pid=$!
nghttpd_port=$(free_port)
nghttpd --no-tls -d "$work/htdocs" "$nghttpd_port" >/dev/null 2>&1 &
pids+=($!)
nghttpd_pid=$!
wait_serving "http://127.0.0.1:$ours_port/gophertiles?x=7&y=4" "$tile_file" --http2-prior-knowledge
wait_serving "http://127.0.0.1:$nghttpd_port/gophertiles" "$tile_file" --http2-prior-knowledge

echo "HTTP/2 (h2c), $(stat -c %s "$tile_file")-byte tile, h2load -c $connections -m $streams, ${seconds} s each, $(nproc) cores"
printf '%-12s %11s %10s %13s\n' "server" "requests/s" "mean" "req/CPU-s"
measure ours "http://127.0.0.1:$ours_port/gophertiles?x=7&y=4" "$ours_pid"
measure nghttpd "http://127.0.0.1:$nghttpd_port/gophertiles" "$nghttpd_pid"
echo "ratio ours/nghttpd: requests/s $(ratio rps ours nghttpd), per CPU second $(ratio cpu ours nghttpd)"
