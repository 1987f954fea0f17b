#!/usr/bin/env bash
# Non-blank lines of test code (tests/**/*.cpp, *.h, *.py) against those of
# the code under test (src/ and python/: *.cpp, *.h, *.h.in, *.py, *.pyi, and the viewer page's *.js),
# and their ratio. Case and corpus data files are not code and not counted.
# Usage: tools/test_ratio.sh [--max R]   exits 1 when --max is given and the
# ratio is above R, else 0 (a report).
set -euo pipefail
cd "$(dirname "$0")/.."

max=""
while [ $# -gt 0 ]; do
  case "$1" in
    --max) max=${2:?--max needs a ratio}; shift 2 ;;
    --max=*) max=${1#--max=}; shift ;;
    -h|--help) sed -n '2,6s/^# \{0,1\}//p' "$0"; exit 0 ;;
    *) echo "test_ratio.sh: unknown argument: $1" >&2; exit 2 ;;
  esac
done

# Non-blank lines of the files under the given folder whose names match.
count() {
  local folder=$1
  shift
  local pattern=()
  for suffix in "$@"; do pattern+=(-o -name "*$suffix"); done
  find "$folder" -type f \( "${pattern[@]:1}" \) -print0 |
    xargs -0 -r cat | grep -c '[^[:space:]]' || true
}

tests=$(count tests .cpp .h .py)
code=$(( $(count src .cpp .h .h.in .py .pyi) + $(count python .cpp .h .h.in .py .pyi .js) ))
ratio=$(awk -v t="$tests" -v c="$code" 'BEGIN { printf "%.2f", (c > 0 ? t / c : 0) }')
printf 'test code  %6d non-blank lines (tests/: *.cpp *.h *.py)\n' "$tests"
printf 'code       %6d non-blank lines (src/ python/: *.cpp *.h *.h.in *.py *.pyi *.js)\n' "$code"
printf 'ratio      %6s\n' "$ratio"

if [ -n "$max" ] && awk -v t="$tests" -v c="$code" -v m="$max" 'BEGIN { exit !(t > m * c) }'; then
  echo "ratio $ratio is above $max" >&2
  exit 1
fi
exit 0
