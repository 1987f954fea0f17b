#!/usr/bin/env bash
# Fuzzes the JSON reader for a bounded time in a separate clang build with
# libFuzzer, AddressSanitizer and UndefinedBehaviorSanitizer.
# Usage: tools/run_fuzz.sh [seconds, default 60]. Exits non-zero on a crash.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}
build=${FUZZ_BUILD:-build-fuzz}
cxx=${FUZZ_CXX:-clang++-14}

cmake -S . -B "$build" -G Ninja -DCMAKE_CXX_COMPILER="$cxx" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DXRAY_BUILD_TESTS=ON -DXRAY_FUZZ=ON -DXRAY_SANITIZE="address;undefined;fuzzer-no-link" >/dev/null
cmake --build "$build" --target fuzz_json_reader -j2

# New inputs go to a scratch directory; the checked-in seeds are only read.
work="$build/fuzz-corpus/json_reader"
artifacts="$build/fuzz-artifacts/"
mkdir -p "$work" "$artifacts"
"$build/tests/fuzz/fuzz_json_reader" -max_total_time="$seconds" -max_len=4096 -timeout=10 \
  -rss_limit_mb=2048 -print_final_stats=1 -dict=tests/fuzz/json_reader.dict \
  -artifact_prefix="$artifacts" "$work" tests/fuzz/corpus/json_reader
