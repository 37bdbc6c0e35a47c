#!/usr/bin/env bash
# Memory across searches: 100 searches one after the other in one window
# against the sample portal, and how much each added after 10 of warm-up
# (goal: resident memory <= 1 KiB per search). Twice:
#   - on Qt's offscreen platform, no screen reader;
#   - under Xvfb with the accessibility bus up and Qt's bridge to it on, the
#     window read after each search as a screen reader reads it (every
#     object's name, role and state, every row's cells included).
# The figures after every search go to $folder/*.series (kept with -k).
#
# Usage: bench/search_memory.sh [-k] [build-dir] [searches] [warm-up]
#   (a Release build, e.g.
#   cmake -S . -B build-rel -G Ninja -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF &&
#   cmake --build build-rel --target search_memory plimo-portal)
set -euo pipefail

keep=false
[ "${1:-}" = -k ] && { keep=true; shift; }
build=${1:-build}
searches=${2:-100}
warmup=${3:-10}
bench=$build/bench/search_memory
portal=$build/tools/portal/plimo-portal
for program in "$bench" "$portal"; do
  [ -x "$program" ] || { echo "no $program: build search_memory and plimo-portal first" >&2; exit 1; }
done

folder=$(mktemp -d "${TMPDIR:-/tmp}/search-memory.XXXXXX")
"$portal" --log /dev/null >"$folder/port" &
server=$!
cleanup() {
  kill "$server" 2>/dev/null || true
  wait "$server" 2>/dev/null || true
  if $keep; then echo "series kept in $folder"; else rm -rf "$folder"; fi
}
trap cleanup EXIT
for _ in $(seq 50); do [ -s "$folder/port" ] && break; sleep 0.1; done
export http_proxy="http://127.0.0.1:$(head -1 "$folder/port")"

echo "== offscreen, no screen reader"
QT_QPA_PLATFORM=offscreen "$bench" "$searches" "$warmup" 2>"$folder/offscreen.series"

echo "== Xvfb, accessibility bus, the window read after each search"
missing=
for tool in dbus-run-session dbus-send xvfb-run; do
  command -v $tool >/dev/null || missing="$missing $tool"
done
[ -x /usr/libexec/at-spi-bus-launcher ] || missing="$missing at-spi2-core"
if [ -n "$missing" ]; then
  echo "  skipped: missing$missing (apt-get install dbus xvfb at-spi2-core)"
  exit 0
fi
# Qt's bridge only joins an accessibility bus that is already running, as a
# desktop session starts it; asking for its address starts it.
dbus-run-session -- sh -c '
  dbus-send --session --print-reply --dest=org.a11y.Bus /org/a11y/bus org.a11y.Bus.GetAddress >/dev/null
  QT_LINUX_ACCESSIBILITY_ALWAYS_ON=1 PLIMO_MEMORY_READ=1 \
    xvfb-run -a -s "-screen 0 1024x768x24" env QT_QPA_PLATFORM=xcb "$@"
' sh "$bench" "$searches" "$warmup" 2>"$folder/accessible.series" | grep -v '^SpiRegistry daemon'
