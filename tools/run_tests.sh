#!/usr/bin/env bash
# Runs every test: the layer, format and test-ratio checks; builds the one
# cp311-abi3 wheel and installs it into a virtual environment; builds the
# GoogleTest suites and runs ctest, then pytest; runs the Python tests against
# the same wheel on CPython 3.11, 3.12 and 3.13; the sanitizer builds
# (ASan+UBSan: C++ and Python tests; TSan: pool, frame and load tests); then a
# bounded fuzzing run.
#
# A failed stage does not stop the run: every stage whose inputs exist still
# runs, each prints its time when it ends, and the table of stages with their
# times and results is printed at the end, also after a failure or Ctrl-C.
# Every test has a time limit (ctest TIMEOUT, tests/python/conftest.py), so
# a hang fails its test instead of stopping the run. Build trees and virtual
# environments the run creates are removed at the end; those that were there
# before are reused and kept, and KEEP_BUILDS=1 keeps new ones for next time.
# SKIP_SANITIZERS=1 or SKIP_ABI3=1 leave those stages out (local runs).
set -uo pipefail
cd "$(dirname "$0")/.."

PYTHON=${PYTHON:-python3}
VENV=${VENV:-.venv-test}
BUILD=${BUILD:-build-test}
DIST=${DIST:-$BUILD/dist}
export ASAN_BUILD=${ASAN_BUILD:-build-asan} TSAN_BUILD=${TSAN_BUILD:-build-tsan} FUZZ_BUILD=${FUZZ_BUILD:-build-fuzz}

# What this run makes and did not find: removed at the end.
made=()
for tree in "$VENV" "$BUILD" "$ASAN_BUILD" "$TSAN_BUILD" "$FUZZ_BUILD" build .venv-abi3-3.11 .venv-abi3-3.12 .venv-abi3-3.13; do
  [ -e "$tree" ] || made+=("$tree")
done

rows=()
failed=0
current=""
finish() {
  local status=$?
  [ -n "$current" ] && rows+=("$(printf '%-8s %5d s  interrupted' "$current" $((SECONDS - started)))")
  if [ "${KEEP_BUILDS:-0}" != 1 ] && [ ${#made[@]} -gt 0 ]; then
    rm -rf "${made[@]}"
  fi
  echo "== stages (${SECONDS} s in all)"
  printf '%s\n' "${rows[@]}"
  [ $status -eq 0 ] && status=$failed
  exit "$status"
}
trap finish EXIT
trap 'exit 130' INT TERM

stage() {  # name command... : runs it in a subshell with -e, records its seconds and result
  current=$1 started=$SECONDS
  shift
  echo "== $current"
  (set -e; "$@")
  local status=$? result=ok
  [ $status -eq 0 ] || { result="FAILED (exit $status)"; failed=1; }
  rows+=("$(printf '%-8s %5d s  %s' "$current" $((SECONDS - started)) "$result")")
  echo "== $current: $result after $((SECONDS - started)) s"
  current=""
  return $status
}

skipped() {  # name why
  rows+=("$(printf '%-8s %5s    skipped: %s' "$1" - "$2")")
}

checks() {
  python3 tools/check_layers.py
  bash tools/check_format.sh
  bash tools/test_ratio.sh
}

wheel() {
  "$PYTHON" -m venv "$VENV"
  "$VENV/bin/python" -m pip install -q --upgrade pip
  rm -rf "$DIST"
  "$VENV/bin/python" -m pip wheel -q --no-deps -w "$DIST" .
  "$VENV/bin/python" -m pip install -q "$(ls "$DIST"/tarnix_xray-*.whl)[all,test]" cmake ninja
}

cpp() {
  # shellcheck disable=SC1091
  . "$VENV/bin/activate"
  cmake -S . -B "$BUILD" -G Ninja -DXRAY_BUILD_TESTS=ON -DXRAY_WERROR=ON
  cmake --build "$BUILD" -j2
  ctest --test-dir "$BUILD" --output-on-failure -j2
}

pytests() {
  # A scratch folder inside the build tree, so the run's files go with it.
  "$VENV/bin/python" -m pytest -q -p no:cacheprovider --basetemp "$BUILD/pytest-tmp" tests/python
}

fuzz() {
  # A short, bounded fuzzing run of every target (needs clang-14 with libFuzzer).
  if command -v clang++-14 >/dev/null 2>&1; then
    bash tools/run_fuzz.sh "${FUZZ_SECONDS:-30}"
  else
    echo "clang++-14 not found: fuzzing skipped"
  fi
}

# Each stage is called as a plain command: in an `if` or `&&`, bash would
# ignore the -e inside it.
stage checks checks
stage wheel wheel
wheel_status=$?
if [ $wheel_status -eq 0 ]; then
  WHEEL=$(ls "$DIST"/tarnix_xray-*.whl)
  stage cpp cpp
  stage pytest pytests
  [ "${SKIP_ABI3:-0}" = 1 ] || stage abi3 bash tools/run_abi3.sh "$WHEEL"
else
  for name in cpp pytest abi3; do skipped "$name" "no wheel"; done
fi
if [ "${SKIP_SANITIZERS:-0}" != 1 ]; then
  stage asan env PYTHON="$VENV/bin/python" bash tools/run_sanitizers.sh asan
  stage tsan bash tools/run_sanitizers.sh tsan
fi
stage fuzz fuzz
