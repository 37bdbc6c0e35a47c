#!/usr/bin/env bash
# Plants each fault of tests/faults/ in a scratch copy of the tree, one at a
# time, builds the copy with the asan preset (some faults show only there) and
# runs the tests the fault names on its "Tests:" line (every test with
# --all). Prints one line per fault, caught or missed, and a count. A fault
# that no longer applies or builds counts as missed too: its patch wants
# updating with the code.
#
#   scripts/plant_faults.sh [--all] [fault ...]   (a fault: its file name without .patch)
#
# PLIMO_FAULT_DIR holds the copy and its build between runs, so only what a
# fault touches is built again (default: $TMPDIR/plimo-faults). A developer's
# tool; CI does not run it.
set -uo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
scratch=${PLIMO_FAULT_DIR:-${TMPDIR:-/tmp}/plimo-faults}
jobs=${PLIMO_JOBS:-$(nproc)}
all=false
wanted=()
for arg in "$@"; do
  case $arg in
  --all) all=true ;;
  -*) echo "usage: scripts/plant_faults.sh [--all] [fault ...]" >&2; exit 2 ;;
  *) wanted+=("$arg") ;;
  esac
done

faults=()
if [ ${#wanted[@]} -eq 0 ]; then
  faults=("$root"/tests/faults/*.patch)
else
  for name in "${wanted[@]}"; do faults+=("$root/tests/faults/${name%.patch}.patch"); done
fi

# The copy: the tracked files as the working tree has them. Only a file whose
# bytes differ is written, and then with a new time, so the build in the copy
# stays incremental from one run to the next and never mistakes an object
# built with a fault (the last one, or a run cut short) for a clean one.
tree=$scratch/tree
mkdir -p "$tree"
(cd "$root" && git ls-files) | while read -r file; do
  cmp -s "$root/$file" "$tree/$file" && continue
  mkdir -p "$tree/$(dirname "$file")" && cp "$root/$file" "$tree/$file" || exit 1
done || exit 1
cd "$tree" || exit 1

build() { cmake --build --preset asan --parallel "$jobs" >"$scratch/build.log" 2>&1; }
tests() { ctest --preset asan --parallel "$jobs" --timeout 300 ${1:+-R "$1"} >"$scratch/test.log" 2>&1; }

echo "building the copy in $tree/build-asan"
cmake --preset asan >/dev/null || exit 1
if ! build || ! tests; then
  echo "the tests fail without any fault planted: see $scratch/build.log and $scratch/test.log" >&2
  exit 1
fi

caught=0
missed=0
for patch in "${faults[@]}"; do
  name=$(basename "$patch" .patch)
  what=$(sed -n 's/^Fault: //p' "$patch")
  regex=$(sed -n 's/^Tests: //p' "$patch")
  $all && regex=
  if ! git apply "$patch" 2>/dev/null; then
    verdict="missed (the patch does not apply)"
  elif ! build; then
    verdict="missed (does not build)"
  elif tests "$regex"; then
    verdict=missed
  else
    verdict="caught by $(sed -n 's/^[[:space:]]*[0-9]* - \([^ ]*\).*/\1/p' "$scratch/test.log" | paste -sd, -)"
  fi
  git apply -R "$patch" 2>/dev/null
  case $verdict in caught*) caught=$((caught + 1)) ;; *) missed=$((missed + 1)) ;; esac
  printf '%-40s %s: %s\n' "$name" "$verdict" "$what"
done
printf 'faults: %d caught, %d missed\n' "$caught" "$missed"
[ "$missed" -eq 0 ]
