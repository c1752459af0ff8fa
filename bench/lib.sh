# Shared by the whole-program benchmark scripts: a scratch folder laid out as
# the programs expect (configuration/, data/, run/), a private virtual X
# server, the emulator program on a free port, and the configuration file.
#
# After bench_begin SCENE: $work, $display and $extension are set, and every
# process started through bench_track is killed and the folder removed when
# the script ends.

bench_pids=()
bench_cleanup() {
  local pid
  for pid in "${bench_pids[@]}"; do kill -KILL "$pid" 2>/dev/null || true; done
  for pid in "${bench_pids[@]}"; do wait "$pid" 2>/dev/null || true; done
  rm -rf "$work"
}
bench_track() { bench_pids+=("$1"); }

# Waits (at most $2 tenths of a second) until file $1 holds a complete line.
wait_line() {
  local n=0
  until [ -s "$1" ] && [ "$(tail -c1 "$1" | od -An -c | tr -d ' ')" = '\n' ]; do
    n=$((n + 1)); [ $n -gt "$2" ] && return 1
    sleep 0.1
  done
}

# Builds the named programs (paths below the build folder) when the build
# folder is a CMake one, and checks that they exist.
bench_programs() {  # build program...
  local build=$1; shift
  if [ -f "$build/build.ninja" ]; then
    local targets
    targets=$(for program in "$@"; do basename "$program"; done)
    # shellcheck disable=SC2086
    cmake --build "$build" --target $targets >/dev/null ||
      echo "WARNING: building $targets in $build failed; measuring the programs as they are" >&2
  fi
  local program
  for program in "$@"; do
    if [ ! -x "$build/$program" ]; then
      echo "ERROR: $build/$program is missing; build it or name the build folder with --build" >&2
      exit 1
    fi
  done
  command -v Xvfb >/dev/null || { echo "ERROR: Xvfb is needed (apt-get install xvfb)" >&2; exit 1; }
}

bench_begin() {  # scene
  local scene=$1
  work=$(mktemp -d "${TMPDIR:-/tmp}/vd_bench_XXXXXX")
  trap bench_cleanup EXIT
  trap 'exit 130' INT TERM
  mkdir -p "$work/configuration" "$work/data/scenes" "$work/run" "$work/xdg"
  chmod 700 "$work/xdg"
  local name
  for name in mox_logo.png pyr_logo.png weights.txt scaling_parameters.bin; do
    ln -s "$BENCH_ROOT/data/$name" "$work/data/$name"
  done
  cp "$scene" "$work/data/scenes/"
  extension=${scene##*.}
  # A private X server: the demonstrator's window and its drawing cost the
  # same in every run, whatever else runs on the machine's displays.
  Xvfb -displayfd 3 -screen 0 1920x1080x24 -nolisten tcp 3>"$work/display" >"$work/xvfb.log" 2>&1 &
  bench_track $!
  wait_line "$work/display" 100 || { echo "ERROR: Xvfb did not start" >&2; exit 1; }
  display=":$(head -n1 "$work/display")"
}

# The configuration the programs read: the image source on the one scene.
# A fourth argument, when given, is the value of core_wait.
bench_configuration() {  # port memory_spaces ignore_duplicates [core_wait]
  cat >"$work/configuration/demo_parameters_windows.yaml" <<EOF
YoloConfiguration:
  path_scaling_parameters: "../data/scaling_parameters.bin"
  path_weights_biases: "../data/weights.txt"
  address_data: 0x02000000
  address_output: 0x02080000
  offset_pingpong: 0x00100000
DemoConfiguration:
  data_source: image
  data_fit: box
  path_image_glob: "../data/scenes"
  image_extension: $extension
  capture_source: 63
  capture_flip: true
  displaytime_image: 2000
  memory_spaces: $2
  fullscreen: false
  debug: true
  ignore_duplicate_frames: $3
NetworkConfiguration:
  ip_address: 127.0.0.1
  udp_port: $1
  packet_size: 8192
  write_rate_limit: 100
EOF
  if [ -n "${4:-}" ]; then
    echo "  core_wait: $4" >>"$work/configuration/demo_parameters_windows.yaml"
  fi
}

# Starts the emulator program in $work/run with the given flags on a free
# port; sets $emulator (its pid) and $port.
bench_start_emulator() {  # build flag...
  local build=$1; shift
  bench_configuration 0 2 false
  rm -f "$work/run/emulator.out"
  (cd "$work/run" && exec "$build/emulator/board_emulator" --config ../configuration/demo_parameters_windows.yaml \
      --port 0 "$@" >emulator.out 2>emulator.err) &
  emulator=$!
  bench_track "$emulator"
  wait_line "$work/run/emulator.out" 100 || { echo "ERROR: board_emulator did not start" >&2; exit 1; }
  port=$(sed -n '1s/^listening on .*:\([0-9]*\)$/\1/p' "$work/run/emulator.out")
}

# Checks the summary board_emulator printed at its end into file $1: no
# malformed requests, no protocol errors, no run without the expected
# weights. Names what is not clean on the error stream and fails. Datagrams
# lost to the board's receive buffer, or to its socket before that, are named
# as a warning: a paced host still loses one now and then on a loaded machine.
bench_summary_clean() {  # emulator_output
  local unclean
  unclean=$(awk '
    /^summary:/ { seen = 1 }
    /^  receive buffer overflows: / && $4 + 0 != 0 { sub(/^  /, ""); print "WARNING: board_emulator " $0 > "/dev/stderr" }
    /^  socket drops: / && $3 + 0 != 0 { sub(/^  /, ""); print "WARNING: board_emulator " $0 > "/dev/stderr" }
    /^  (malformed requests|protocol errors|runs without valid weights): / {
      n = $0; sub(/^.*: /, "", n)
      if (n + 0 != 0) { sub(/^  /, ""); printf "%s%s", (bad++ ? "; " : ""), $0 }
    }
    END { if (!seen) printf "no summary" }' "$1")
  [ -z "$unclean" ] || { echo "ERROR: board_emulator summary not clean: $unclean" >&2; return 1; }
}
