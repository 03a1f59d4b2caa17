#!/usr/bin/env bash
# Configures and builds into build/<variant>.  Variants: release (default), asan, tsan.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
variant=${1:-release}
case "$variant" in
  release) flags=() ;;
  asan) flags=(-DZAL_SANITIZE=ON -DCMAKE_BUILD_TYPE=Debug) ;;
  tsan) flags=(-DZAL_TSAN=ON -DCMAKE_BUILD_TYPE=Debug) ;;
  *) echo "unknown build variant: $variant" >&2; exit 2 ;;
esac
cmake -S "$root" -B "$root/build/$variant" -G Ninja "${flags[@]}" >/dev/null
cmake --build "$root/build/$variant" -j "$(nproc)"
echo "$root/build/$variant"
