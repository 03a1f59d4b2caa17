#!/usr/bin/env bash
# Builds and runs a benchmark of bench/ against its peer, measured in the same run.
#   bench.sh hpack [benchmark options]   HPACK encode/decode against libnghttp2
#   bench.sh http1 [--engine threads|loops|both] [SECONDS] [CONNECTIONS]   HTTP/1.1 tile serving against nginx
#   bench.sh http2 [--tls] [--engine threads|loops|both] [SECONDS] [CONNECTIONS] [STREAMS]
#                                            HTTP/2 tile serving against nghttpd
# The HPACK benchmark builds into build/bench (optimised, with debug symbols for perf)
# and by default repeats every benchmark 5 times, interleaved, and reports the medians.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
what=${1:-}
shift || true
case "$what" in
  hpack)
    "$root/scripts/install-deps.sh" build bench
    build="$root/build/bench"
    cmake -S "$root" -B "$build" -G Ninja -DZAL_BUILD_BENCH=ON -DZAL_BUILD_TESTS=OFF -DZAL_BUILD_DEMO=OFF >/dev/null
    cmake --build "$build" -j 2 --target zal_bench_hpack >/dev/null
    if [ $# -eq 0 ]; then
      set -- --benchmark_repetitions=5 --benchmark_enable_random_interleaving=true \
             --benchmark_report_aggregates_only=true
    fi
    exec "$build/bench/zal_bench_hpack" "$@"
    ;;
  http1)
    exec "$root/bench/http1_tile.sh" "$@"
    ;;
  http2)
    exec "$root/bench/http2_tile.sh" "$@"
    ;;
  *)
    echo "usage: bench.sh hpack [benchmark options] | http1 [--engine threads|loops|both] [SECONDS] [CONNECTIONS]" \
      "| http2 [--tls] [--engine threads|loops|both] [SECONDS] [CONNECTIONS] [STREAMS]" >&2
    exit 2
    ;;
esac
