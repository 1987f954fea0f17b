#!/usr/bin/env bash
# Runs every test: the layer, format and test-ratio checks; builds the one
# cp311-abi3 wheel and installs it into a virtual environment; builds the
# GoogleTest suites and runs ctest, then pytest; runs the Python tests against
# the same wheel on CPython 3.11, 3.12 and 3.13; the sanitizer builds
# (ASan+UBSan: C++ and Python tests; TSan: pool, frame and fork tests); then a
# bounded fuzzing run. Prints each stage's time at the end.
# SKIP_SANITIZERS=1 or SKIP_ABI3=1 leave those stages out (local runs).
set -euo pipefail
cd "$(dirname "$0")/.."

times=()
stage() {  # name command... : runs it and records its seconds
  local name=$1 start=$SECONDS
  shift
  echo "== $name"
  "$@"
  times+=("$(printf '%-12s %5d s' "$name" $((SECONDS - start)))")
}

checks() {
  python3 tools/check_layers.py
  bash tools/check_format.sh
  bash tools/test_ratio.sh
}

PYTHON=${PYTHON:-python3}
VENV=${VENV:-.venv-test}
BUILD=${BUILD:-build-test}
DIST=${DIST:-$BUILD/dist}

wheel() {
  "$PYTHON" -m venv "$VENV"
  "$VENV/bin/python" -m pip install -q --upgrade pip
  rm -rf "$DIST"
  "$VENV/bin/python" -m pip wheel -q --no-deps -w "$DIST" .
  WHEEL=$(ls "$DIST"/tarnix_xray-*.whl)
  "$VENV/bin/python" -m pip install -q "$WHEEL[all,test]" cmake ninja
}

cpp() {
  # shellcheck disable=SC1091
  . "$VENV/bin/activate"
  cmake -S . -B "$BUILD" -G Ninja -DXRAY_BUILD_TESTS=ON -DXRAY_WERROR=ON
  cmake --build "$BUILD" -j2
  ctest --test-dir "$BUILD" --output-on-failure -j2
}

fuzz() {
  # A short, bounded fuzzing run of every target (needs clang-14 with libFuzzer).
  if command -v clang++-14 >/dev/null 2>&1; then
    bash tools/run_fuzz.sh "${FUZZ_SECONDS:-30}"
  else
    echo "clang++-14 not found: fuzzing skipped"
  fi
}

stage checks checks
stage wheel wheel
stage cpp cpp
stage pytest "$VENV/bin/python" -m pytest -q tests/python
[ "${SKIP_ABI3:-0}" = 1 ] || stage abi3 bash tools/run_abi3.sh "$WHEEL"
if [ "${SKIP_SANITIZERS:-0}" != 1 ]; then
  stage asan env PYTHON="$VENV/bin/python" bash tools/run_sanitizers.sh asan
  stage tsan bash tools/run_sanitizers.sh tsan
fi
stage fuzz fuzz

echo "== stage times"
printf '%s\n' "${times[@]}"
