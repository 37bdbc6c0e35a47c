#!/usr/bin/env bash
# Test lines against code lines: the .cpp and .h files git tracks, without
# blank lines and comments. Tests are everything under tests/; code is the
# rest, bench/ and tools/ included (the measure), and again without them.
#
#   scripts/test_ratio.sh
set -euo pipefail
cd "$(dirname "$0")/.."

# Lines that are neither blank nor comment, over the files named on stdin.
count() {
  xargs -r awk '
    FNR == 1 { block = 0 }
    {
      line = $0
      if (block) { if (line !~ /\*\//) next; sub(/.*\*\//, "", line); block = 0 }
      while (line ~ /\/\*/) {
        if (line ~ /\/\*.*\*\//) { sub(/\/\*([^*]|\*+[^*\/])*\*+\//, "", line); continue }
        sub(/\/\*.*/, "", line); block = 1
      }
      sub(/^[ \t]+/, "", line)
      if (line == "" || line ~ /^\/\//) next
      n++
    }
    END { print n + 0 }'
}

sources() { git ls-files '*.cpp' '*.h'; }
tests=$(sources | grep '^tests/' | count)
code=$(sources | grep -v '^tests/' | count)
core=$(sources | grep -Ev '^(tests|bench|tools)/' | count)
ratio() { echo "scale=2; $1 / $2" | bc | sed 's/^\./0./'; }
printf 'test ratio: %s (tests %d / code %d, bench/ and tools/ counted as code)\n' \
  "$(ratio "$tests" "$code")" "$tests" "$code"
printf 'test ratio: %s (tests %d / code %d without bench/ and tools/)\n' \
  "$(ratio "$tests" "$core")" "$tests" "$core"
