#!/usr/bin/env bash
# What the stream server costs: visiondemo's frame rate against the emulator
# program without --stream, and with it while 0, 1 and 8 clients watch the
# MJPEG stream, in alternating runs; beside it the processor time the
# demonstrator spends per frame.
#
#   bench/stream.sh [--build DIR] [--seconds N] [--rounds N] [--core-us N] [--clients "LIST"]
#
# Every round runs the demonstrator once without --stream and once per number
# of LIST (default "0 1 8") with --stream 127.0.0.1:0 and that many curl
# readers, each run for N seconds (default 12) on a private virtual display,
# with the emulator's core time (default 38461 us, the board's). Per run, one
# row: frames per second as 1 / median frame time after the first 30 frames,
# and the demonstrator's processor time (user + system) per frame between the
# fourth second and the end. The last rows are the medians over the rounds
# and the change against the runs without --stream.
set -euo pipefail
BENCH_ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
source "$BENCH_ROOT/bench/lib.sh"

build="$BENCH_ROOT/build"
seconds=12
rounds=3
core_us=38461
client_list="0 1 8"
warmup=30
while [ $# -gt 0 ]; do
  case "$1" in
    --build) build=$(cd "$2" && pwd); shift 2 ;;
    --seconds) seconds=$2; shift 2 ;;
    --rounds) rounds=$2; shift 2 ;;
    --core-us) core_us=$2; shift 2 ;;
    --clients) client_list=$2; shift 2 ;;
    -h|--help) awk 'NR > 1 && !/^#/ { exit } NR > 1 { sub(/^# ?/, ""); print }' "${BASH_SOURCE[0]}"; exit 0 ;;
    *) echo "unknown argument: $1 (see --help)" >&2; exit 2 ;;
  esac
done
command -v curl >/dev/null || { echo "ERROR: curl is needed (apt-get install curl)" >&2; exit 1; }

bench_programs "$build" emulator/board_emulator app/visiondemo
bench_begin "$BENCH_ROOT/data/scenes/scene_01_1280x720.png"
ticks=$(getconf CLK_TCK)

# Processor ticks (user + system) of process $1 so far.
cpu_ticks() { awk '{ print $14 + $15 }' "/proc/$1/stat"; }
frames_so_far() { grep -c '^(avg/recent/now) duration' "$work/run/demo.out" || true; }

# One run; prints "median_fps cpu_ms_per_frame".
run_one() {  # clients ("-": no --stream)
  local args=() readers=() i
  [ "$1" != "-" ] && args=(--stream 127.0.0.1:0)
  bench_start_emulator "$build" --core-us "$core_us"
  bench_configuration "$port" 2 false
  (cd "$work/run" && DISPLAY=$display XDG_RUNTIME_DIR=$work/xdg exec "$build/app/visiondemo" "${args[@]}" \
      </dev/null >demo.out 2>demo.err) &
  local demo=$!
  bench_track "$demo"
  if [ "$1" != "-" ] && [ "$1" -gt 0 ]; then
    local n=0 address=""
    until address=$(sed -n 's/^\tAddress:\t\(http:.*\)$/\1/p' "$work/run/demo.out") && [ -n "$address" ]; do
      n=$((n + 1)); [ $n -gt 100 ] && { echo "ERROR: no stream address" >&2; exit 1; }
      sleep 0.1
    done
    for i in $(seq "$1"); do
      curl --silent --output /dev/null "${address}stream.mjpg" &
      readers+=($!); bench_track $!
    done
  fi
  sleep 4
  local cpu1 frames1 cpu2 frames2
  cpu1=$(cpu_ticks "$demo"); frames1=$(frames_so_far)
  sleep "$((seconds - 4))"
  cpu2=$(cpu_ticks "$demo"); frames2=$(frames_so_far)
  kill -INT "$demo" 2>/dev/null || true
  wait "$demo" 2>/dev/null || true
  for i in "${readers[@]}"; do wait "$i" 2>/dev/null || true; done
  kill -INT "$emulator" 2>/dev/null || true
  wait "$emulator" 2>/dev/null || true
  local cpu_ms
  cpu_ms=$(awk -v c="$((cpu2 - cpu1))" -v f="$((frames2 - frames1))" -v t="$ticks" \
    'BEGIN { printf "%.3f", (f > 0 ? 1000 * c / t / f : 0) }')
  awk -v warmup="$warmup" -v cpu_ms="$cpu_ms" '
    /^\(avg\/recent\/now\) duration/ {
      frame++
      if (frame <= warmup) next
      split($0, parts, "|"); sub(/.*\]/, "", parts[1]); split(parts[1], d, "/")
      n++; durations[n] = d[3] + 0
    }
    END {
      if (n == 0) { print 0, cpu_ms; exit }
      for (i = 2; i <= n; i++) { v = durations[i]; for (j = i - 1; j >= 1 && durations[j] > v; j--) durations[j + 1] = durations[j]; durations[j + 1] = v }
      median = n % 2 ? durations[(n + 1) / 2] : (durations[n / 2] + durations[n / 2 + 1]) / 2
      printf "%.3f %s\n", (median > 0 ? 1000 / median : 0), cpu_ms
    }' "$work/run/demo.out"
}

median_of() { tr ' ' '\n' | sort -g | awk '{ v[NR] = $1 } END { print NR % 2 ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }

echo "Stream cost: visiondemo against board_emulator, core time $core_us us, $seconds s a run, $rounds rounds;" \
  "$(nproc) cores, load $(cut -d' ' -f1-3 /proc/loadavg)"
printf '%-10s %5s %9s %13s\n' clients round fps cpu_ms/frame
declare -A fps_runs cpu_runs
for round in $(seq "$rounds"); do
  for clients in - $client_list; do
    read -r fps cpu < <(run_one "$clients")
    name=${clients/#-/off}
    printf '%-10s %5d %9.2f %13.3f\n' "$name" "$round" "$fps" "$cpu"
    fps_runs[$clients]="${fps_runs[$clients]:-} $fps"
    cpu_runs[$clients]="${cpu_runs[$clients]:-} $cpu"
  done
done
base_fps=$(echo ${fps_runs[-]} | median_of)
base_cpu=$(echo ${cpu_runs[-]} | median_of)
for clients in - $client_list; do
  f=$(echo ${fps_runs[$clients]} | median_of)
  c=$(echo ${cpu_runs[$clients]} | median_of)
  awk -v name="${clients/#-/off}" -v f="$f" -v c="$c" -v bf="$base_fps" -v bc="$base_cpu" 'BEGIN {
    printf "%-10s %5s %9.2f %13.3f  %+.1f%% fps, %+.1f%% cpu per frame against no --stream\n", name, "median",
      f, c, 100 * (f - bf) / bf, 100 * (c - bc) / bc }'
done
