#!/usr/bin/env bash
# Frame rate of the whole demonstrator against the board emulator program.
#
#   bench/framerate.sh [--build DIR] [--seconds N] [--scene FILE] [--core-us "LIST"] [--forms "LIST"]
#                      [--core-wait "LIST"] [--env "VAR=VALUE ..."] [--no-floor] [--keep DIR]
#                      [--ignore-duplicates]
#
# For every emulator core time (default 38461, 10000 and 0 us), every loop
# form (two: visiondemo with memory_spaces 2, one: visiondemo with
# memory_spaces 1, serial2 and serial1: visiondemo_serial with memory_spaces 2
# and 1) and every completion wait (core_wait; default "poll adaptive"; "none"
# leaves the key out, for a build that does not know it), runs the
# demonstrator with debug lines and --trace on a private virtual display for N
# seconds (default 12) and prints one table row (--keep DIR keeps each run's
# console output, timeline and the emulator's summary there as
# FORM_COREUS_WAIT.out, .csv and .emulator;
# --ignore-duplicates sets ignore_duplicate_frames, so that a frame already in
# a buffer set is not written again; --env runs the demonstrator with those
# variables set, for example OPENCV_FOR_THREADS_NUM=1):
#
#   measured   frames per second over the steady part of the run (the first
#              WARMUP frames are left out): frames / sum of their durations
#   median     1 / median frame time: the same without the stalls that other
#              load on the machine causes
#   u, p, f    mean upload, post-processing and core-control stage times
#              (ms) from the debug lines of the same run
#   ideal      two:     1 / max(core time, u, p), the stages overlapping fully
#              serial2: 1 / max(core time, u + p): upload and post-processing
#                       one after the other on the main thread, the core run
#                       overlapping both
#              one, serial1: 1 / (u + p + f), everything one after the other
#   ratio      measured / ideal
#   vs core    measured / (1 / core time): how close the loop comes to the
#              core's own limit (empty at core time 0)
#   usr, sys   processor time of the demonstrator per frame (ms), user and
#              system, from the kernel's accounting of the process between a
#              point a few seconds into the run and its end, divided by the
#              frames shown in between
#   floor      processor time per frame (ms, user + system) of window_floor,
#              run right after the demonstrator on the same display at the
#              demonstrator's measured rate for as long: what showing the
#              canvases alone costs (--no-floor leaves it out)
#   above      usr + sys - floor: the demonstrator's own processor time
#   lat50/95   latency from grab to shown (ms), median and 95th percentile,
#              from the timeline: a frame's grab begins to its canvas drawn
#              into the window, over the frames past the warm-up that were
#              shown
#
# The link's own limit is printed too: a frame upload is 3 x 416 x 416 bytes
# in DDR payloads, each paced to write_rate_limit MiB/s.
set -euo pipefail
ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
BENCH_ROOT=$ROOT
# shellcheck source=bench/lib.sh
. "$ROOT/bench/lib.sh"
unclean_runs=0

build="$ROOT/build"
seconds=12
scene="$ROOT/data/scenes/scene_01_1280x720.png"
core_list="38461 10000 0"
form_list="two one serial2 serial1"
keep=""
ignore_duplicates=false
wait_list="poll adaptive"
demo_env=""
floor=true
warmup=30
while [ $# -gt 0 ]; do
  case "$1" in
    --build) build=$(cd "$2" && pwd); shift 2 ;;
    --seconds) seconds=$2; shift 2 ;;
    --scene) scene=$(cd "$(dirname "$2")" && pwd)/$(basename "$2"); shift 2 ;;
    --core-us) core_list=$2; shift 2 ;;
    --forms) form_list=$2; shift 2 ;;
    --keep) mkdir -p "$2"; keep=$(cd "$2" && pwd); shift 2 ;;
    --ignore-duplicates) ignore_duplicates=true; shift ;;
    --core-wait) wait_list=$2; shift 2 ;;
    --env) demo_env=$2; shift 2 ;;
    --no-floor) floor=false; shift ;;
    -h|--help) awk 'NR > 1 && !/^#/ { exit } NR > 1 { sub(/^# ?/, ""); print }' "${BASH_SOURCE[0]}"; exit 0 ;;
    *) echo "unknown argument: $1 (see --help)" >&2; exit 2 ;;
  esac
done

