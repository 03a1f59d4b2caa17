#!/usr/bin/env bash
# Configures and builds into build/<variant>.  Variants: release (default), asan, tsan.
#   build.sh [variant] [target...]   only the given targets when some are named
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
variant=${1:-release}
shift $(( $# > 0 ? 1 : 0 ))
targets=()
for target in "$@"; do targets+=(--target "$target"); done
case "$variant" in
  release) flags=() ;;
  asan) flags=(-DZAL_SANITIZE=ON -DCMAKE_BUILD_TYPE=Debug) ;;
  tsan) flags=(-DZAL_TSAN=ON -DCMAKE_BUILD_TYPE=Debug) ;;
  *) echo "unknown build variant: $variant" >&2; exit 2 ;;
esac
# ccache, when installed, lets worktrees and rebuilds share compiled objects:
# paths below the checkout are hashed relative to it.
if command -v ccache >/dev/null 2>&1; then
  flags+=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
  export CCACHE_BASEDIR="$root" CCACHE_NOHASHDIR=1
fi
cmake -S "$root" -B "$root/build/$variant" -G Ninja "${flags[@]}" >/dev/null
cmake --build "$root/build/$variant" -j "$(nproc)" "${targets[@]}"
echo "$root/build/$variant"
