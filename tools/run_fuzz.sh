#!/usr/bin/env bash
# Fuzzes each target for a bounded time, in a separate clang build with
# libFuzzer, AddressSanitizer and UndefinedBehaviorSanitizer: the JSON reader,
# "load" (one pass against the exact path), spec decoding (both settings) and
# the command tape (a failed or cancelled command changes nothing).
# Usage: tools/run_fuzz.sh [seconds per target, default 60] [target...]
# (targets: json_reader load spec tape; default all). Exits non-zero on a crash.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}
shift || true
targets=(json_reader load spec tape)
[ $# -eq 0 ] || targets=("$@")
build=${FUZZ_BUILD:-build-fuzz}
cxx=${FUZZ_CXX:-clang++-14}

cmake -S . -B "$build" -G Ninja -DCMAKE_CXX_COMPILER="$cxx" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DXRAY_BUILD_TESTS=ON -DXRAY_FUZZ=ON -DXRAY_SANITIZE="address;undefined;fuzzer-no-link" >/dev/null
for target in "${targets[@]}"; do
  cmake --build "$build" --target "fuzz_$target" -j2
  # New inputs go to a scratch directory; the checked-in seeds are only read.
  work="$build/fuzz-corpus/$target"
  artifacts="$build/fuzz-artifacts/$target/"
  mkdir -p "$work" "$artifacts"
  dict=()
  [ -f "tests/fuzz/$target.dict" ] && dict=(-dict="tests/fuzz/$target.dict")
  "$build/tests/fuzz/fuzz_$target" -max_total_time="$seconds" -max_len=4096 -timeout=10 \
    -rss_limit_mb=2048 -print_final_stats=1 "${dict[@]}" \
    -artifact_prefix="$artifacts" "$work" "tests/fuzz/corpus/$target"
done