programs="emulator/board_emulator"
case " $form_list " in *" two "*|*" one "*) programs+=" app/visiondemo" ;; esac
case " $form_list " in *" serial"*) programs+=" app/visiondemo_serial" ;; esac
$floor && programs+=" bench/window_floor"
# shellcheck disable=SC2086
bench_programs "$build" $programs
bench_begin "$scene"

# User and system clock ticks of process $1 so far ("0 0" once it is gone).
cpu_ticks() {
  local stat
  stat=$(cat "/proc/$1/stat" 2>/dev/null) || { echo "0 0"; return; }
  # The fields after the parenthesised command name: utime and stime are the 12th and 13th.
  echo "${stat##*) }" | awk '{ print $12, $13 }'
}

# One run: prints "frames measured_fps median_fps u p f usr sys lat50 lat95"
# from the demonstrator's output and timeline.
run_one() {  # core_us form core_wait
  local core_us=$1 form=$2 core_wait=$3 program=visiondemo spaces=2
  [ "$core_wait" = none ] && core_wait=""
  case "$form" in
    two) ;;
    one) spaces=1 ;;
    serial2) program=visiondemo_serial ;;
    serial1) program=visiondemo_serial; spaces=1 ;;
    *) echo "unknown form $form" >&2; return 1 ;;
  esac
  bench_start_emulator "$build" --core-us "$core_us" --weights ../data/weights.txt
  bench_configuration "$port" "$spaces" "$ignore_duplicates" "$core_wait"
  rm -f "$work/run/trace.csv"
  # shellcheck disable=SC2086
  (cd "$work/run" && DISPLAY=$display XDG_RUNTIME_DIR=$work/xdg exec env $demo_env "$build/app/$program" \
      --trace trace.csv </dev/null >demo.out 2>demo.err) &
  local demo=$!
  bench_track "$demo"
  # Processor time is counted from a point past start-up (weights, first
  # frames) to the end, over the frames shown in between.
  local settle=$((seconds > 8 ? 4 : seconds / 2))
  sleep "$settle"
  local cpu0 frames0 cpu1 frames1
  cpu0=$(cpu_ticks "$demo")
  frames0=$(grep -c '^(avg/recent/now) duration' "$work/run/demo.out" || true)
  sleep $((seconds - settle))
  cpu1=$(cpu_ticks "$demo")
  frames1=$(grep -c '^(avg/recent/now) duration' "$work/run/demo.out" || true)
  kill -INT "$demo" 2>/dev/null || true
  wait "$demo" 2>/dev/null || true
  kill -INT "$emulator" 2>/dev/null || true
  wait "$emulator" 2>/dev/null || true
  # A rate bought with protocol errors or lost datagrams does not count.
  bench_summary_clean "$work/run/emulator.out" || unclean_runs=$((unclean_runs + 1))
  if [ -n "$keep" ]; then
    cp "$work/run/demo.out" "$keep/${form}_${core_us}_${3}.out"
    cp "$work/run/trace.csv" "$keep/${form}_${core_us}_${3}.csv" 2>/dev/null || true
    cp "$work/run/emulator.out" "$keep/${form}_${core_us}_${3}.emulator" 2>/dev/null || true
  fi
  latency_ms "$work/run/trace.csv" >"$work/latency"
  awk -v warmup="$warmup" -v cpu0="$cpu0" -v cpu1="$cpu1" -v frames="$((frames1 - frames0))" -v hz="$(getconf CLK_TCK)" '
    /^\(avg\/recent\/now\) duration/ {
      frame++
      if (frame <= warmup) next
      split($0, parts, "|"); sub(/.*\]/, "", parts[1]); split(parts[1], d, "/")
      now += d[3]; n++; durations[n] = d[3] + 0
    }
    /^u: / {
      if (frame <= warmup) next
      u += $2; p += $4; f += $8; m++
    }
    END {
      split(cpu0, c0, " "); split(cpu1, c1, " ")
      usr = frames > 0 ? 1000 * (c1[1] - c0[1]) / hz / frames : 0
      sys = frames > 0 ? 1000 * (c1[2] - c0[2]) / hz / frames : 0
      if (n == 0 || m == 0) { print 0, 0, 0, 0, 0, 0, 0, 0; exit }
      # Median frame time: insertion sort is fast enough for a few thousand.
      for (i = 2; i <= n; i++) { v = durations[i]; for (j = i - 1; j >= 1 && durations[j] > v; j--) durations[j + 1] = durations[j]; durations[j + 1] = v }
      median = n % 2 ? durations[(n + 1) / 2] : (durations[n / 2] + durations[n / 2 + 1]) / 2
      printf "%d %.3f %.3f %.3f %.3f %.3f %.3f %.3f", n, 1000 * n / now, (median > 0 ? 1000 / median : 0), u / m, p / m, f / m, usr, sys
    }' "$work/run/demo.out"
  echo " $(cat "$work/latency")"
}

