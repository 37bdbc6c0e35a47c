#!/usr/bin/env bash
# Everything that must hold before a change lands, from a fresh Debian
# machine: installs what is missing, checks the formatting, builds with
# warnings as errors and runs every test, runs them again under
# AddressSanitizer and UndefinedBehaviorSanitizer, fuzzes the page extraction
# for a minute, and builds and checks the Debian package.
#
#   scripts/test.sh            (PLIMO_JOBS: build jobs; PLIMO_FUZZ_SECONDS: default 60)
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
jobs=${PLIMO_JOBS:-$(nproc)}
fuzz_seconds=${PLIMO_FUZZ_SECONDS:-60}
export QT_QPA_PLATFORM=offscreen

section() { printf '\n== %s\n' "$*"; }
results=$(mktemp)
trap 'rm -f "$results"' EXIT

section "dependencies"
"$root/scripts/deps.sh"

section "formatting"
mapfile -t sources < <(git ls-files '*.cpp' '*.h')
clang-format-14 --dry-run --Werror "${sources[@]}"
echo "${#sources[@]} files formatted"

run_suite() {
  local dir=$1
  shift
  cmake -S "$root" -B "$dir" -G Ninja -DPLIMO_WERROR=ON -DPLIMO_BENCH=OFF "$@" >/dev/null
  cmake --build "$dir" --parallel "$jobs"
  ctest --test-dir "$dir" --output-on-failure --parallel "$jobs" | tee -a "$results"
}

section "build and tests"
run_suite build-test -DCMAKE_BUILD_TYPE=RelWithDebInfo

section "tests under AddressSanitizer and UndefinedBehaviorSanitizer"
# Leaks are not judged: Qt's and fontconfig's process-lifetime caches would
# drown out the program's own.
ASAN_OPTIONS=detect_leaks=0:abort_on_error=1:strict_string_checks=1 \
UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  run_suite build-asan -DCMAKE_BUILD_TYPE=Debug -DPLIMO_SANITIZE=ON -DPLIMO_TOOLS=ON

section "fuzzing the page extraction for ${fuzz_seconds} s"
CC=clang CXX=clang++ cmake -S "$root" -B build-fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DPLIMO_FUZZ=ON -DPLIMO_TOOLS=OFF -DPLIMO_BENCH=OFF >/dev/null
cmake --build build-fuzz --parallel "$jobs" --target search_fuzz
corpus=$(mktemp -d)
trap 'rm -rf "$corpus" "$results"' EXIT
build-fuzz/tests/search/search_fuzz -dict=tests/search/search_fuzz.dict \
  -max_total_time="$fuzz_seconds" -rss_limit_mb=2048 -timeout=10 -max_len=65536 \
  -print_final_stats=1 "$corpus" tests/search/corpus 2>&1 | tail -n 12

section "Debian package"
PLIMO_JOBS=$jobs "$root/scripts/package.sh" build-package

# Both test runs, as one line.
awk '/tests passed, [0-9]+ tests? failed out of/ { total += $NF; failed += $4 }
     END { printf "summary: %d passed, %d failed\n", total - failed, failed }' "$results"
