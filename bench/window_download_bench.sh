#!/usr/bin/env bash
# The download as a screen-reader user runs it, side by side with curl in one
# run: the real window on a virtual display (Xvfb), the accessibility bus on
# and a stand-in screen reader listening (bench/screenreader.cpp), every
# request through http_proxy to a local server that plays the portal and
# serves each file as 256 MiB (bench/download_bench_portal.cpp).
#   - a 256 MiB download started by a click on 음악다운 in the window, the
#     same download headless (download_bench fetch), and `curl -o` through
#     the same proxy: throughput and process CPU, median of interleaved
#     rounds;
#   - the gaps between the window's event-loop passes during the download.
# The window is measured from the inside by a probe (bench/windowprobe.cpp,
# preloaded): from the button's release to the progress bar's 100.
#
# Usage: bench/window_download_bench.sh [build-dir]   (a Release build, e.g.
#   cmake -S . -B build-rel -G Ninja -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF &&
#   cmake --build build-rel --target plimomp3 download_bench download_bench_portal \
#     screenreader window_probe)
# PLIMO_BENCH_ROUNDS (default 5) sets the rounds of each figure.
set -euo pipefail

build=${1:-build}
build=$(cd "$build" && pwd)
for file in app/plimomp3 bench/download_bench bench/download_bench_portal bench/screenreader; do
  [ -x "$build/$file" ] || { echo "no $build/$file: build it first (see the top of $0)" >&2; exit 1; }
done
probe=$build/bench/libwindow_probe.so
[ -f "$probe" ] || { echo "no $probe: build the window_probe target first" >&2; exit 1; }
for tool in Xvfb xdotool dbus-run-session curl bc; do
  command -v "$tool" >/dev/null || { echo "$tool is missing" >&2; exit 1; }
done
launcher=/usr/libexec/at-spi-bus-launcher
[ -x "$launcher" ] || { echo "the accessibility bus is missing (apt-get install at-spi2-core)" >&2; exit 1; }

# A session bus of our own, so that the accessibility bus is ours too.
if [ -z "${PLIMO_BENCH_IN_SESSION:-}" ]; then
  export PLIMO_BENCH_IN_SESSION=1
  exec dbus-run-session -- "$0" "$@" 2> >(grep -v '^dbus-daemon\[' >&2)
fi
. "$(dirname "$0")/loopgaps.sh"

rounds=${PLIMO_BENCH_ROUNDS:-5}
folder=$(mktemp -d "${TMPDIR:-/tmp}/window-bench.XXXXXX")
pids=()
cleanup() {
  local pid
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null || true; done
  rm -rf "$folder"
}
trap cleanup EXIT
fail() { echo "window bench: $*" >&2; exit 1; }
await_file() { for _ in $(seq 100); do [ -s "$1" ] && return 0; sleep 0.1; done; fail "$2"; }

mkdir -m 700 "$folder/runtime"
export XDG_RUNTIME_DIR=$folder/runtime
"$launcher" --launch-immediately >"$folder/bus.log" 2>&1 &
pids+=($!)
sleep 0.5
"$build/bench/screenreader" >"$folder/reader.out" 2>"$folder/reader.err" &
reader=$!
pids+=("$reader")
for _ in $(seq 100); do grep -q listening "$folder/reader.out" && break; sleep 0.1; done
grep -q listening "$folder/reader.out" || fail "the screen reader stand-in did not start"

display=
for n in $(seq 90 199); do
  [ -e "/tmp/.X11-unix/X$n" ] || [ -e "/tmp/.X$n-lock" ] || { display=:$n; break; }
done
[ -n "$display" ] || fail "no free X display number"
Xvfb "$display" -screen 0 1024x768x24 -nolisten tcp >"$folder/xvfb.log" 2>&1 &
pids+=($!)
for _ in $(seq 100); do [ -e "/tmp/.X11-unix/X${display#:}" ] && break; sleep 0.1; done
export DISPLAY=$display

"$build/bench/download_bench_portal" >"$folder/port" 2>"$folder/portal.log" &
pids+=($!)
await_file "$folder/port" "the server did not start"
proxy=http://127.0.0.1:$(cat "$folder/port")
file_address=http://blogattach.naver.com/bench
MiB=$((1024 * 1024))
unset https_proxy HTTPS_PROXY all_proxy ALL_PROXY no_proxy NO_PROXY

# Window coordinates in pixels, as scripts/demo.sh clicks them.
window=
click() { xdotool mousemove --window "$window" "$1" "$2" click 1; }

