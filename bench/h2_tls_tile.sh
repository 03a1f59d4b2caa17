#!/usr/bin/env bash
# HTTP/2 over TLS comparison: one demo tile served by our component (TLS 1.3,
# ALPN h2) and by nghttpd with the same certificate, each driven by h2load with
# the same duration, connections and streams per connection, in one run on
# this machine. Prints requests/s, the servers' requests per CPU second and the
# ratios ours/nghttpd.
#   bench/h2_tls_tile.sh [SECONDS] [CONNECTIONS] [STREAMS]   (defaults: 10, 100, 10)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
seconds=${1:-10}
connections=${2:-100}
streams=${3:-10}
source "$root/bench/bench_lib.sh"

"$root/scripts/install-deps.sh" build bench
build="$root/build/release"
build_bench_server "$root" "$build"
assets="$build/app"
tile_path="/gophertiles?x=7&y=4"
tile_file="$assets/gophertiles/7_4.jpeg"
certificate="$assets/zal.pem"
start_work_dir

# nghttpd serves files by path: the tile under the name of the path.
mkdir -p "$work/htdocs"
cp "$tile_file" "$work/htdocs/gophertiles"
openssl pkey -in "$certificate" -passin pass:kfx.pem -out "$work/key.pem"
openssl x509 -in "$certificate" -out "$work/cert.pem"

ours_port=$(free_port)
"$bench_server" --port "$ours_port" --folder "$assets" --keep-alive --tls "$certificate" --http2 &
pids+=($!)
ours_pid=$!
nghttpd_port=$(free_port)
nghttpd --htdocs="$work/htdocs" --workers=1 "$nghttpd_port" "$work/key.pem" "$work/cert.pem" >/dev/null 2>&1 &
pids+=($!)
nghttpd_pid=$!
for port in "$ours_port" "$nghttpd_port"; do
  wait_serving "https://127.0.0.1:$port$tile_path" "$tile_file" --http2
done

# Runs h2load against `url` (served by the processes `pids...`) and prints one line.
measure_h2() {
  local label=$1 url=$2
  shift 2
  local before after
  before=$(cpu_ticks "$@")
  h2load -c "$connections" -m "$streams" -D "$seconds" "$url" >"$work/h2load_$label.txt" 2>&1
  after=$(cpu_ticks "$@")
  local rps requests failed per_cpu
  rps=$(awk '/^finished in/ {print $4}' "$work/h2load_$label.txt")
  requests=$(awk '/^requests:/ {print $8}' "$work/h2load_$label.txt")
  failed=$(awk '/^requests:/ {print $10}' "$work/h2load_$label.txt")
  per_cpu=$(awk -v r="$requests" -v t=$((after - before)) -v hz="$(getconf CLK_TCK)" \
    'BEGIN { if (t > 0) printf "%.0f", r / (t / hz); else print "-" }')
  printf '%-16s %11s %13s %9s\n' "$label" "$rps" "$per_cpu" "$failed"
  echo "$rps" >"$work/rps_$label"
  echo "$per_cpu" >"$work/cpu_$label"
}

echo "HTTP/2 over TLS 1.3, $(stat -c %s "$tile_file")-byte tile, h2load -c $connections -m $streams, ${seconds} s each, $(nproc) cores"
printf '%-16s %11s %13s %9s\n' "server" "requests/s" "req/CPU-s" "failed"
measure_h2 ours "https://127.0.0.1:$ours_port$tile_path" "$ours_pid"
measure_h2 nghttpd "https://127.0.0.1:$nghttpd_port$tile_path" "$nghttpd_pid"
echo "ratio ours/nghttpd: requests/s $(ratio rps ours nghttpd), per CPU second $(ratio cpu ours nghttpd)"
