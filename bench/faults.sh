#!/usr/bin/env bash
# The whole demonstrator against the board emulator program under faults:
# datagrams lost at random in both directions, and a core that stalls now
# and then.
#
#   bench/faults.sh [--build DIR] [--seconds N] [--program visiondemo|visiondemo_serial]
#                   [--cases "LIST"] [--keep DIR]
#
# Cases (default: all): loss0.1, loss1, loss3 (requests and replies each
# dropped with that percentage) and stall500 (every 500th core run never
# finishes). Each case runs N seconds (default 180) and is then stopped as
# Ctrl-C stops it; one table row a case:
#
#   frames     frames shown (rate lines printed)
#   resets     board resets ("FPGA RESET REQUESTED")
#   between    frames between two resets: min / median / max over the run's
#              segments (before the first reset, between resets, after the last)
#   end        how the run ended: "stopped" (status 0 after our stop), "exit N"
#              (ended by itself with status N), "signal N", or "killed" (did not
#              end within 60 s of the stop)
#   user, sys  processor seconds of the demonstrator
#   peak MiB   its peak resident memory
#   runs       core runs the emulator counted
set -euo pipefail
BENCH_ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
source "$BENCH_ROOT/bench/lib.sh"

build="$BENCH_ROOT/build"
seconds=180
program=visiondemo
case_list="loss0.1 loss1 loss3 stall500"
keep=""
while [ $# -gt 0 ]; do
  case "$1" in
    --build) build=$(cd "$2" && pwd); shift 2 ;;
    --seconds) seconds=$2; shift 2 ;;
    --program) program=$2; shift 2 ;;
    --cases) case_list=$2; shift 2 ;;
    --keep) mkdir -p "$2"; keep=$(cd "$2" && pwd); shift 2 ;;
    -h|--help) awk 'NR > 1 && !/^#/ { exit } NR > 1 { sub(/^# ?/, ""); print }' "${BASH_SOURCE[0]}"; exit 0 ;;
    *) echo "unknown argument: $1 (see --help)" >&2; exit 2 ;;
  esac
done
bench_programs "$build" emulator/board_emulator "app/$program"
[ -x /usr/bin/time ] || { echo "ERROR: /usr/bin/time is needed (apt-get install time)" >&2; exit 1; }
bench_begin "$BENCH_ROOT/data/scenes/scene_01_1280x720.png"

# The emulator's fault flags of one case.
case_flags() {
  case "$1" in
    loss*) local p; p=$(awk -v c="${1#loss}" 'BEGIN { printf "%g", c / 100 }')
           echo "--drop-requests $p --drop-replies $p --seed 7" ;;
    stall*) local every=${1#stall} n flags=""
            for n in $(seq "$every" "$every" 200000); do flags+=" --stall-run $n"; done
            echo "$flags" ;;
    *) echo "unknown case $1" >&2; return 1 ;;
  esac
}

run_case() {  # case
  local name=$1
  # shellcheck disable=SC2046
  bench_start_emulator "$build" $(case_flags "$name")
  bench_configuration "$port" 2 false
  (cd "$work/run" && DISPLAY=$display XDG_RUNTIME_DIR=$work/xdg exec /usr/bin/time -o time.out \
      -f '%U %S %M' "$build/app/$program" </dev/null >demo.out 2>demo.err) &
  local timer=$! demo="" n=0
  bench_track "$timer"
  until demo=$(pgrep -P "$timer" -x "$program"); do
    n=$((n + 1)); [ $n -gt 100 ] && { echo "ERROR: $program did not start" >&2; return 1; }
    sleep 0.1
  done
  local deadline=$((SECONDS + seconds)) ended=""
  while [ $SECONDS -lt $deadline ] && kill -0 "$demo" 2>/dev/null; do sleep 1; done
  if kill -0 "$demo" 2>/dev/null; then
    kill -INT "$demo"
    ended=stopped
    deadline=$((SECONDS + 60))
    while [ $SECONDS -lt $deadline ] && kill -0 "$demo" 2>/dev/null; do sleep 0.2; done
    if kill -0 "$demo" 2>/dev/null; then kill -KILL "$demo"; ended=killed; fi
  fi
  wait "$timer" 2>/dev/null || true
  local status
  status=$(grep -o 'exited with non-zero status [0-9]*\|terminated by signal [0-9]*' "$work/run/time.out" || true)
  case "$status" in
    *signal*) [ "$ended" = killed ] || ended="signal ${status##* }" ;;
    *status*) [ "$ended" = stopped ] && ended="stopped, exit ${status##* }" || ended="exit ${status##* }" ;;
    *) [ -n "$ended" ] || ended="exit 0" ;;
  esac
  kill -INT "$emulator" 2>/dev/null || true
  wait "$emulator" 2>/dev/null || true
  if [ -n "$keep" ]; then
    cp "$work/run/demo.out" "$keep/$name.out"; cp "$work/run/demo.err" "$keep/$name.err"
    cp "$work/run/emulator.out" "$keep/$name.emulator.out"
  fi
  local runs
  runs=$(sed -n 's/^  runs started: //p' "$work/run/emulator.out" || echo "?")
  awk -v name="$name" -v ended="$ended" -v runs="$runs" -v times="$(tail -n1 "$work/run/time.out")" '
    /^\(avg\/recent\/now\) duration/ { frames++; segment++ }
    /^FPGA RESET REQUESTED/ { resets++; seg[++nseg] = segment; segment = 0 }
    END {
      seg[++nseg] = segment
      for (i = 2; i <= nseg; i++) { v = seg[i]; for (j = i - 1; j >= 1 && seg[j] > v; j--) seg[j + 1] = seg[j]; seg[j + 1] = v }
      median = nseg % 2 ? seg[(nseg + 1) / 2] : int((seg[nseg / 2] + seg[nseg / 2 + 1]) / 2)
      split(times, t, " ")
      printf "%-9s %7d %6d %20s %-18s %7.1f %6.1f %8.1f %6s\n", name, frames, resets,
        seg[1] " / " median " / " seg[nseg], ended, t[1], t[2], t[3] / 1024, runs
    }' "$work/run/demo.out"
}

echo "$program against board_emulator under faults (${seconds} s a case; $(nproc) cores," \
  "load $(cut -d' ' -f1-3 /proc/loadavg))"
printf '%-9s %7s %6s %20s %-18s %7s %6s %8s %6s\n' case frames resets "between min/med/max" end user sys \
  "peak MiB" runs
for name in $case_list; do run_case "$name"; done
