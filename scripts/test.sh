#!/usr/bin/env bash
# Installs what is missing, builds and runs every test.
#   test.sh          - the normal build
#   test.sh asan     - AddressSanitizer + UndefinedBehaviorSanitizer build
#   test.sh tsan     - ThreadSanitizer build
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
variant=${1:-release}
"$root/scripts/install-deps.sh" build peers
"$root/scripts/build.sh" "$variant" >/dev/null
cd "$root/build/$variant"
export QT_QPA_PLATFORM=offscreen
case "$variant" in
  asan) export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 ;;
  tsan) export TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 ;;
esac
ctest --output-on-failure -j "$(nproc)" --timeout 300
