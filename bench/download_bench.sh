#!/usr/bin/env bash
# The download over loopback, side by side with curl in one run:
#   - throughput of a 256 MiB download through FileDownload vs `curl -o` into
#     the same folder (best of three each), and what each measure in the chunk
#     loop gains (naive, +buffered writes, +display only on change, +yield at
#     most once per millisecond = what the window uses);
#   - peak RSS of a 256 MiB vs a 1 MiB download;
#   - CPU while waiting 10 s for a server that has not answered.
#
# Usage: bench/download_bench.sh [build-dir]   (a Release build, e.g.
#   cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=Release &&
#   ninja -C build -j2 download_bench)
set -euo pipefail

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
big=$((256 * 1024 * 1024))

seconds_of() {  # runs a command, prints its wall time in seconds
  local start=$EPOCHREALTIME
  "$@" >/dev/null
  echo "$EPOCHREALTIME - $start" | bc -l
}
best() { printf '%s\n' "$@" | sort -g | head -1; }
mibps() { echo "256 / $1" | bc -l | xargs printf '%.0f'; }

declare -A times
for round in 1 2 3; do
  times[curl]+="$(seconds_of curl -sS -o "$folder/curl.mp3" "$base/bytes/$big/curl.mp3") "
  for variant in naive buffer change all; do
    rm -f "$folder/$variant.mp3"
    times[$variant]+="$(seconds_of "$bench" fetch "$base/bytes/$big/$variant.mp3" "$folder/" "$variant") "
  done
done
for variant in naive buffer change all; do
  cmp -s "$folder/curl.mp3" "$folder/$variant.mp3" || { echo "$variant: file differs from curl's" >&2; exit 1; }
done

curl_best=$(best ${times[curl]})
echo "256 MiB over loopback, best of 3 (wall time of the whole process)"
printf '  %-48s %7.3f s %6s MiB/s\n' "curl -o" "$curl_best" "$(mibps "$curl_best")"
declare -A label=(
  [naive]="FileDownload, naive (write+update+yield/chunk)"
  [buffer]="  + buffered writes (64 KiB)"
  [change]="  + bar/label only when the value changes"
  [all]="  + yield at most once per ms (the window's)"
)
for variant in naive buffer change all; do
  t=$(best ${times[$variant]})
  printf '  %-48s %7.3f s %6s MiB/s  %.2fx curl\n' "${label[$variant]}" "$t" "$(mibps "$t")" \
    "$(echo "$curl_best / $t" | bc -l)"
done
rm -f "$folder"/*.mp3

read -r _ _ rss_big < <("$bench" fetch "$base/bytes/$big/big.mp3" "$folder/")
read -r _ _ rss_small < <("$bench" fetch "$base/bytes/$((1024 * 1024))/small.mp3" "$folder/")
echo "peak RSS: 256 MiB download $((rss_big / 1024)) MiB, 1 MiB download $((rss_small / 1024)) MiB," \
  "difference $(((rss_big - rss_small) / 1024)) MiB (limit 8)"
rm -f "$folder"/*.mp3

read -r wall cpu < <("$bench" wait "$base/silent/late.mp3" 10)
echo "waiting ${wall} s for a silent server: ${cpu}% of one core (limit 5)"
