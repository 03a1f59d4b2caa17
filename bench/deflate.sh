#!/usr/bin/env bash
# Compression extensions benchmark (Google Benchmark): compress and decompress
# per message on the connection's persistent zlib streams, and in the same run
# the fresh-stream-per-message reference. Extra arguments go to the benchmark
# (e.g. --benchmark_min_time=0.5).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/install-deps.sh" build
build="$root/build/release"
cmake -S "$root" -B "$build" -G Ninja >/dev/null
cmake --build "$build" -j 2 --target zal >/dev/null
mkdir -p "$build/bench"
g++ -std=c++20 -O2 -g -Wall -Wextra -Wpedantic -I"$root" "$root/bench/zal_bench_deflate.cpp" "$build/libzal.a" \
  -lbenchmark -lssl -lcrypto -lz -pthread -o "$build/bench/zal_bench_deflate"
exec "$build/bench/zal_bench_deflate" "$@"
