#!/usr/bin/env bash
# The stable-ABI promise: the one cp311-abi3 wheel, built once, installed into
# a fresh virtual environment of each CPython from 3.11 on, and the Python
# tests run against it with every warning an error.
# Usage: tools/run_abi3.sh WHEEL [version...]   (default versions: 3.11 3.12 3.13)
# An interpreter found neither on PATH (pythonX.Y) nor under pyenv is skipped
# with a message; REQUIRE_ALL_PYTHONS=1 makes that a failure.
set -euo pipefail
cd "$(dirname "$0")/.."
wheel=${1:?usage: tools/run_abi3.sh WHEEL [version...]}
shift
versions=(3.11 3.12 3.13)
[ $# -eq 0 ] || versions=("$@")
case "$(basename "$wheel")" in
  *-cp311-abi3-*.whl) ;;
  *) echo "run_abi3.sh: $wheel is not a cp311-abi3 wheel" >&2; exit 1 ;;
esac

find_python() {  # version -> path of an interpreter, or nothing
  local v=$1 found
  if found=$(command -v "python$v" 2>/dev/null) && "$found" -c 'pass' 2>/dev/null; then
    echo "$found"
    return
  fi
  local root=${PYENV_ROOT:-$HOME/.pyenv}
  for found in "$root"/versions/"$v".*/bin/"python$v"; do
    [ -x "$found" ] && { echo "$found"; return; }
  done
}

skipped=()
for v in "${versions[@]}"; do
  python=$(find_python "$v")
  if [ -z "$python" ]; then
    echo "abi3: CPython $v not found (pythonX.Y on PATH or under pyenv): SKIPPED"
    skipped+=("$v")
    continue
  fi
  venv=".venv-abi3-$v"
  echo "abi3: CPython $v at $python"
  "$python" -m venv --clear "$venv"
  "$venv/bin/python" -m pip install -q --disable-pip-version-check "$wheel" pytest hypothesis numpy
  # From the tests' folder, so the source tree's package cannot shadow the wheel's.
  (cd tests/python && "../../$venv/bin/python" -W error -m pytest -q -W error \
    -p no:cacheprovider .)
done
if [ ${#skipped[@]} -gt 0 ]; then
  echo "abi3: skipped CPython ${skipped[*]}: not on this machine"
  [ "${REQUIRE_ALL_PYTHONS:-0}" = 1 ] && exit 1
fi
exit 0
