#!/usr/bin/env bash
# The line of downloads as a screen-reader user runs it, in the real window
# (Xvfb, the accessibility bus on, a stand-in screen reader listening), every
# request through one http_proxy that holds each rate to 40 MiB/s
# (bench/line_bench_portal.cpp; see bench/linewindow.sh):
#   - ten files of 8 MiB queued by ten clicks on 음악다운: from the first
#     request to the last landing, beside the sum of the ten downloaded alone
#     in the same window (each request to its landing, one at a time); and
#     the gaps from one landing to the next request;
#   - the speed in the progress bar's accessible description, read over the
#     accessibility bus 3 s into a 256 MiB download (bench/barreader.cpp);
#   - the gaps between the window's event-loop passes during the line.
# Requests are timed by the file host, landings by the probe in the window
# (bench/lineprobe.cpp), on the one monotonic clock.
#
# Usage: bench/line_bench.sh [build-dir]   (a Release build, e.g.
#   cmake -S . -B build-rel -G Ninja -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF &&
#   cmake --build build-rel --target plimomp3 screenreader line_probe barreader \
#     line_bench_portal)
# PLIMO_BENCH_ROUNDS (default 5) sets the rounds of each figure.
set -euo pipefail

build=${1:-build}
build=$(cd "$build" && pwd)
if [ -z "${PLIMO_BENCH_IN_SESSION:-}" ]; then
  export PLIMO_BENCH_IN_SESSION=1
  exec dbus-run-session -- "$0" "$@" 2> >(grep -v '^dbus-daemon\[' >&2)
fi
here=$(dirname "$0")
. "$here/linewindow.sh"
. "$here/loopgaps.sh"
linewindow_check

rounds=${PLIMO_BENCH_ROUNDS:-5}
files=10
small=$((8 * MiB))
address() { echo "$host/40/$small/$1.mp3"; }

linewindow_start
start_window
echo "== load before: $(uptime | sed 's/.*load/load/')"

