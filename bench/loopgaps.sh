# Sourced by the benchmark scripts. loop_gaps ROUNDS COMMAND [ARGS...] runs
# the command ROUNDS times; each run prints one line of event-loop gaps
#   passes <n> p99 <ms> p99-of-time <ms> max <ms> on-cpu <ms> waits <n> preempted <n>
# (see loopgaps.h). Prints every run, then the worst figures beside the goals.
loop_gaps() {
  local rounds=$1 run passes p99 p99t max oncpu waits preempted
  local worst_p99=0 worst_time=0 worst_max=0
  shift
  for run in $(seq "$rounds"); do
    read -r _ passes _ p99 _ p99t _ max _ oncpu _ waits _ preempted < <("$@")
    printf '  run %d: %8d passes  p99 %6.3f  p99 of the time %6.3f  max %6.3f' \
      "$run" "$passes" "$p99" "$p99t" "$max"
    printf ' (on CPU %.3f, %d waits, %d times preempted)\n' "$oncpu" "$waits" "$preempted"
    worst_p99=$(printf '%s\n' "$worst_p99" "$p99" | sort -g | tail -1)
    worst_time=$(printf '%s\n' "$worst_time" "$p99t" | sort -g | tail -1)
    worst_max=$(printf '%s\n' "$worst_max" "$max" | sort -g | tail -1)
  done
  printf '  worst run: p99 %.3f (p99 of the time %.3f), goal <= 16; max %.3f, goal <= 50\n' \
    "$worst_p99" "$worst_time" "$worst_max"
}
