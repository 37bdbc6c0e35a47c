#!/usr/bin/env bash
# A download that heals, over loopback, in one run:
#   - 256 MiB cut at half by the server and resumed after the 1 s pause: the
#     body bytes the server sent for it, against the file's size, and its
#     time against a clean 256 MiB download plus that pause;
#   - the clean 256 MiB download beside the same download by an earlier
#     build (before retries and resumes), interleaved, when one is given.
# Medians of PLIMO_BENCH_ROUNDS (5) rounds.
#
# Usage: bench/resume_bench.sh build-dir [earlier-build-dir]   (Release builds
#   with the download_bench target, e.g. an earlier one from
#   git worktree add /tmp/earlier <commit> && cmake -S /tmp/earlier -B /tmp/earlier/build-rel
#   -G Ninja -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF && cmake --build ... --target download_bench)
set -euo pipefail
. "$(dirname "$0")/serving.sh"

build=${1:?usage: bench/resume_bench.sh build-dir [earlier-build-dir]}
earlier=${2:-}
bench=$build/bench/download_bench
[ -x "$bench" ] || { echo "no $bench: build the download_bench target first" >&2; exit 1; }
command -v curl >/dev/null || { echo "curl is missing (apt-get install curl)" >&2; exit 1; }

folder=$(mktemp -d "${TMPDIR:-/tmp}/resume-bench.XXXXXX")
serve_from "$folder" "$bench" serve
size=$((256 * 1024 * 1024))

median() { printf '%s\n' "$@" | sort -g | sed -n "$(( ($# + 1) / 2 ))p"; }
sent() { curl -s "$base/sent"; }
# Seconds of one download by the download_bench at $1 of address $2.
seconds_of() {
  rm -f "$folder"/*.mp3
  "$1" fetch "$2" "$folder/" | awk '{ print $1 }'
}

rounds=${PLIMO_BENCH_ROUNDS:-5}
clean=() resumed=() ratio=() before=()
for _ in $(seq "$rounds"); do
  clean+=("$(seconds_of "$bench" "$base/bytes/$size/clean.mp3")")
  start=$(sent)
  resumed+=("$(seconds_of "$bench" "$base/cut/$size/cut.mp3")")
  ratio+=("$(echo "($(sent) - $start) / $size" | bc -l)")
  [ -z "$earlier" ] || before+=("$(seconds_of "$earlier/bench/download_bench" "$base/bytes/$size/clean.mp3")")
done
c=$(median "${clean[@]}") r=$(median "${resumed[@]}") b=$(median "${ratio[@]}")
echo "== 256 MiB cut at half and resumed, median of $rounds (s)"
printf '%-34s %10s %10s %8s  %s\n' "" "measured" "reference" "ratio" "goal"
printf '%-34s %10.3f %10.3f %8s  %s\n' "time, vs clean + the 1 s pause" "$r" "$(echo "$c + 1" | bc -l)" \
  "$(echo "$r / ($c + 1)" | bc -l | xargs printf 'x%.3f')" "<= x1.10"
printf '%-34s %10s %10s %8s  %s\n' "body bytes sent, vs the file" "$(printf '%.4f' "$b")" "1" \
  "$(printf 'x%.4f' "$b")" "<= x1.01"
echo "  rounds, clean: ${clean[*]}; resumed: ${resumed[*]}"
if [ -n "$earlier" ]; then
  e=$(median "${before[@]}")
  echo "== the clean 256 MiB download, this build beside the earlier one (s)"
  printf '%-34s %10.3f %10.3f %8s  %s\n' "clean download" "$c" "$e" \
    "$(echo "$c / $e" | bc -l | xargs printf 'x%.3f')" "<= x1.00 (not slower)"
  echo "  rounds, earlier: ${before[*]}"
fi
