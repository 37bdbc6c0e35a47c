# Sourced by the benchmark scripts. serve_from FOLDER COMMAND [ARGS...] starts
# the command, which prints its port and then serves until it is killed, and
# sets base to its address. When the script exits the server is ended and
# FOLDER removed.
serve_from() {
  local folder=$1
  shift
  "$@" >"$folder/port" &
  bench_server=$!
  bench_folder=$folder
  trap 'kill "$bench_server" 2>/dev/null || true; wait "$bench_server" 2>/dev/null || true; rm -rf "$bench_folder"' EXIT
  for _ in $(seq 50); do [ -s "$folder/port" ] && break; sleep 0.1; done
  base="http://127.0.0.1:$(cat "$folder/port")"
}