# Median and 95th percentile (ms) of grab-to-shown over the frames of
# timeline $1 past the warm-up that were shown; "0 0" without any.
latency_ms() {  # trace.csv
  [ -s "$1" ] || { echo "0 0"; return; }
  awk -F, -v warmup="$warmup" '
    NR == 1 || $1 + 0 <= warmup { next }
    $2 == "grab" { grab[$1] = $4 }
    $2 == "shown" && ($1 in grab) { print ($5 - grab[$1]) / 1000 }' "$1" | sort -g |
    awk '{ v[++n] = $1 } END {
      if (n == 0) { print "0 0"; exit }
      i50 = int(0.5 * (n - 1)) + 1; i95 = int(0.95 * (n - 1)) + 1
      printf "%.2f %.2f\n", v[i50], v[i95] }'
}

# Processor time per frame (ms, user + system) of window_floor at rate $1.
floor_ms() {  # rate
  local settle=$((seconds > 8 ? 4 : seconds / 2))
  (cd "$work/run" && DISPLAY=$display XDG_RUNTIME_DIR=$work/xdg "$build/bench/window_floor" --rate "$1" \
      --seconds "$seconds" --settle "$settle" --scene "$scene" </dev/null 2>/dev/null) |
    awk '/^floor:/ { print $6 + $8; found = 1 } END { if (!found) print 0 }'
}

echo "Frame rate of the demonstrator against board_emulator ($(basename "$scene"), ${seconds} s a run," \
  "first $warmup frames left out; $(nproc) cores, load $(cut -d' ' -f1-3 /proc/loadavg))"
# 64 paced payloads of 8192 bytes at 100 MiB/s: 78 us each.
awk 'BEGIN { pace = int(8192 / (100 * 1.048576)); t = int((3 * 416 * 416 + 8191) / 8192) * pace;
  printf "link limit: frame upload %d x %d us = %.2f ms, %.1f frames/s\n", int((3*416*416+8191)/8192), pace, t/1000, 1e6/t }'
printf '%-7s %8s %-8s %7s %9s %8s %8s %8s %8s %9s %7s %8s %7s %7s %7s %7s %7s %7s\n' form core_us wait frames \
  "measured" "median" "u ms" "p ms" "f ms" ideal ratio "vs core" "usr ms" "sys ms" "floor" "above" "lat50" "lat95"
for core_us in $core_list; do
  for form in $form_list; do
    for core_wait in $wait_list; do
    run_one "$core_us" "$form" "$core_wait" >"$work/result"
    read -r frames fps median_fps u p f usr sys lat50 lat95 <"$work/result"
    floor_cost=-
    $floor && floor_cost=$(floor_ms "$fps")
    awk -v form="$form" -v core="$core_us" -v wait="$core_wait" -v frames="$frames" -v fps="$fps" -v median="$median_fps" \
      -v u="$u" -v p="$p" -v f="$f" -v usr="$usr" -v sys="$sys" -v floor="$floor_cost" -v lat50="$lat50" -v lat95="$lat95" 'BEGIN {
      c = core / 1000
      if (form == "two") { t = c; if (u > t) t = u; if (p > t) t = p }
      else if (form == "serial2") { t = c; if (u + p > t) t = u + p }
      else { t = u + p + f }
      ideal = t > 0 ? 1000 / t : 0
      ratio = ideal > 0 ? sprintf("%6.1f%%", 100 * fps / ideal) : "-"
      vs = c > 0 ? sprintf("%6.1f%%", 100 * fps * c / 1000) : "-"
      above = floor == "-" ? "-" : sprintf("%.2f", usr + sys - floor)
      printf "%-7s %8d %-8s %7d %9.2f %8.2f %8.3f %8.3f %8.3f %9.2f %7s %8s %7.2f %7.2f %7s %7s %7.2f %7.2f\n", form, core, wait,
        frames, fps, median, u, p, f, ideal, ratio, vs, usr, sys, floor, above, lat50, lat95
    }'
    done
  done
done
if [ "$unclean_runs" -gt 0 ]; then
  echo "ERROR: $unclean_runs run(s) left the emulator's summary unclean (see above)" >&2
  exit 1
fi
