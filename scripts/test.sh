#!/usr/bin/env bash
# Everything that must hold before a change lands, from a fresh Debian
# machine: installs what is missing, checks the formatting and the layering,
# builds with warnings as errors and runs every test, runs them again under
# AddressSanitizer and UndefinedBehaviorSanitizer, fuzzes the page extraction
# for a minute, and builds and checks the Debian package.
#
#   scripts/test.sh            (PLIMO_JOBS: build jobs; PLIMO_FUZZ_SECONDS: default 60)
#   scripts/test.sh --quick    the inner loop: the layering, the build and the tests, once
#
# A failing step does not stop the others. The last line counts every test
# and every other check as one each, "summary: N passed, M failed", and the
# exit status is 1 when M is not 0.
set -uo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root" || exit 1

quick=false
for arg in "$@"; do
  case $arg in
  --quick) quick=true ;;
  *) echo "usage: scripts/test.sh [--quick]" >&2; exit 2 ;;
  esac
done

jobs=${PLIMO_JOBS:-$(nproc)}
fuzz_seconds=${PLIMO_FUZZ_SECONDS:-60}
export QT_QPA_PLATFORM=offscreen

passed=0
failed=0
failed_steps=()
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

section() { printf '\n== %s\n' "$*"; }
pass() { passed=$((passed + 1)); }
fail() { failed=$((failed + 1)); failed_steps+=("$1"); }

# Runs one check that counts as one: a name, then the command. Returns the
# command's status.
check() {
  local name=$1
  shift
  "$@" && pass && return
  fail "$name"
  return 1
}

summary() {
  local step
  [ ${#failed_steps[@]} -eq 0 ] || printf '\nfailed:\n'
  for step in "${failed_steps[@]}"; do printf '  %s\n' "$step"; done
  printf 'summary: %d passed, %d failed\n' "$passed" "$failed"
  exit $((failed > 0))
}

formatting() {
  local sources
  mapfile -t sources < <(git ls-files '*.cpp' '*.h')
  clang-format-14 --dry-run --Werror "${sources[@]}" && echo "${#sources[@]} files formatted"
}

# Builds in dir and runs its tests; each test counts. A build that fails
# counts as one failure, and its stale tests are not run.
run_suite() {
  local name=$1 dir=$2
  shift 2
  if ! cmake -S "$root" -B "$dir" -G Ninja -DPLIMO_WERROR=ON -DPLIMO_BENCH=OFF "$@" >/dev/null ||
    ! cmake --build "$dir" --parallel "$jobs"; then
    fail "$name build"
    return
  fi
  local log="$scratch/$name.log" status=0
  ctest --test-dir "$dir" --output-on-failure --parallel "$jobs" | tee "$log" || status=$?
  local counts
  counts=$(awk '/tests passed, [0-9]+ tests? failed out of/ { print $NF - $4, $4 }' "$log")
  if [ -z "$counts" ]; then
    fail "$name tests: no result from CTest"
    return
  fi
  local ok=${counts% *} not_ok=${counts#* }
  passed=$((passed + ok))
  failed=$((failed + not_ok))
  if [ "$not_ok" -gt 0 ]; then
    failed_steps+=("$name tests: $not_ok of $((ok + not_ok))")
  elif [ "$status" -ne 0 ]; then
    fail "$name tests: CTest ended with status $status"
  fi
}

fuzz() {
  CC=clang CXX=clang++ cmake -S "$root" -B build-fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DPLIMO_FUZZ=ON -DPLIMO_TOOLS=OFF -DPLIMO_BENCH=OFF >/dev/null &&
    cmake --build build-fuzz --parallel "$jobs" --target search_fuzz || return
  mkdir -p "$scratch/corpus"
  build-fuzz/tests/search/search_fuzz -dict=tests/search/search_fuzz.dict \
    -max_total_time="$fuzz_seconds" -rss_limit_mb=2048 -timeout=10 -max_len=65536 \
    -print_final_stats=1 "$scratch/corpus" tests/search/corpus 2>&1 | tail -n 12
}

if ! $quick; then
  section "dependencies"
  # Nothing after this can work without them.
  check dependencies "$root/scripts/deps.sh" || summary

  section "formatting"
  check formatting formatting
fi

section "layering"
check layering "$root/scripts/check_layers.sh"

section "test lines against code lines"
"$root/scripts/test_ratio.sh" || true

section "build and tests"
run_suite main build-test -DCMAKE_BUILD_TYPE=RelWithDebInfo

$quick && summary

section "tests under AddressSanitizer and UndefinedBehaviorSanitizer"
# Leaks are judged too: a coroutine that is never resumed keeps its frame,
# and with it whatever it owns.
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1:strict_string_checks=1 \
UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  run_suite sanitizer build-asan -DCMAKE_BUILD_TYPE=Debug -DPLIMO_SANITIZE=ON -DPLIMO_TOOLS=ON

section "fuzzing the page extraction for ${fuzz_seconds} s"
check fuzzing fuzz

section "Debian package"
check package env PLIMO_JOBS="$jobs" "$root/scripts/package.sh" build-package

summary
