#!/usr/bin/env bash
# Shows PlimoMP3 at work without the network: builds the window and the sample
# portal, starts the portal on a free loopback port and runs the window with
# http_proxy pointing at it, so every search and download goes to the portal.
#
# With a display the window is yours to use; closing it stops the portal.
# Without one ($DISPLAY unset) the window runs on a virtual display (Xvfb) and
# the script drives it itself: it types a query, waits for the search, clicks
# the first row and the download button, waits for the file, saves a
# screenshot and reports what happened.
#
# Settings (environment): PLIMO_BUILD_DIR (default build), PLIMO_JOBS (build
# jobs, default all cores), PLIMO_DEMO_QUERY (default 봄비+우쿨렐레),
# PLIMO_DEMO_DIR (where downloads, logs and the screenshot go; default a new
# temporary folder).
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build=${PLIMO_BUILD_DIR:-build}
[[ $build = /* ]] || build="$root/$build"
query=${PLIMO_DEMO_QUERY:-봄비+우쿨렐레}
work=${PLIMO_DEMO_DIR:-$(mktemp -d "${TMPDIR:-/tmp}/plimomp3-demo.XXXXXX")}
mkdir -p "$work/downloads"
app="$build/app/plimomp3"
portal_bin="$build/tools/portal/plimo-portal"
log="$work/portal.log"
pids=()
window=

say() { printf '%s\n' "$*"; }
fail() {
  printf 'demo: %s\n' "$*" >&2
  if [ -n "${window:-}" ] && import -window "$window" "$work/screenshot.png" 2>/dev/null; then
    printf 'demo: the window as it was: %s\n' "$work/screenshot.png" >&2
  fi
  exit 1
}

cleanup() {
  local pid
  for pid in "${pids[@]}"; do
    kill "$pid" 2>/dev/null || true
  done
  for pid in "${pids[@]}"; do
    wait "$pid" 2>/dev/null || true
  done
}
trap cleanup EXIT

build_targets() {
  "$root/scripts/deps.sh" || fail "the packages above are needed first"
  if [ ! -f "$build/CMakeCache.txt" ]; then
    cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
  fi
  cmake --build "$build" --target plimomp3 plimo-portal --parallel "${PLIMO_JOBS:-$(nproc)}"
}

start_portal() {
  : >"$log"
  "$portal_bin" --port 0 --log "$log" >"$work/portal.port" 2>>"$work/portal.err" &
  pids+=($!)
  for _ in $(seq 100); do
    port=$(head -n1 "$work/portal.port" 2>/dev/null || true)
    [ -n "$port" ] && return 0
    sleep 0.1
  done
  fail "the sample portal did not start (see $work/portal.err)"
}

# Becomes the window (exec: call it in a subshell or in the background), with
# its downloads going to $work/downloads: the window starts with the current
# folder as its destination.
run_window() {
  cd "$work/downloads"
  unset https_proxy HTTPS_PROXY all_proxy ALL_PROXY no_proxy NO_PROXY
  export http_proxy="http://127.0.0.1:$port"
  # The folder the window remembers stays with the demo, not in the user's
  # own settings, so the demo's downloads folder is never offered later.
  export XDG_CONFIG_HOME="$work/config"
  exec "$app"
}

# Prints the portal's log as a summary: how many pages of each kind it served.
report_served() {
  say "The sample portal served (full log: $log):"
  say "  result pages: $(grep -c ' http://search\.naver\.com/' "$log" || true)"
  say "  post pages:   $(grep -c ' http://blog\.naver\.com/' "$log" || true)"
  say "  files:        $(grep -c ' http://blogattach\.naver\.com/' "$log" || true)"
  grep ' http://blogattach\.naver\.com/' "$log" | sed 's/^/    /' || true
}

log_lines() { wc -l <"$log"; }

# Waits until the log has stopped growing for a second after `pattern` showed up.
wait_until_quiet_after() {
  local pattern=$1 seconds=$2 lines
  for _ in $(seq $((seconds * 10))); do
    grep -q -- "$pattern" "$log" && break
    sleep 0.1
  done
  grep -q -- "$pattern" "$log" || fail "the portal never served $pattern"
  while true; do
    lines=$(log_lines)
    sleep 1
    [ "$(log_lines)" = "$lines" ] && return 0
  done
}

free_display() {
  local n
  for n in $(seq 90 199); do
    [ -e "/tmp/.X11-unix/X$n" ] || [ -e "/tmp/.X$n-lock" ] || { echo "$n"; return 0; }
  done
  fail "no free X display number"
}

start_xvfb() {
  local n
  n=$(free_display)
  Xvfb ":$n" -screen 0 1024x768x24 -nolisten tcp >"$work/xvfb.log" 2>&1 &
  pids+=($!)
  for _ in $(seq 100); do
    [ -e "/tmp/.X11-unix/X$n" ] && { export DISPLAY=":$n"; return 0; }
    sleep 0.1
  done
  fail "Xvfb did not start (see $work/xvfb.log)"
}

# Window coordinates in pixels: the layout is fixed in twips, 15 to a pixel.
click() { xdotool mousemove --window "$window" "$1" "$2" click 1; }

drive_window() {
  local before size name
  window=$(timeout 30 xdotool search --sync --onlyvisible --name 'PlimoMP3' | head -n1) ||
    fail "the window did not appear (see $work/app.log)"
  sleep 1

  # Text1: frame at (120,120), box at (120,240) in it, 4215 x 375 twips.
  click 150 36
  xdotool type --delay 60 "$query"
  xdotool key Return
  say "Searching for \"$query\"..."
  wait_until_quiet_after 'start=91' 60

  # The first row of ListView1 (at 120,960 twips), below its column header.
  before=$(log_lines)
  click 50 96
  # Command3: frame at (120,5400), button at (4560,240) in it, 975 x 375 twips.
  click 344 388
  # The second row lines up behind the first.
  click 50 114
  click 344 388
  say "Downloading the first two rows, one after the other..."
  for _ in $(seq 300); do
    [ "$(log_lines)" -gt "$before" ] && break
    sleep 0.1
  done
  size=$(tail -n +"$((before + 1))" "$log" | grep -m1 ' http://blogattach\.naver\.com/' |
    sed -n 's/.* -> 200 \([0-9]*\) bytes$/\1/p')
  [ -n "$size" ] || fail "no file was served after the click (see $log)"
  for _ in $(seq 300); do
    name=$(find "$work/downloads" -maxdepth 1 -type f -size "${size}c" -printf '%f\n' | head -n1)
    [ -n "$name" ] && break
    sleep 0.1
  done
  [ -n "$name" ] || fail "the download did not complete in $work/downloads"
  # Let the window show the finished download (and the file take its final name).
  sleep 1
  name=$(find "$work/downloads" -maxdepth 1 -type f -size "${size}c" -printf '%f\n' | head -n1)
  import -window "$window" "$work/screenshot.png"
  # Ctrl+J: the downloads list, both rows in it.
  xdotool key --window "$window" ctrl+j
  list=$(timeout 10 xdotool search --sync --onlyvisible --name '다운로드 목록' | head -n1) ||
    fail "the downloads list did not open"
  sleep 2
  import -window "$list" "$work/list.png"

  report_served
  say "Downloaded: $work/downloads/$name ($size bytes)"
  file "$work/downloads/$name" 2>/dev/null | sed 's/^/  /' || true
  say "Screenshots: $work/screenshot.png, and the downloads list $work/list.png"
}

build_targets
start_portal
say "Sample portal on 127.0.0.1:$port; the window reaches it through http_proxy."

if [ -n "${DISPLAY:-}" ]; then
  say "Search for anything (as the tool asks, e.g. 가수+노래제목), pick a row, press 음악다운."
  say "Downloads go to $work/downloads. Close the window to stop the portal."
  (run_window) || true
  report_served
  exit 0
fi

for tool in Xvfb xdotool import; do
  command -v "$tool" >/dev/null || fail "$tool is missing: run scripts/deps.sh first"
done
say "No display: running the window on a virtual one and driving it."
start_xvfb
QT_QPA_PLATFORM=xcb run_window >"$work/app.log" 2>&1 &
pids+=($!)
drive_window