# Starts the window (extra environment as arguments), searches and chooses
# the first row. Its files go to $folder/window; the probe writes $probe_out.
sessions=0
start_window() {
  mkdir -p "$folder/window"
  sessions=$((sessions + 1))
  probe_out=$folder/probe.$sessions
  : >"$probe_out"
  # Settings of its own: a remembered folder would take the file elsewhere.
  (cd "$folder/window" && exec env http_proxy="$proxy" XDG_CONFIG_HOME="$folder/config" \
    QT_QPA_PLATFORM=xcb LD_PRELOAD="$probe" \
    PLIMO_PROBE_OUT="$probe_out" "$@" "$build/app/plimomp3" >"$folder/window.log" 2>&1) &
  window_pid=$!
  pids+=("$window_pid")
  window=$(timeout 30 xdotool search --sync --onlyvisible --pid "$window_pid" --name PlimoMP3 |
    head -n1) || fail "the window did not appear (see $folder/window.log)"
  sleep 1
  local served lines
  served=$(wc -l <"$folder/portal.log")
  click 150 36
  xdotool type --delay 20 "bench"
  xdotool key Return
  for _ in $(seq 300); do
    tail -n +"$((served + 1))" "$folder/portal.log" | grep -q 'start=91' && break
    sleep 0.1
  done
  while true; do  # the search has ended once the server has been quiet for a second
    lines=$(wc -l <"$folder/portal.log")
    sleep 1
    [ "$(wc -l <"$folder/portal.log")" = "$lines" ] && break
  done
  click 50 96
  sleep 0.5
}

stop_window() {
  kill "$window_pid" 2>/dev/null || true
  wait "$window_pid" 2>/dev/null || true
}

# Clicks 음악다운 and prints the probe's line for that download.
window_round() {
  local before
  rm -f "$folder/window"/*
  before=$(wc -l <"$probe_out")
  click 344 388
  for _ in $(seq 1200); do
    [ "$(wc -l <"$probe_out")" -gt "$before" ] && break
    sleep 0.1
  done
  [ "$(wc -l <"$probe_out")" -gt "$before" ] || fail "the download in the window did not end"
  tail -n1 "$probe_out"
  [ "$(find "$folder/window" -type f -size "$((256 * MiB))c" | wc -l)" = 1 ] ||
    fail "the window's file is not 256 MiB"
  rm -f "$folder/window"/*
}

# curl's own time_total, and the CPU seconds of the whole curl process.
curl_round() {
  local TIMEFORMAT='%U %S' total user sys
  { time curl -sS -x "$proxy" -o "$folder/curl.mp3" -w '%{time_total}\n' "$file_address/curl.mp3" \
    >"$folder/curl.out"; } 2>"$folder/curl.time"
  read -r total <"$folder/curl.out"
  read -r user sys <"$folder/curl.time"
  rm -f "$folder/curl.mp3"
  printf '%.3f %.3f\n' "$total" "$(echo "$user + $sys" | bc -l)"
}

headless_round() {
  mkdir -p "$folder/headless"
  http_proxy=$proxy "$build/bench/download_bench" fetch "$file_address/headless.mp3" "$folder/headless/"
  rm -f "$folder/headless"/*
}

median() { printf '%s\n' "$@" | sort -g | sed -n "$((($# + 1) / 2))p"; }
ratio() { echo "$1 / $2" | bc -l | xargs printf 'x%.2f'; }
mibps() { echo "256 / $1" | bc -l | xargs printf '%.0f'; }

start_window
win_s=() win_cpu=() win_thread=() head_s=() head_cpu=() curl_s=() curl_cpu=()
for _ in $(seq "$rounds"); do
  read -r s cpu _ < <(curl_round)
  curl_s+=("$s") curl_cpu+=("$cpu")
  read -r s cpu thread _ < <(window_round)
  win_s+=("$s") win_cpu+=("$cpu") win_thread+=("$thread")
  read -r s cpu _ < <(headless_round)
  head_s+=("$s") head_cpu+=("$cpu")
done
stop_window

ws=$(median "${win_s[@]}") hs=$(median "${head_s[@]}") cs=$(median "${curl_s[@]}")
wcpu=$(median "${win_cpu[@]}") hc=$(median "${head_cpu[@]}") cc=$(median "${curl_cpu[@]}")
echo "== 256 MiB through an http_proxy server on loopback, median of $rounds interleaved rounds"
echo "   (window: Xvfb, accessibility bus on, a screen reader listening; started by a click)"
row() { printf '  %-24s %8s %9s %8s %12s %14s\n' "$@"; }
row "" window headless "curl -o" "window/curl" "headless/curl"
row "seconds" "$ws" "$hs" "$cs" "" ""
row "throughput, MiB/s" "$(mibps "$ws")" "$(mibps "$hs")" "$(mibps "$cs")" \
  "$(ratio "$cs" "$ws")" "$(ratio "$cs" "$hs")"
row "CPU seconds (process)" "$wcpu" "$hc" "$cc" "$(ratio "$wcpu" "$cc")" "$(ratio "$hc" "$cc")"
echo "  goals: window throughput >= x1.00 curl's, window CPU <= x1.10 curl's"
echo "  rounds, window s:   ${win_s[*]}  CPU: ${win_cpu[*]}  (window thread: ${win_thread[*]})"
echo "  rounds, headless s: ${head_s[*]}  CPU: ${head_cpu[*]}"
echo "  rounds, curl s:     ${curl_s[*]}  CPU: ${curl_cpu[*]}"

echo "== the window's event loop during the download, $rounds runs (ms between passes)"
start_window PLIMO_PROBE_GAPS=1
loop_gaps "$rounds" window_round
stop_window

kill "$reader"
wait "$reader" 2>/dev/null || true
read -r _ events _ queries < <(grep '^events' "$folder/reader.out")
echo "== the screen reader stand-in received $events events and asked $queries questions back"
