#!/usr/bin/env bash
# The demonstrator's frame rate on a link that loses datagrams, with the
# default link limits and with those of the direct-cable configuration.
#
#   bench/loss.sh [--build DIR] [--seconds N] [--losses "LIST"] [--limits "LIST"] [--keep DIR]
#
# visiondemo (two memory spaces, debug lines on) runs against the emulator
# program on a private virtual display for N seconds a case (default 180)
# and is then ended by an Escape key sent to its window. Cases: every loss
# in percent (default "0 0.1 1"; requests and replies are each dropped with
# that chance) for every set of limits (default "default direct": none of
# the limit keys, or those of configuration/demo_parameters_direct_cable.yaml).
# One table row a case:
#
#   frames     frames shown (one rate line each)
#   fps        frames per second from the first shown frame to the last
#   share      fps as a share of the loss-free case with the same limits
#              (the first case of the set when it has no 0 % case)
#   resets     board resets ("FPGA RESET REQUESTED")
#   gap s      longest time between two shown frames
#   runs       core runs the emulator counted
#   end        "Escape" when the window's Escape ended the program with
#              status 0; else what happened ("exit N", "signal N", "killed"
#              when it did not end within 60 s of the key)
#   clean      whether the emulator's summary shows no protocol error, no
#              malformed request and no run without the weights
set -euo pipefail
BENCH_ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
# shellcheck source=bench/lib.sh
source "$BENCH_ROOT/bench/lib.sh"

build="$BENCH_ROOT/build"
seconds=180
loss_list="0 0.1 1"
limits_list="default direct"
keep=""
while [ $# -gt 0 ]; do
  case "$1" in
    --build) build=$(cd "$2" && pwd); shift 2 ;;
    --seconds) seconds=$2; shift 2 ;;
    --losses) loss_list=$2; shift 2 ;;
    --limits) limits_list=$2; shift 2 ;;
    --keep) mkdir -p "$2"; keep=$(cd "$2" && pwd); shift 2 ;;
    -h|--help) awk 'NR > 1 && !/^#/ { exit } NR > 1 { sub(/^# ?/, ""); print }' "${BASH_SOURCE[0]}"; exit 0 ;;
    *) echo "unknown argument: $1 (see --help)" >&2; exit 2 ;;
  esac
done
bench_programs "$build" emulator/board_emulator app/visiondemo
command -v xdotool >/dev/null || { echo "ERROR: xdotool is needed (apt-get install xdotool)" >&2; exit 1; }
command -v perl >/dev/null || { echo "ERROR: perl is needed to time the output lines" >&2; exit 1; }
bench_begin "$BENCH_ROOT/data/scenes/scene_01_1280x720.png"
direct_file="$BENCH_ROOT/configuration/demo_parameters_direct_cable.yaml"

# The limit keys of one set, as lines of the NetworkConfiguration section.
limit_keys() {
  case "$1" in
    default) ;;
    direct) grep -E '^  [a-z_]+_(ms|us|attempts):' "$direct_file" ;;
    *) echo "unknown limits $1" >&2; return 1 ;;
  esac
}