# Each file clicked alone and waited for; prints the sum of request-to-landing
# seconds.
alone_round() {
  local tag=$1 i name landed sum=0
  for i in $(seq "$files"); do
    name=$tag-$i
    landed=$(count_of landed)
    probe queue "$(address "$name")"
    await_count landed $((landed + 1))
    sum=$(echo "$sum + ($(landing_of "$name") - $(served request "$name.mp3")) / 10^9" | bc -l)
  done
  rm -f "$folder/window"/*.mp3
  printf '%.4f\n' "$sum"
}

landing_of() { grep " $1.mp3\$" "$probe_out" | grep '^landed' | tail -n1 | cut -d' ' -f2; }

# The ten clicked at once; prints the seconds from the first request to the
# last landing, then the nine gaps in ms from a landing to the next request.
line_round() {
  local tag=$1 i addresses=() landed first last gaps=()
  for i in $(seq "$files"); do addresses+=("$(address "$tag-$i")"); done
  landed=$(count_of landed)
  probe queue "${addresses[@]}"
  await_count landed $((landed + files))
  first=$(served request "$tag-1.mp3")
  last=$(landing_of "$tag-$files")
  for i in $(seq 2 "$files"); do
    gaps+=("$(echo "($(served request "$tag-$i.mp3") - $(landing_of "$tag-$((i - 1))")) / 10^6" |
      bc -l | xargs printf '%.2f')")
  done
  rm -f "$folder/window"/*.mp3
  printf '%.4f %s\n' "$(echo "($last - $first) / 10^9" | bc -l)" "${gaps[*]}"
}

line_s=() alone_s=() ratios=() all_gaps=() fulls_before=$(count_of full)
for r in $(seq "$rounds"); do
  if [ $((r % 2)) = 1 ]; then
    a=$(alone_round "a$r")
    read -r l g < <(line_round "l$r")
  else
    read -r l g < <(line_round "l$r")
    a=$(alone_round "a$r")
  fi
  line_s+=("$l") alone_s+=("$a")
  ratios+=("$(echo "$l / $a" | bc -l | xargs printf '%.3f')")
  read -ra gap <<<"$g"
  all_gaps+=("${gap[@]}")
  echo "  round $r: line ${l}s, alone sum ${a}s, x${ratios[-1]}; landing to next request, ms: ${gap[*]}"
done
fulls=$(($(count_of full) - fulls_before))
ratio=$(median "${ratios[@]}")
p95=$(percentile 95 "${all_gaps[@]}")
echo "== a line of $files files of 8 MiB through a 40 MiB/s throttle, $rounds rounds"
printf '  %-44s %8s   %-10s %s\n' "" figure goal ""
printf '  %-44s %8s   %-10s %s\n' "line / sum alone (median of rounds)" "x$ratio" "<= x1.03" \
  "$(verdict "$ratio <= 1.03")"
printf '  %-44s %8s   %-10s %s\n' "landing to next request, p95 of $((${#all_gaps[@]})) gaps, ms" \
  "$p95" "<= 20" "$(verdict "$p95 <= 20")"
printf '  (line s: %s; alone s: %s; median gap %s ms, worst %s ms)\n' "${line_s[*]}" \
  "${alone_s[*]}" "$(median "${all_gaps[@]}")" "$(percentile 100 "${all_gaps[@]}")"
echo "  (the bar showed 100 $fulls times for $((rounds * files * 2)) landings)"

# The speed in the bar's description, read 3 s after the summary appeared.
speeds=()
for r in $(seq "$rounds"); do
  "$build/bench/barreader" 3000 >"$folder/bar.out" 2>"$folder/bar.err" &
  barreader=$!
  pids+=("$barreader")
  for _ in $(seq 100); do grep -qs listening "$folder/bar.out" && break; sleep 0.1; done
  landed=$(count_of landed)
  probe queue "$host/40/$((256 * MiB))/big-$r.mp3"
  wait "$barreader" || fail "the bar's description was not read (see $folder/bar.err)"
  said=$(grep '^read' "$folder/bar.out" | cut -d' ' -f3-)
  await_count landed $((landed + 1))
  rm -f "$folder/window"/*.mp3
  speed=$(grep -oE '[0-9.]+ (MB|KB)/s' <<<"$said" | head -n1 || true)
  case $speed in
    *MB/s) speeds+=("${speed% MB/s}") ;;
    *KB/s) speeds+=("$(echo "${speed% KB/s} / 1024" | bc -l | xargs printf '%.2f')") ;;
    *) speeds+=(0) ;;
  esac
  echo "  round $r: \"$said\""
done
speed=$(median "${speeds[@]}")
off=$(echo "($speed - 40) / 40 * 100" | bc -l | xargs printf '%+.1f')
echo "== the speed a screen reader reads in the bar's description 3 s into 256 MiB at 40 MiB/s"
printf '  %-44s %8s   %-10s %s\n' "MiB/s read (median of $rounds)" "$speed" "40 +-10 %" \
  "$(verdict "${off#[+-]} <= 10")"
printf '  (off by %s %%; every round: %s)\n' "$off" "${speeds[*]}"

echo "== the window's event loop during the line, $rounds lines (ms between passes)"
gaps_round() {  # runs in a subshell: its count comes from the probe's lines
  local i addresses=() landed run=$(($(count_of gaps) + 1))
  for i in $(seq "$files"); do addresses+=("$(address "g$run-$i")"); done
  landed=$(count_of landed)
  probe gaps
  probe queue "${addresses[@]}"
  await_count landed $((landed + files))
  probe endgaps
  await_count gaps "$run"
  rm -f "$folder/window"/*.mp3
  grep '^gaps' "$probe_out" | tail -n1 | cut -d' ' -f2-
}
loop_gaps_judged "$rounds" gaps_round
stop_window
echo "== load after: $(uptime | sed 's/.*load/load/')"
printf "== the screen reader stand-in: "
stop_reader
