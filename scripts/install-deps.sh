#!/usr/bin/env bash
# Installs the Debian packages the project needs, only those not yet installed.
#   install-deps.sh build   - toolchain and libraries (library, demo, tests)
#   install-deps.sh peers   - independent clients the tests talk to (and the node
#                             packages of tests/peers/node, from its lock file)
#   install-deps.sh bench   - the load generator, reference server and codec of the benchmarks
set -euo pipefail

build_packages=(g++ cmake ninja-build ccache pkg-config libssl-dev zlib1g-dev libhiredis-dev qt6-base-dev
                googletest libgtest-dev libbenchmark-dev openssl)
peer_packages=(curl nghttp2-client python3 python3-h2 python3-hpack python3-hyperframe
               python3-websockets python3-autobahn libprotocol-websocket-perl nodejs chromium
               redis-server redis-tools)
bench_packages=(wrk nginx libnghttp2-dev nghttp2-server nghttp2-client)

wanted=()
for group in "$@"; do
  case "$group" in
    build) wanted+=("${build_packages[@]}") ;;
    peers) wanted+=("${peer_packages[@]}") ;;
    bench) wanted+=("${bench_packages[@]}") ;;
    *) echo "unknown package group: $group" >&2; exit 2 ;;
  esac
done

# Debian's nodejs comes without npm (other node builds bundle it): ask for the
# npm package only when no npm is on the machine.
if [[ " ${wanted[*]} " == *" nodejs "* ]] && ! command -v npm >/dev/null 2>&1; then
  wanted+=(npm)
fi

install_node_peers() {
  local folder
  folder="$(cd "$(dirname "$0")/.." && pwd)/tests/peers/node"
  # A linked node_modules belongs to another checkout: npm ci would empty it
  # through the link.
  [ -L "$folder/node_modules" ] && return 0
  if [ ! -d "$folder/node_modules" ] || [ "$folder/package-lock.json" -nt "$folder/node_modules" ]; then
    (cd "$folder" && npm ci --no-audit --no-fund >/dev/null && touch node_modules)
  fi
}

missing=()
for pkg in "${wanted[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$pkg")
  fi
done
if [ ${#missing[@]} -gt 0 ]; then
  SUDO=""
  [ "$(id -u)" -ne 0 ] && SUDO="sudo"
  echo "installing: ${missing[*]}"
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi
for group in "$@"; do
  [ "$group" = peers ] && install_node_peers
done
exit 0