# One case; prints "frames fps resets gap runs end clean".
run_case() {  # limits loss
  local limits=$1 loss=$2 p
  p=$(awk -v c="$loss" 'BEGIN { printf "%g", c / 100 }')
  bench_start_emulator "$build" --weights ../data/weights.txt --drop-requests "$p" --drop-replies "$p" --seed 7
  bench_configuration "$port" 2 false
  limit_keys "$limits" >>"$work/configuration/demo_parameters_windows.yaml"
  # Every output line with the time it came, in seconds.
  (cd "$work/run" && DISPLAY=$display XDG_RUNTIME_DIR=$work/xdg exec "$build/app/visiondemo" </dev/null \
      2>demo.err > >(exec perl -MTime::HiRes=time -ne 'BEGIN { $| = 1 } printf "%.6f %s", time, $_' >demo.out)) &
  local demo=$! window="" n=0 ended="" status=0
  bench_track "$demo"
  until window=$(DISPLAY=$display xdotool search --onlyvisible --pid "$demo" --name '^output$' 2>/dev/null | head -n1) &&
        [ -n "$window" ]; do
    n=$((n + 1))
    if [ $n -gt 600 ] || ! kill -0 "$demo" 2>/dev/null; then break; fi
    sleep 0.1
  done
  local deadline=$((SECONDS + seconds))
  while [ $SECONDS -lt $deadline ] && kill -0 "$demo" 2>/dev/null; do sleep 1; done
  if kill -0 "$demo" 2>/dev/null; then
    # The key goes again while the program has not taken it (a cycle that
    # waits out a limit does not read keys meanwhile).
    deadline=$((SECONDS + 60))
    while [ $SECONDS -lt $deadline ] && kill -0 "$demo" 2>/dev/null; do
      [ -n "$window" ] && DISPLAY=$display xdotool key --window "$window" Escape 2>/dev/null || true
      grep -q 'CALLBACK STOP' "$work/run/demo.out" && break
      sleep 1
    done
    while [ $SECONDS -lt $deadline ] && kill -0 "$demo" 2>/dev/null; do sleep 0.2; done
    if kill -0 "$demo" 2>/dev/null; then kill -KILL "$demo"; ended=killed; fi
  fi
  wait "$demo" 2>/dev/null || status=$?
  if [ -z "$ended" ]; then
    if [ "$status" -gt 128 ]; then ended="signal $((status - 128))"
    elif [ "$status" -ne 0 ]; then ended="exit $status"
    elif grep -q 'CALLBACK STOP' "$work/run/demo.out"; then ended=Escape
    else ended="exit 0"; fi
  fi
  kill -INT "$emulator" 2>/dev/null || true
  wait "$emulator" 2>/dev/null || true
  local clean=yes
  bench_summary_clean "$work/run/emulator.out" 2>/dev/null || clean=no
  if [ -n "$keep" ]; then
    cp "$work/run/demo.out" "$keep/${limits}_${loss}.out"; cp "$work/run/demo.err" "$keep/${limits}_${loss}.err"
    cp "$work/run/emulator.out" "$keep/${limits}_${loss}.emulator.out"
  fi
  local runs
  runs=$(sed -n 's/^  runs started: //p' "$work/run/emulator.out" | head -n1)
  awk -v runs="${runs:-?}" -v ended="$ended" -v clean="$clean" '
    $2 == "(avg/recent/now)" && $3 == "duration" {
      t = $1 + 0
      if (frames == 0) first = t
      else if (t - last > gap) gap = t - last
      last = t; frames++
    }
    $2 == "FPGA" && $3 == "RESET" && $4 == "REQUESTED" { resets++ }
    END {
      fps = frames > 1 && last > first ? (frames - 1) / (last - first) : 0
      printf "%d %.2f %d %.3f %s %s %s\n", frames, fps, resets, gap, runs, clean, ended
    }' "$work/run/demo.out"
}

echo "visiondemo against board_emulator on a lossy link (${seconds} s a case; $(nproc) cores," \
  "load $(cut -d' ' -f1-3 /proc/loadavg))"
printf '%-8s %6s %7s %8s %7s %6s %8s %7s %6s %s\n' limits "loss %" frames fps share resets "gap s" runs clean end
for limits in $limits_list; do
  reference="" loss_free=""
  for loss in $loss_list; do
    read -r frames fps resets gap runs clean ended < <(run_case "$limits" "$loss")
    if [ -z "$loss_free" ] && awk -v l="$loss" 'BEGIN { exit !(l + 0 == 0) }'; then
      reference=$fps loss_free=yes
    elif [ -z "$reference" ]; then
      reference=$fps
    fi
    share=$(awk -v f="$fps" -v r="$reference" 'BEGIN { printf "%.1f%%", (r > 0 ? 100 * f / r : 0) }')
    printf '%-8s %6s %7d %8.2f %7s %6d %8.3f %7s %6s %s\n' "$limits" "$loss" "$frames" "$fps" "$share" "$resets" \
      "$gap" "$runs" "$clean" "$ended"
  done
done
