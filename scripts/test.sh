#!/usr/bin/env bash
# Installs what is missing, builds and runs the tests.
#   test.sh          - every test, the normal build
#   test.sh asan     - every test, AddressSanitizer + UndefinedBehaviorSanitizer build
#   test.sh tsan     - ThreadSanitizer build: the programs whose threads share
#                      connections (server, websocket, http2, transport), without
#                      the browser and conformance cases and the ones that
#                      measure time or memory at a scale that runs past their
#                      bounds under it (a 48,000-request heap measurement, every
#                      split of the HTTP/2 engine's input, idle connections after
#                      16 MiB messages, a heartbeat over 1,000 connections), one
#                      test at a time so that time bounds hold; any warning fails
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
variant=${1:-release}
"$root/scripts/install-deps.sh" build peers
selection=()
jobs=$(nproc)
if [ "$variant" = tsan ]; then
  "$root/scripts/build.sh" tsan zal_tests_server zal_tests_websocket zal_tests_http2 zal_tests_transport >/dev/null
  jobs=1
  selection=(-L '^(server|websocket|http2|transport)$'
             -E 'Chromium|Conformance|LeaveTheLiveHeapFlat|^EngineSplit\.|MessageMemory|TickOverAThousandConnections')
else
  "$root/scripts/build.sh" "$variant" >/dev/null
fi
cd "$root/build/$variant"
export QT_QPA_PLATFORM=offscreen
case "$variant" in
  # A small quarantine: the tests that bound the resident memory of a large
  # transfer would otherwise count the freed blocks ASan keeps (256 MB by default).
  asan) export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1:quarantine_size_mb=8 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 ;;
  tsan) export TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 ;;
esac
ctest --output-on-failure -j "$jobs" --timeout 300 "${selection[@]}"
