#!/usr/bin/env bash
# The search's costs in one run:
#   - CPU time of the cuts on a 4 MiB result page with 5,000 links and a
#     4 MiB post page, and on pages twice that size (linearity);
#   - a whole search against a local portal (10 result pages x 10 posts =
#     110 fetches, through http_proxy) side by side with one curl process
#     fetching the same 110 addresses one after the other through the same
#     proxy. Both are timed as whole processes; median of five, interleaved.
#
# Usage: bench/search_bench.sh [build-dir]   (a Release build, e.g.
#   cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=Release &&
#   ninja -C build -j2 search_bench search_bench_portal)
set -euo pipefail

build=${1:-build}
bench=$build/bench/search_bench
[ -x "$bench" ] || { echo "no $bench: build the search_bench target first" >&2; exit 1; }
command -v curl >/dev/null || { echo "curl is missing (apt-get install curl)" >&2; exit 1; }

echo "== extraction"
"$bench" extract

folder=$(mktemp -d "${TMPDIR:-/tmp}/search-bench.XXXXXX")
"$bench"_portal >"$folder/port" &
server=$!
cleanup() { kill "$server" 2>/dev/null || true; wait "$server" 2>/dev/null || true; rm -rf "$folder"; }
trap cleanup EXIT
for _ in $(seq 50); do [ -s "$folder/port" ] && break; sleep 0.1; done
proxy="http://127.0.0.1:$(cat "$folder/port")"

# One search first, to learn the 110 addresses it fetches.
http_proxy=$proxy "$bench" run "$folder/addresses" 2>/dev/null
[ "$(wc -l <"$folder/addresses")" -eq 110 ] || { echo "the search did not fetch 110 addresses" >&2; exit 1; }
{
  echo "proxy = \"$proxy\""
  echo "globoff"
  echo "silent"
  echo "fail"
  while read -r address; do
    echo "url = \"$address\""
    echo "output = \"/dev/null\""
  done <"$folder/addresses"
} >"$folder/curl.config"

# Wall time of a whole process in ms; its output goes to the file $1.
milliseconds_of() {
  local out=$1 start=$EPOCHREALTIME
  shift
  "$@" >"$out" 2>&1
  echo "($EPOCHREALTIME - $start) * 1000" | bc -l | xargs printf '%.1f'
}
median() { printf '%s\n' "$@" | sort -g | sed -n "$(( ($# + 1) / 2 ))p"; }

# Besides the whole processes, the time spent fetching alone: what the run
# measures around itself, and the sum of curl's per-transfer times. These
# leave out the start of each process (Qt and libcurl loading, about 10-20 ms
# for the run, a few ms for curl), which a search in the open window never pays.
rounds=${PLIMO_BENCH_ROUNDS:-9}
search_wall=() curl_wall=() search_inside=() curl_inside=()
for _ in $(seq $rounds); do
  search_wall+=("$(http_proxy=$proxy milliseconds_of "$folder/run.out" "$bench" run "$folder/addresses")")
  search_inside+=("$(sed -n 's/.*fetches, \([0-9.]*\) ms inside the run/\1/p' "$folder/run.out")")
  curl_wall+=("$(milliseconds_of "$folder/curl.out" curl -K "$folder/curl.config" -w '%{time_total}\n')")
  curl_inside+=("$(awk '{ sum += $1 } END { printf "%.1f", sum * 1000 }' "$folder/curl.out")")
done

ratio() { echo "$1 / $2" | bc -l | xargs printf 'x%.2f'; }
echo "== a whole search, 110 fetches over loopback, median of $rounds interleaved rounds (ms)"
printf '%-28s %12s %12s %8s\n' "" "search run" "curl" "ratio"
sw=$(median "${search_wall[@]}") cw=$(median "${curl_wall[@]}")
si=$(median "${search_inside[@]}") ci=$(median "${curl_inside[@]}")
printf '%-28s %12s %12s %8s\n' "whole process (wall)" "$sw" "$cw" "$(ratio "$sw" "$cw")"
printf '%-28s %12s %12s %8s\n' "fetching only" "$si" "$ci" "$(ratio "$si" "$ci")"
printf '%-28s %12s\n' "the run's own work" "$("$bench" own)"
echo "  (the same search with its 110 pages in memory, best of 5: decoding, cuts, lists)"
echo "rounds, search wall: ${search_wall[*]}"
echo "rounds, curl wall:   ${curl_wall[*]}"
