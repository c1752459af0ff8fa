#!/usr/bin/env bash
# The timeline of the demonstrator against the board emulator program, and
# what recording it costs.
#
#   bench/trace.sh [--build DIR] [--core-us US] [--seconds N] [--program NAME] [--spaces 1|2]
#                  (--picture PNG [--csv FILE] | --pairs K)
#
# --picture: one run with --trace (two memory spaces by default), drawn into
#            PNG by tools' trace_picture (the CSV is kept with --csv).
# --pairs K: K pairs of runs, without and with --trace, alternated (A B B A,
#            so that neither always runs second and other load on the machine
#            falls on both alike); prints
#            each run's frames per second over N seconds after a 3 s warm-up,
#            the medians, their ratio and the load average.
set -euo pipefail
BENCH_ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
source "$BENCH_ROOT/bench/lib.sh"

build="$BENCH_ROOT/build"
core_us=38461
seconds=10
program=visiondemo
spaces=2
picture=""
csv=""
pairs=0
warmup=3
while [ $# -gt 0 ]; do
  case "$1" in
    --build) build=$(cd "$2" && pwd); shift 2 ;;
    --core-us) core_us=$2; shift 2 ;;
    --seconds) seconds=$2; shift 2 ;;
    --program) program=$2; shift 2 ;;
    --spaces) spaces=$2; shift 2 ;;
    --picture) picture=$(cd "$(dirname "$2")" && pwd)/$(basename "$2"); shift 2 ;;
    --csv) csv=$(cd "$(dirname "$2")" && pwd)/$(basename "$2"); shift 2 ;;
    --pairs) pairs=$2; shift 2 ;;
    -h|--help) awk 'NR > 1 && !/^#/ { exit } NR > 1 { sub(/^# ?/, ""); print }' "${BASH_SOURCE[0]}"; exit 0 ;;
    *) echo "unknown argument: $1 (see --help)" >&2; exit 2 ;;
  esac
done
[ -n "$picture" ] || [ "$pairs" -gt 0 ] || { echo "name --picture PNG or --pairs K (see --help)" >&2; exit 2; }

bench_programs "$build" emulator/board_emulator "app/$program" tools/trace_picture
bench_begin "$BENCH_ROOT/data/scenes/scene_01_1280x720.png"
bench_start_emulator "$build" --core-us "$core_us"
bench_configuration "$port" "$spaces" false

# One run; prints its frames per second over the measured seconds.
run_one() {  # trace file or empty
  local out="$work/run/demo.out"
  rm -f "$out"
  (cd "$work/run" && DISPLAY=$display XDG_RUNTIME_DIR=$work/xdg exec "$build/app/$program" ${1:+--trace "$1"} \
      </dev/null >"$out" 2>"$work/run/demo.err") &
  local pid=$!
  bench_track "$pid"
  sleep "$warmup"
  local before after
  before=$(grep -c 'avg/recent/now' "$out" || true)
  sleep "$seconds"
  after=$(grep -c 'avg/recent/now' "$out" || true)
  kill -INT "$pid" 2>/dev/null || true
  wait "$pid" || { echo "ERROR: $program ended with a failure" >&2; cat "$work/run/demo.err" >&2; return 1; }
  awk -v a="$before" -v b="$after" -v s="$seconds" 'BEGIN { printf "%.2f\n", (b - a) / s }'
}

if [ -n "$picture" ]; then
  trace_file=${csv:-$work/trace.csv}
  rate=$(run_one "$trace_file")
  echo "$program, $spaces memory space(s), core time $core_us us: $rate frames/s; $(wc -l <"$trace_file") lines"
  "$build/tools/trace_picture" "$trace_file" "$picture" \
    --title "$program, $spaces memory space(s), core time $core_us us, $rate frames/s (colour: frame)"
  echo "picture: $picture"
fi

if [ "$pairs" -gt 0 ]; then
  off=() on=()
  echo "load before: $(cut -d' ' -f1-3 /proc/loadavg)"
  for ((i = 1; i <= pairs; i++)); do
    # A B B A: neither kind always runs second.
    if ((i % 2)); then
      off+=("$(run_one "")")
      on+=("$(run_one "$work/trace.csv")")
    else
      on+=("$(run_one "$work/trace.csv")")
      off+=("$(run_one "")")
    fi
    echo "pair $i: off ${off[-1]}  on ${on[-1]} frames/s"
  done
  echo "load after: $(cut -d' ' -f1-3 /proc/loadavg)"
  median() { printf '%s\n' "$@" | sort -g | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }
  m_off=$(median "${off[@]}")
  m_on=$(median "${on[@]}")
  awk -v a="$m_off" -v b="$m_on" 'BEGIN { printf "median off %.2f, on %.2f frames/s: on / off = %.4f\n", a, b, b / a }'
fi
