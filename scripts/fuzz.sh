#!/usr/bin/env bash
# Builds the libFuzzer targets with clang, AddressSanitizer and UBSan into build/fuzz
# and runs one of them.
#   fuzz.sh <target> [seconds]   e.g. fuzz.sh hpack 300
#   fuzz.sh list
# The corpus lives in build/fuzz/corpus/<target>; crashes are written to
# build/fuzz/artifacts/<target>/. A dictionary fuzz/<target>.dict is used when present.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
target=${1:-list}
seconds=${2:-60}

if ! command -v clang++ >/dev/null 2>&1 || ! ls /usr/lib/llvm-*/lib/clang/*/lib/linux/libclang_rt.fuzzer-x86_64.a >/dev/null 2>&1; then
  SUDO=""
  [ "$(id -u)" -ne 0 ] && SUDO="sudo"
  $SUDO apt-get install -y --no-install-recommends clang libclang-rt-14-dev >/dev/null \
    || $SUDO apt-get install -y --no-install-recommends clang >/dev/null
fi

build="$root/build/fuzz"
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DZAL_BUILD_FUZZ=ON -DZAL_BUILD_TESTS=OFF -DZAL_BUILD_DEMO=OFF >/dev/null
if [ "$target" = list ]; then
  cmake --build "$build" -j 2 >/dev/null
  ls "$build/fuzz" | grep '^zal_fuzz_' | sed 's/^zal_fuzz_//'
  exit 0
fi
cmake --build "$build" -j 2 --target "zal_fuzz_$target"
corpus="$build/corpus/$target"
artifacts="$build/artifacts/$target"
mkdir -p "$corpus" "$artifacts"
seeds=()
[ -d "$root/fuzz/corpus/$target" ] && seeds=("$root/fuzz/corpus/$target")
dictionary=()
[ -f "$root/fuzz/$target.dict" ] && dictionary=(-dict="$root/fuzz/$target.dict")
ASAN_OPTIONS=detect_leaks=1 "$build/fuzz/zal_fuzz_$target" -max_total_time="$seconds" -timeout=10 \
  -rss_limit_mb=2048 -print_final_stats=1 -artifact_prefix="$artifacts/" "${dictionary[@]}" "$corpus" "${seeds[@]}"
