# Sourced by line_bench.sh and list_bench.sh: the real window on a virtual
# display (Xvfb) with the accessibility bus on and the stand-in screen reader
# listening (bench/screenreader.cpp), driven and measured from the inside by a
# preloaded probe (bench/lineprobe.cpp), every request through http_proxy to
# the throttling file host (bench/line_bench_portal.cpp). The caller has set
# $build and runs inside a D-Bus session of its own, so that the
# accessibility bus is its own too.
#
#   linewindow_check [FILE...]     the build has the programs (and FILEs)
#   linewindow_start               the bus, the reader, Xvfb and the file host
#   start_window                   the window, with the probe reading $probe_in
#   probe COMMAND...               one command to the probe (see lineprobe.cpp)
#   await_count WORD N [SECONDS]   until the probe has written N lines "WORD ..."
#   stop_window / linewindow_stop
# Everything started here is ended by its id when the script exits.

linewindow_check() {
  local file tool
  for file in app/plimomp3 bench/screenreader bench/barreader bench/line_bench_portal "$@"; do
    [ -x "$build/$file" ] || { echo "no $build/$file: build it first (see the top of $0)" >&2; exit 1; }
  done
  [ -f "$build/bench/libline_probe.so" ] || { echo "no $build/bench/libline_probe.so: build line_probe" >&2; exit 1; }
  for tool in Xvfb dbus-run-session curl bc; do
    command -v "$tool" >/dev/null || { echo "$tool is missing" >&2; exit 1; }
  done
  [ -x /usr/libexec/at-spi-bus-launcher ] ||
    { echo "the accessibility bus is missing (apt-get install at-spi2-core)" >&2; exit 1; }
}

folder=$(mktemp -d "${TMPDIR:-/tmp}/line-bench.XXXXXX")
pids=()
linewindow_cleanup() {
  local pid
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null || true; done
  [ -n "${PLIMO_BENCH_KEEP:-}" ] && echo "kept $folder" >&2 || rm -rf "$folder"
}
trap linewindow_cleanup EXIT
fail() { echo "$(basename "$0"): $*" >&2; exit 1; }

MiB=$((1024 * 1024))
host=http://blogattach.naver.com

linewindow_start() {
  mkdir -m 700 "$folder/runtime" "$folder/config"
  export XDG_RUNTIME_DIR=$folder/runtime XDG_CONFIG_HOME=$folder/config
  /usr/libexec/at-spi-bus-launcher --launch-immediately >"$folder/bus.log" 2>&1 &
  pids+=($!)
  sleep 0.5
  "$build/bench/screenreader" >"$folder/reader.out" 2>"$folder/reader.err" &
  reader=$!
  pids+=("$reader")
  for _ in $(seq 100); do grep -qs listening "$folder/reader.out" && break; sleep 0.1; done
  grep -qs listening "$folder/reader.out" || fail "the screen reader stand-in did not start"

  local n display=
  for n in $(seq 90 199); do
    [ -e "/tmp/.X11-unix/X$n" ] || [ -e "/tmp/.X$n-lock" ] || { display=:$n; break; }
  done
  [ -n "$display" ] || fail "no free X display number"
  Xvfb "$display" -screen 0 1024x768x24 -nolisten tcp >"$folder/xvfb.log" 2>&1 &
  pids+=($!)
  for _ in $(seq 100); do [ -e "/tmp/.X11-unix/X${display#:}" ] && break; sleep 0.1; done
  export DISPLAY=$display

  "$build/bench/line_bench_portal" 600 >"$folder/port" 2>"$folder/portal.log" &
  pids+=($!)
  for _ in $(seq 100); do [ -s "$folder/port" ] && break; sleep 0.1; done
  [ -s "$folder/port" ] || fail "the file host did not start"
  proxy=http://127.0.0.1:$(cat "$folder/port")
  unset https_proxy HTTPS_PROXY all_proxy ALL_PROXY no_proxy NO_PROXY
}

# The window, its files going to $folder/window; extra environment as arguments.
start_window() {
  mkdir -p "$folder/window"
  probe_in=$folder/probe.in probe_out=$folder/probe.out
  rm -f "$probe_in"
  mkfifo "$probe_in"
  # Held open here too, so that no command waits for the window to open it.
  exec 9<>"$probe_in"
  : >"$probe_out"
  (cd "$folder/window" && exec env http_proxy="$proxy" QT_QPA_PLATFORM=xcb \
    LD_PRELOAD="$build/bench/libline_probe.so" PLIMO_PROBE_IN="$probe_in" \
    PLIMO_PROBE_OUT="$probe_out" "$@" "$build/app/plimomp3" >"$folder/window.log" 2>&1 9>&-) &
  window_pid=$!
  pids+=("$window_pid")
  # The window is up once the probe answers.
  for _ in $(seq 300); do
    probe queue
    grep -q '^queued' "$probe_out" && break
    sleep 0.1
  done
  grep -q '^queued' "$probe_out" || fail "the window did not start (see $folder/window.log)"
  sleep 1
  probe folder "$folder/window/"
}

probe() { printf '%s\n' "$*" >&9; }

count_of() { grep -c "^$1 " "$probe_out" || true; }

await_count() {
  local word=$1 n=$2 tenths=$((${3:-120} * 10))
  for _ in $(seq "$tenths"); do
    [ "$(count_of "$word")" -ge "$n" ] && return 0
    sleep 0.05
  done
  fail "the probe wrote no $n '$word' lines in time (see $folder/window.log)"
}

# The file host's lines "request|sent <ns> <path>" about paths ending in name.
served() { grep "^$1 .*/$2\$" "$folder/portal.log" | tail -n1 | cut -d' ' -f2; }

stop_window() {
  kill "$window_pid" 2>/dev/null || true
  wait "$window_pid" 2>/dev/null || true
  exec 9>&-
}

# Prints "events <n> queries <n>" of the screen reader stand-in.
stop_reader() {
  kill "$reader" 2>/dev/null || true
  wait "$reader" 2>/dev/null || true
  grep '^events' "$folder/reader.out" || true
}

median() { printf '%s\n' "$@" | sort -g | sed -n "$((($# + 1) / 2))p"; }
percentile() {  # percentile P VALUES...: the nearest-rank P-th percentile
  local p=$1
  shift
  local rank=$(((p * $# + 99) / 100))
  printf '%s\n' "$@" | sort -g | sed -n "${rank}p"
}
verdict() { if [ "$(echo "$1" | bc -l)" = 1 ]; then echo PASS; else echo MISS; fi; }

# loop_gaps (loopgaps.sh) with each goal's verdict under its figures.
loop_gaps_judged() {
  local out p99 max
  out=$(loop_gaps "$@")
  echo "$out"
  read -r p99 max < <(sed -n 's/.*worst run: p99 \([0-9.]*\) .* max \([0-9.]*\), goal.*/\1 \2/p' <<<"$out")
  printf '  worst p99 %s ms (goal <= 16): %s; worst max %s ms (goal <= 50): %s\n' \
    "$p99" "$(verdict "$p99 <= 16")" "$max" "$(verdict "$max <= 50")"
}
