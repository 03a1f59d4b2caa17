#!/usr/bin/env bash
# HTTP/2 comparison: one demo tile served by our component and by nghttpd (one
# worker), each driven by h2load with the same duration, connections and streams
# per connection, in one run on this machine. Cleartext with prior knowledge
# (h2c) by default; with --tls over TLS 1.3 with ALPN h2 and the demo's
# certificate on both sides. Prints requests/s, mean latency, the servers'
# requests per CPU second and the ratios ours/nghttpd of both, for each
# connection engine of ours.
#   bench/http2_tile.sh [--tls] [--engine threads|loops|both] [--loops N] [SECONDS] [CONNECTIONS] [STREAMS]
#   (defaults: h2c, both engines, 10 s, 100 connections and 10 streams)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
source "$root/bench/bench_lib.sh"
read_engine_options "$@"
set -- "${rest[@]}"
tls=no
if [ "${1:-}" = --tls ]; then
  tls=yes
  shift
fi
seconds=${1:-10}
connections=${2:-100}
streams=${3:-10}

prepare_tile_bench "$root"
# nghttpd serves files by path (the query is not part of it): the same tile as "/gophertiles".
mkdir -p "$work/htdocs"
cp "$tile_file" "$work/htdocs/gophertiles"

ours_options=(--http2)
nghttpd_options=(--workers=1 -d "$work/htdocs")
scheme=http
reach=--http2-prior-knowledge
title="HTTP/2 (h2c)"
if [ "$tls" = yes ]; then
  openssl pkey -in "$certificate" -passin pass:kfx.pem -out "$work/key.pem"
  openssl x509 -in "$certificate" -out "$work/cert.pem"
  ours_options+=(--keep-alive --tls "$certificate")
  scheme=https
  reach=--http2
  title="HTTP/2 over TLS 1.3 (ALPN h2)"
fi

# h2load against `url` (served by the processes `pids...`): one result line.
measure() {
  local label=$1 url=$2
  shift 2
  local before after
  before=$(cpu_ticks "$@")
  h2load -c "$connections" -m "$streams" -D "$seconds" "$url" >"$work/h2load_$label.txt"
  after=$(cpu_ticks "$@")
  local rps mean requests failed
  rps=$(awk '/^finished in/ {print $4}' "$work/h2load_$label.txt")
  mean=$(awk '/^time for request:/ {print $6}' "$work/h2load_$label.txt")
  requests=$(awk '/^requests:/ {print $8}' "$work/h2load_$label.txt")
  failed=$(awk '/^requests:/ {print $10 " failed, " $12 " errored"}' "$work/h2load_$label.txt")
  record_figures "$label" "$rps" "$requests" $((after - before))
  printf '%-16s %11s %10s %13s  %s\n' "$label" "$rps" "$mean" "$(cat "$work/cpu_$label")" "$failed"
}

declare -A ours_port ours_pid
for engine in "${engines[@]}"; do
  ours_port[$engine]=$(free_port)
  "$bench_server" --port "${ours_port[$engine]}" --folder "$assets" "${ours_options[@]}" $(engine_options "$engine") &
  pids+=($!)
  ours_pid[$engine]=$!
done
nghttpd_port=$(free_port)
if [ "$tls" = yes ]; then
  nghttpd "${nghttpd_options[@]}" "$nghttpd_port" "$work/key.pem" "$work/cert.pem" >/dev/null 2>&1 &
else
  nghttpd "${nghttpd_options[@]}" --no-tls "$nghttpd_port" >/dev/null 2>&1 &
fi
pids+=($!)
nghttpd_pid=$!
for engine in "${engines[@]}"; do
  wait_serving "$scheme://127.0.0.1:${ours_port[$engine]}/gophertiles?x=7&y=4" "$tile_file" "$reach"
done
wait_serving "$scheme://127.0.0.1:$nghttpd_port/gophertiles" "$tile_file" "$reach"

echo "$title, $(stat -c %s "$tile_file")-byte tile, h2load -c $connections -m $streams, ${seconds} s each, $(nproc) cores"
printf '%-16s %11s %10s %13s\n' "server" "requests/s" "mean" "req/CPU-s"
for engine in "${engines[@]}"; do
  measure "ours($engine)" "$scheme://127.0.0.1:${ours_port[$engine]}/gophertiles?x=7&y=4" "${ours_pid[$engine]}"
done
measure nghttpd "$scheme://127.0.0.1:$nghttpd_port/gophertiles" "$nghttpd_pid"
for engine in "${engines[@]}"; do ratio_line "ours($engine)/nghttpd" "ours($engine)" nghttpd; done
