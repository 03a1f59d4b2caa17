#!/usr/bin/env bash
# The browser test: starts the demo (build folder BUILD, where zal_demo and its
# zal.pem are) on a free port, runs demo_page.mjs against it expecting
# PROTOCOL (h2 or http/1.1), stops the demo and checks its log: one request line
# of that version per tile and image.
#   demo_page.sh BUILD PROTOCOL
set -euo pipefail
build=$1
protocol=$2
case $protocol in
  h2) version='HTTP/2' ;;
  http/1.1) version='HTTP/1\.1' ;;
  *) echo "unknown protocol $protocol" >&2; exit 1 ;;
esac
here=$(cd "$(dirname "$0")" && pwd)
[ -d "$here/node/node_modules/playwright-core" ] || { echo "playwright-core is missing: run scripts/install-deps.sh peers" >&2; exit 1; }
[ -x /usr/bin/chromium ] || { echo "chromium is missing: run scripts/install-deps.sh peers" >&2; exit 1; }

port=$(/usr/bin/python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])')
log=$(mktemp)
cd "$build/app"
QT_QPA_PLATFORM=offscreen ./zal_demo --port "$port" > "$log" 2>&1 &
demo=$!
trap 'kill $demo 2>/dev/null || true; rm -f "$log"' EXIT
for _ in $(seq 100); do
  grep -q '^#Server Started: ' "$log" && break
  sleep 0.1
done
grep -q "^#Server Started: 127.0.0.1:$port" "$log" || { cat "$log"; exit 1; }

status=0
timeout 240 node "$here/demo_page.mjs" "https://127.0.0.1:$port/" "$protocol" || status=1
kill -TERM $demo
wait $demo || true
tiles=$(grep -c "^GET /gophertiles?x=[0-9]*&y=[0-9]* $version\$" "$log" || true)
images=$(grep -c "^GET /demo/img/http_test/gopher\\(_small\\)\\?\\.jpg $version\$" "$log" || true)
if [ "$tiles" != 150 ] || [ "$images" != 2 ]; then
  echo "the log shows $tiles tile and $images image request lines, not 150 and 2" >&2
  status=1
fi
grep -q '^#Server Stopped: ' "$log" || { echo "no stop line" >&2; status=1; }
exit $status
