#!/usr/bin/env bash
# Installs what is missing, builds and starts the demo server window
# (offscreen when there is no display). Extra arguments go to the demo.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/install-deps.sh" build
"$root/scripts/build.sh" release >/dev/null
if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ]; then
  export QT_QPA_PLATFORM=${QT_QPA_PLATFORM:-offscreen}
fi
# The demo reads "zal.pem" from the folder it runs in: the build folder of the
# executable, where a development certificate is made unless one is there.
cd "$root/build/release/app"
"$root/scripts/make-demo-cert.sh" .
exec ./zal_demo "$@"
