#!/usr/bin/env bash
# The downloads list (Ctrl+J) open while the line runs, in the real window
# (Xvfb, the accessibility bus on, a stand-in screen reader listening), every
# request through one http_proxy (bench/line_bench_portal.cpp; see
# bench/linewindow.sh):
#   - the window's CPU for 256 MiB at 100 MiB/s with the list open and
#     updating, beside the same with the list closed, median of interleaved
#     rounds; the gaps between the event loop's passes meanwhile;
#   - the resident memory that 1,000 ended rows cost with the list open
#     (bench/list_memory.cpp), offscreen and in the accessible window;
#   - 256 MiB unthrottled with the list open beside `curl -o`.
# The window is driven and measured from the inside (bench/lineprobe.cpp):
# CPU and time from the click to the file taking its name.
#
# Usage: bench/list_bench.sh [build-dir]   (a Release build, e.g.
#   cmake -S . -B build-rel -G Ninja -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF &&
#   cmake --build build-rel --target plimomp3 screenreader line_probe barreader \
#     line_bench_portal list_memory)
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
linewindow_check bench/list_memory

rounds=${PLIMO_BENCH_ROUNDS:-5}
big=$((256 * MiB))

linewindow_start
start_window
echo "== load before: $(uptime | sed 's/.*load/load/')"

# One download clicked in the window and waited for; prints the seconds and
# the process's CPU seconds from the click to the file taking its name.
window_round() {
  local name=$1 rate=$2 landed queued end
  landed=$(count_of landed)
  probe queue "$host/$rate/$big/$name.mp3"
  await_count landed $((landed + 1))
  queued=$(grep '^queued' "$probe_out" | tail -n1)
  end=$(grep "^landed .* $name.mp3\$" "$probe_out" | tail -n1)
  rm -f "$folder/window"/*.mp3
  awk -v q="$queued" -v e="$end" 'BEGIN { split(q, a, " "); split(e, b, " ");
    printf "%.3f %.3f\n", (b[2] - a[2]) / 1e9, b[3] - a[3] }'
}

list_open() { probe list; sleep 0.5; }
list_closed() { probe unlist; sleep 0.5; }

closed_cpu=() open_cpu=()
for r in $(seq "$rounds"); do
  for state in closed open; do
    [ $((r % 2)) = 0 ] && state=$([ "$state" = closed ] && echo open || echo closed)
    "list_$state"
    read -r s cpu < <(window_round "cpu-$state-$r" 100)
    if [ "$state" = open ]; then open_cpu+=("$cpu"); else closed_cpu+=("$cpu"); fi
  done
done
list_closed
oc=$(median "${open_cpu[@]}") cc=$(median "${closed_cpu[@]}")
cpu_ratio=$(echo "$oc / $cc" | bc -l | xargs printf '%.2f')
echo "== the window's CPU for 256 MiB at 100 MiB/s, median of $rounds interleaved rounds"
printf '  %-44s %8s   %-10s %s\n' "" figure goal ""
printf '  %-44s %8s\n' "CPU s, list closed" "$cc"
printf '  %-44s %8s\n' "CPU s, list open" "$oc"
printf '  %-44s %8s   %-10s %s\n' "open / closed" "x$cpu_ratio" "<= x1.20" \
  "$(verdict "$cpu_ratio <= 1.2")"
echo "  (rounds, closed: ${closed_cpu[*]}; open: ${open_cpu[*]})"

echo "== the window's event loop during 256 MiB at 100 MiB/s with the list open, $rounds runs (ms)"
gaps_round() {  # runs in a subshell: its count comes from the probe's lines
  local run=$(($(count_of gaps) + 1))
  probe gaps
  window_round "gaps-$run" 100 >/dev/null
  probe endgaps
  await_count gaps "$run"
  grep '^gaps' "$probe_out" | tail -n1 | cut -d' ' -f2-
}
list_open
loop_gaps_judged "$rounds" gaps_round

# curl's own time_total through the same proxy.
curl_round() {
  curl -sS -x "$proxy" -o "$folder/curl.mp3" -w '%{time_total}\n' "$host/0/$big/curl.mp3" | xargs printf '%.3f\n'
  rm -f "$folder/curl.mp3"
}
win_s=() curl_s=()
for r in $(seq "$rounds"); do
  curl_s+=("$(curl_round)")
  read -r s _ < <(window_round "fast-$r" 0)
  win_s+=("$s")
done
ws=$(median "${win_s[@]}") cs=$(median "${curl_s[@]}")
speed_ratio=$(echo "$cs / $ws" | bc -l | xargs printf '%.2f')
echo "== 256 MiB unthrottled with the list open beside curl -o, median of $rounds interleaved rounds"
printf '  %-44s %8s   %-10s %s\n' "window s (click to landing)" "$ws" "" ""
printf '  %-44s %8s   %-10s %s\n' "curl -o s (time_total)" "$cs" "" ""
printf '  %-44s %8s   %-10s %s\n' "window throughput / curl's" "x$speed_ratio" ">= x1.00" \
  "$(verdict "$speed_ratio >= 1.0")"
echo "  (rounds, window s: ${win_s[*]}; curl s: ${curl_s[*]})"
list_closed
stop_window

echo "== resident memory of 1000 ended rows with the list open (after 100 rows to warm up)"
memory_run() {  # memory_run LABEL ENV...: prints the row of the figure
  local label=$1 out
  shift
  out=$(cd "$folder" && env TMPDIR="$folder" http_proxy="$proxy" "$@" \
    "$build/bench/list_memory" "$host/0/1024/row-$label-" 1000 100 2>"$folder/memory.err") ||
    fail "list_memory failed (see $folder/memory.err)"
  read -r _ rows _ done _ boxes _ rss0 rss1 _ heap0 heap1 <<<"$out"
  [ "$rows" = 1100 ] && [ "$done" = 1100 ] && [ "$boxes" = 0 ] ||
    fail "list_memory: $out"
  printf '  %-44s %8s   %-10s %s\n' "$label: RSS growth, KiB" "$((rss1 - rss0))" "<= 2048" \
    "$(verdict "$((rss1 - rss0)) <= 2048")"
  echo "    (RSS $rss0 -> $rss1 KiB; heap in use $heap0 -> $heap1 KiB, $(((heap1 - heap0) * 1024 / 1000)) bytes a row)"
}
memory_run offscreen QT_QPA_PLATFORM=offscreen
memory_run accessible QT_QPA_PLATFORM=xcb
echo "== load after: $(uptime | sed 's/.*load/load/')"
printf "== the screen reader stand-in: "
stop_reader
