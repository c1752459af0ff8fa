#!/usr/bin/env bash
# What a recording costs: the frame rate of visiondemo against the emulator
# program, without --record and with it, in alternating runs.
#
#   bench/record.sh [--build DIR] [--seconds N] [--rounds N] [--core-us N] [--files "LIST"]
#
# Every round runs the demonstrator once without a recording and once per
# file name of LIST (default "show.avi show.mp4"), each for N seconds
# (default 12) on a private virtual display, with the emulator's core time
# (default 38461 us, the board's). Per run, one row: frames per second over
# the steady part (the first 30 frames left out) and 1 / median frame time;
# for a recording also its summary line. The last rows are the means over
# the rounds and the change against the runs without recording.
set -euo pipefail
BENCH_ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
source "$BENCH_ROOT/bench/lib.sh"

build="$BENCH_ROOT/build"
seconds=12
rounds=3
core_us=38461
file_list="show.avi show.mp4"
warmup=30
while [ $# -gt 0 ]; do
  case "$1" in
    --build) build=$(cd "$2" && pwd); shift 2 ;;
    --seconds) seconds=$2; shift 2 ;;
    --rounds) rounds=$2; shift 2 ;;
    --core-us) core_us=$2; shift 2 ;;
    --files) file_list=$2; shift 2 ;;
    -h|--help) awk 'NR > 1 && !/^#/ { exit } NR > 1 { sub(/^# ?/, ""); print }' "${BASH_SOURCE[0]}"; exit 0 ;;
    *) echo "unknown argument: $1 (see --help)" >&2; exit 2 ;;
  esac
done

bench_programs "$build" emulator/board_emulator app/visiondemo
bench_begin "$BENCH_ROOT/data/scenes/scene_01_1280x720.png"

# One run; prints "measured median" and leaves the console output in demo.out.
run_one() {  # file ("-": no recording)
  local args=()
  [ "$1" != "-" ] && args=(--record "$1") && rm -f "$work/run/$1"
  bench_start_emulator "$build" --core-us "$core_us"
  bench_configuration "$port" 2 false
  (cd "$work/run" && DISPLAY=$display XDG_RUNTIME_DIR=$work/xdg exec "$build/app/visiondemo" "${args[@]}" \
      </dev/null >demo.out 2>demo.err) &
  local demo=$!
  bench_track "$demo"
  sleep "$seconds"
  kill -INT "$demo" 2>/dev/null || true
  wait "$demo" 2>/dev/null || true
  kill -INT "$emulator" 2>/dev/null || true
  wait "$emulator" 2>/dev/null || true
  awk -v warmup="$warmup" '
    /^\(avg\/recent\/now\) duration/ {
      frame++
      if (frame <= warmup) next
      split($0, parts, "|"); sub(/.*\]/, "", parts[1]); split(parts[1], d, "/")
      now += d[3]; n++; durations[n] = d[3] + 0
    }
    END {
      if (n == 0) { print 0, 0; exit }
      for (i = 2; i <= n; i++) { v = durations[i]; for (j = i - 1; j >= 1 && durations[j] > v; j--) durations[j + 1] = durations[j]; durations[j + 1] = v }
      median = n % 2 ? durations[(n + 1) / 2] : (durations[n / 2] + durations[n / 2 + 1]) / 2
      printf "%.3f %.3f\n", 1000 * n / now, (median > 0 ? 1000 / median : 0)
    }' "$work/run/demo.out"
}

echo "Recording cost: visiondemo against board_emulator, core time $core_us us, $seconds s a run, $rounds rounds;" \
  "$(nproc) cores, load $(cut -d' ' -f1-3 /proc/loadavg)"
printf '%-10s %5s %9s %8s  %s\n' recording round measured median summary
declare -A sum_measured sum_median
for round in $(seq "$rounds"); do
  for file in - $file_list; do
    read -r measured median < <(run_one "$file")
    summary=""
    [ "$file" != "-" ] && summary=$(grep '^Recording: ' "$work/run/demo.out" || echo "(no summary line)")
    printf '%-10s %5d %9.2f %8.2f  %s\n' "${file/#-/none}" "$round" "$measured" "$median" "$summary"
    sum_measured[$file]=$(awk -v a="${sum_measured[$file]:-0}" -v b="$measured" 'BEGIN { print a + b }')
    sum_median[$file]=$(awk -v a="${sum_median[$file]:-0}" -v b="$median" 'BEGIN { print a + b }')
  done
done
for file in - $file_list; do
  awk -v name="${file/#-/none}" -v m="${sum_measured[$file]}" -v d="${sum_median[$file]}" -v base_m="${sum_measured[-]}" \
      -v base_d="${sum_median[-]}" -v rounds="$rounds" 'BEGIN {
    printf "%-10s %5s %9.2f %8.2f  %+.1f%% measured, %+.1f%% median against no recording\n", name, "mean",
      m / rounds, d / rounds, 100 * (m - base_m) / base_m, 100 * (d - base_d) / base_d }'
done
