#!/usr/bin/env bash
# The search's costs in one run:
#   - CPU time of the cuts on a 4 MiB result page with 5,000 links and a
#     4 MiB post page, and on pages twice that size (linearity);
#   - a whole search against a local portal (10 result pages x 10 posts =
#     110 fetches, through http_proxy) side by side with one curl process
#     fetching the same 110 addresses one after the other through the same
#     proxy. Both are timed as whole processes; median of nine, interleaved;
#   - the same search against portals that answer each page after 0, 50 and
#     100 ms, beside `curl --parallel --parallel-max 6` fetching the same
#     pages in the same two phases (the result pages, then the posts) and
#     beside the floor of fetching them one at a time (median of five);
#   - the gaps between the event loop's passes during the 100 ms search
#     (five runs).
#
# Usage: bench/search_bench.sh [build-dir]   (a Release build, e.g.
#   cmake -S . -B build-rel -G Ninja -DCMAKE_BUILD_TYPE=Release &&
#   cmake --build build-rel --target search_bench search_bench_portal)
set -euo pipefail
. "$(dirname "$0")/loopgaps.sh"


build=${1:-build}
bench=$build/bench/search_bench
[ -x "$bench" ] || { echo "no $bench: build the search_bench target first" >&2; exit 1; }
command -v curl >/dev/null || { echo "curl is missing (apt-get install curl)" >&2; exit 1; }

echo "== extraction"
"$bench" extract

folder=$(mktemp -d "${TMPDIR:-/tmp}/search-bench.XXXXXX")
"$bench"_portal >"$folder/port" &
server=$!
"$bench"_portal 50 >"$folder/port50" &
server50=$!
"$bench"_portal 100 >"$folder/port100" &
server100=$!
cleanup() {
  kill "$server" "$server50" "$server100" 2>/dev/null || true
  wait "$server" "$server50" "$server100" 2>/dev/null || true
  rm -rf "$folder"
}
trap cleanup EXIT
for _ in $(seq 50); do [ -s "$folder/port" ] && [ -s "$folder/port50" ] && [ -s "$folder/port100" ] && break; sleep 0.1; done
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
search_start=() curl_start=()
for _ in $(seq $rounds); do
  search_wall+=("$(http_proxy=$proxy milliseconds_of "$folder/run.out" "$bench" run "$folder/addresses")")
  search_inside+=("$(sed -n 's/.*fetches, \([0-9.]*\) ms inside the run.*/\1/p' "$folder/run.out")")
  curl_wall+=("$(milliseconds_of "$folder/curl.out" curl -K "$folder/curl.config" -w '%{time_total}\n')")
  curl_inside+=("$(awk '{ sum += $1 } END { printf "%.1f", sum * 1000 }' "$folder/curl.out")")
  search_start+=("$(milliseconds_of /dev/null "$bench" start)")
  curl_start+=("$(milliseconds_of /dev/null curl -s -o /dev/null file:///dev/null)")
done

ratio() { echo "$1 / $2" | bc -l | xargs printf 'x%.2f'; }
echo "== a whole search, 110 fetches over loopback, median of $rounds interleaved rounds (ms)"
printf '%-28s %12s %12s %8s  %s\n' "" "search run" "curl" "ratio" "goal"
sw=$(median "${search_wall[@]}") cw=$(median "${curl_wall[@]}")
si=$(median "${search_inside[@]}") ci=$(median "${curl_inside[@]}")
printf '%-28s %12s %12s %8s\n' "whole process (wall)" "$sw" "$cw" "$(ratio "$sw" "$cw")"
printf '%-28s %12s %12s %8s\n' "fetching only (the run)" "$si" "$ci" "$(ratio "$si" "$ci")"
printf '%-28s %12s\n' "  the run's own work" "$("$bench" own)"
echo "  (curl fetches one page after another here, on one kept connection, where the run opens"
echo "   six; own work: the same search with its 110 pages in memory, best of 5: decoding,"
echo "   cuts, lists; curl: the sum of time_total. The goals are those of the next table.)"
ss=$(median "${search_start[@]}") cs=$(median "${curl_start[@]}")
printf '%-28s %12s %12s %8s\n' "process start and exit" "$ss" "$cs" "$(ratio "$ss" "$cs")"
echo "  (no fetch: loading Qt and libcurl vs curl reading an empty file)"
echo "rounds, search wall: ${search_wall[*]}"
echo "rounds, curl wall:   ${curl_wall[*]}"

# curl's configuration for one phase: lines $2 to $3 of the address list,
# through the proxy $1, at most six at once.
phase_config() {
  echo "proxy = \"$1\""
  echo "globoff"
  echo "silent"
  echo "parallel"
  echo "parallel-max = 6"
  sed -n "$2,$3p" "$folder/addresses" | while read -r address; do
    echo "url = \"$address\""
    echo "output = \"/dev/null\""
  done
}
slow_rounds=${PLIMO_BENCH_SLOW_ROUNDS:-5}
echo "== the search against a distant portal: six pages at once, median of $slow_rounds (ms)"
printf '%-22s %10s %10s %8s %9s %12s  %s\n' "each page after" "search" "curl x6" "ratio" "floor" "floor/search" "goals"
for delay in 0 50 100; do
  port_file=$folder/port; [ "$delay" -eq 0 ] || port_file=$folder/port$delay
  slow_proxy="http://127.0.0.1:$(cat "$port_file")"
  phase_config "$slow_proxy" 1 10 >"$folder/phase1.config"
  phase_config "$slow_proxy" 11 110 >"$folder/phase2.config"
  slow_wall=() parallel_wall=()
  for _ in $(seq "$slow_rounds"); do
    slow_wall+=("$(http_proxy=$slow_proxy milliseconds_of "$folder/run.out" "$bench" run "$folder/slow-addresses")")
    cmp -s "$folder/addresses" "$folder/slow-addresses" || { echo "the search fetched other addresses" >&2; exit 1; }
    parallel_wall+=("$(milliseconds_of "$folder/curl.out" sh -c "curl -K '$folder/phase1.config' && curl -K '$folder/phase2.config'")")
  done
  sw=$(median "${slow_wall[@]}") pw=$(median "${parallel_wall[@]}")
  floor=$((110 * delay))
  speedup=-; [ "$delay" -eq 0 ] || speedup=$(echo "$floor / $sw" | bc -l | xargs printf 'x%.1f')
  goals="<= x1.10 of curl"; [ "$delay" -eq 100 ] && goals="$goals, >= x4.5 faster than the floor"
  printf '%-22s %10s %10s %8s %9s %12s  %s\n' "$delay ms" "$sw" "$pw" "$(ratio "$sw" "$pw")" "$floor" "$speedup" "$goals"
  echo "  rounds, search: ${slow_wall[*]}; curl: ${parallel_wall[*]}"
done
echo "  (floor: 110 pages one at a time, their delays alone; both sides are whole processes)"

echo "== the event loop during the 100 ms search, $slow_rounds runs (ms between passes)"
loop_gaps "$slow_rounds" env http_proxy="http://127.0.0.1:$(cat "$folder/port100")" "$bench" gaps
