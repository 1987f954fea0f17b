#!/usr/bin/env bash
# Runs every test: the layer, format and test-ratio checks, then builds and
# installs the package into a virtual environment, builds the GoogleTest
# suites, runs ctest, then pytest, then a bounded fuzzing run.
set -euo pipefail
cd "$(dirname "$0")/.."

python3 tools/check_layers.py
bash tools/check_format.sh
bash tools/test_ratio.sh
PYTHON=${PYTHON:-python3}
VENV=${VENV:-.venv-test}
BUILD=${BUILD:-build-test}

"$PYTHON" -m venv "$VENV"
# shellcheck disable=SC1091
. "$VENV/bin/activate"
python -m pip install -q --upgrade pip
python -m pip install -q ".[all,test]" cmake ninja

cmake -S . -B "$BUILD" -G Ninja -DXRAY_BUILD_TESTS=ON -DXRAY_WERROR=ON
cmake --build "$BUILD" -j2
ctest --test-dir "$BUILD" --output-on-failure -j2

python -m pytest -q tests/python

# A short, bounded fuzzing run of the reader (needs clang-14 with libFuzzer).
if command -v clang++-14 >/dev/null 2>&1; then
  bash tools/run_fuzz.sh "${FUZZ_SECONDS:-30}"
else
  echo "clang++-14 not found: fuzzing skipped"
fi
