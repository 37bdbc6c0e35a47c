#!/usr/bin/env bash
# The download over loopback, side by side with curl in one run:
#   - a 256 MiB download through FileDownload, as the window's button starts
#     it, against `curl -o` into the same folder: throughput and CPU, median
#     of five interleaved rounds;
#   - peak RSS of a 256 MiB vs a 1 MiB download;
#   - the gaps between the event loop's passes during a 1 GiB download, five
#     runs;
#   - CPU while waiting 10 s for a server that has not answered.
#
# Usage: bench/download_bench.sh [build-dir]   (a Release build, e.g.
#   cmake -S . -B build-rel -G Ninja -DCMAKE_BUILD_TYPE=Release &&
#   cmake --build build-rel --target download_bench)
set -euo pipefail
. "$(dirname "$0")/loopgaps.sh"

build=${1:-build}
bench=$build/bench/download_bench
[ -x "$bench" ] || { echo "no $bench: build the download_bench target first" >&2; exit 1; }
command -v curl >/dev/null || { echo "curl is missing (apt-get install curl)" >&2; exit 1; }

folder=$(mktemp -d "${TMPDIR:-/tmp}/download-bench.XXXXXX")
portfile=$folder/port
"$bench" serve >"$portfile" &
server=$!
cleanup() { kill "$server" 2>/dev/null || true; wait "$server" 2>/dev/null || true; rm -rf "$folder"; }
trap cleanup EXIT
for _ in $(seq 50); do [ -s "$portfile" ] && break; sleep 0.1; done
base="http://127.0.0.1:$(cat "$portfile")"
MiB=$((1024 * 1024))

median() { printf '%s\n' "$@" | sort -g | sed -n "$(( ($# + 1) / 2 ))p"; }
ratio() { echo "$1 / $2" | bc -l | xargs printf 'x%.2f'; }
mibps() { echo "256 / $1" | bc -l | xargs printf '%.0f'; }

# Seconds of the transfer (curl's own time_total) and CPU seconds of the
# whole curl process.
curl_round() {
  local TIMEFORMAT='%U %S' total user sys
  { time curl -sS -o "$folder/curl.mp3" -w '%{time_total}\n' "$1" >"$folder/curl.out"; } 2>"$folder/curl.time"
  read -r total <"$folder/curl.out"
  read -r user sys <"$folder/curl.time"
  printf '%.3f %.3f\n' "$total" "$(echo "$user + $sys" | bc -l)"
}

rounds=${PLIMO_BENCH_ROUNDS:-5}
ours_s=() ours_cpu=() curl_s=() curl_cpu=()
for _ in $(seq "$rounds"); do
  read -r s cpu < <(curl_round "$base/bytes/$((256 * MiB))/curl.mp3")
  curl_s+=("$s") curl_cpu+=("$cpu")
  rm -f "$folder/ours.mp3"
  read -r s cpu _ _ < <("$bench" fetch "$base/bytes/$((256 * MiB))/ours.mp3" "$folder/")
  ours_s+=("$s") ours_cpu+=("$cpu")
  cmp -s "$folder/curl.mp3" "$folder/ours.mp3" || { echo "the download differs from curl's file" >&2; exit 1; }
done
rm -f "$folder"/*.mp3

os=$(median "${ours_s[@]}") cs=$(median "${curl_s[@]}")
oc=$(median "${ours_cpu[@]}") cc=$(median "${curl_cpu[@]}")
echo "== 256 MiB over loopback, median of $rounds interleaved rounds"
printf '  %-40s %9s %9s %8s  %s\n' "" "FileDownload" "curl -o" "ratio" "goal"
printf '  %-40s %9s %9s %8s  %s\n' "seconds (click to end / time_total)" "$os" "$cs" "" ""
printf '  %-40s %9s %9s %8s  %s\n' "throughput, MiB/s" "$(mibps "$os")" "$(mibps "$cs")" \
  "$(ratio "$cs" "$os")" ">= x0.90"
printf '  %-40s %9s %9s %8s  %s\n' "CPU seconds (click to end / process)" "$oc" "$cc" \
  "$(ratio "$oc" "$cc")" "<= x1.30"
echo "  rounds, FileDownload s: ${ours_s[*]}  CPU: ${ours_cpu[*]}"
echo "  rounds, curl s:         ${curl_s[*]}  CPU: ${curl_cpu[*]}"

read -r _ _ _ rss_big < <("$bench" fetch "$base/bytes/$((256 * MiB))/big.mp3" "$folder/")
read -r _ _ _ rss_small < <("$bench" fetch "$base/bytes/$MiB/small.mp3" "$folder/")
rm -f "$folder"/*.mp3
echo "== peak RSS: 256 MiB download $((rss_big / 1024)) MiB, 1 MiB download $((rss_small / 1024)) MiB," \
  "difference $(((rss_big - rss_small) / 1024)) MiB (limit 8)"

echo "== the event loop during a 1 GiB download, $rounds runs (ms between passes)"
# The file goes after every run: nine of them would fill a small disk.
gaps_of_one_download() {
  "$bench" gaps "$base/bytes/$((1024 * MiB))/gaps.mp3" "$folder/"
  rm -f "$folder/gaps.mp3"
}
loop_gaps "$rounds" gaps_of_one_download

read -r wall cpu < <("$bench" wait "$base/silent/late.mp3" 10)
echo "== waiting ${wall} s for a silent server: ${cpu}% of one core (goal < 1)"
