#!/usr/bin/env bash
# Runs the WebSocket conformance suite with its long cases (category 9: 16 MiB
# messages and 1,000 round trips), which CI skips.
#   ws-conformance.sh [release|asan]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
variant=${1:-release}
"$root/scripts/install-deps.sh" build peers
"$root/scripts/build.sh" "$variant" >/dev/null
ZAL_WS_LONG=1 "$root/build/$variant/tests/zal_tests_websocket" --gtest_filter='Categories/Conformance.*'
