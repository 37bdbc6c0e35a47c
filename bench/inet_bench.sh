#!/usr/bin/env bash
# The transfer component's figures in one run:
#   - 110 sequential fetches of a 20 KiB page over loopback on one instance
#     (one kept connection) beside 110 on fresh instances (a new connection
#     each) and beside one curl process fetching the same 110 addresses;
#   - the peak growth of resident memory while a 64 MiB body is streamed.
#
# Usage: bench/inet_bench.sh [build-dir]   (a Release build, e.g.
#   cmake -S . -B build-rel -G Ninja -DCMAKE_BUILD_TYPE=Release &&
#   ninja -C build-rel inet_bench)
set -euo pipefail
. "$(dirname "$0")/serving.sh"

build=${1:-build}
bench=$build/bench/inet_bench
[ -x "$bench" ] || { echo "no $bench: build the inet_bench target first" >&2; exit 1; }

command -v curl >/dev/null || { echo "curl is missing (scripts/deps.sh installs it)" >&2; exit 1; }

folder=$(mktemp -d "${TMPDIR:-/tmp}/inet-bench.XXXXXX")
serve_from "$folder" "$bench" serve
port=${base##*:}
for _ in $(seq 110); do
  echo "url = \"http://127.0.0.1:$port/page\""
  echo 'output = "/dev/null"'
done >"$folder/curl.config"

rounds=5
kept=() fresh=() curls=()
for _ in $(seq $rounds); do
  out=$("$bench" fetches "$port")
  kept+=("$(awk '$1 == "one-instance" { print $2 }' <<<"$out")")
  fresh+=("$(awk '$1 == "fresh-instances" { print $2 }' <<<"$out")")
  curls+=("$(curl -s -K "$folder/curl.config" -w '%{time_total}\n' | awk '{ s += $1 } END { printf "%.1f", s * 1000 }')")
done
median() { printf '%s\n' "$@" | sort -g | sed -n "$(( ($# + 1) / 2 ))p"; }

echo "== 110 sequential fetches of a 20 KiB page, median of $rounds (ms)"
printf '  %-34s %8s\n' "one instance, kept connection" "$(median "${kept[@]}")"
printf '  %-34s %8s\n' "a fresh instance per fetch" "$(median "${fresh[@]}")"
printf '  %-34s %8s\n' "curl, one process (sum of transfers)" "$(median "${curls[@]}")"
echo "  rounds: kept ${kept[*]} / fresh ${fresh[*]} / curl ${curls[*]}"

echo "== a 64 MiB body streamed in 1024-byte chunks"
printf '  %-34s %8s KiB (limit 4096)\n' "peak growth of resident memory" "$("$bench" stream)"
