# Shared by scripts/demo and scripts/test: the Debian packages the project
# needs, and their installation when something is missing.

VISIONDEMO_PACKAGES=(
  build-essential cmake ninja-build pkg-config
  libopencv-dev libyaml-cpp-dev
  libgtest-dev googletest libbenchmark-dev
  xvfb xauth xdotool x11-apps imagemagick
  clang-14 libclang-rt-14-dev
  libcpp-httplib-dev chromium curl
)

# Installs the missing packages through apt-get when run as root; otherwise
# names them and stops.
ensure_packages() {
  local missing=() p
  for p in "${VISIONDEMO_PACKAGES[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  if [ "$(id -u)" -ne 0 ]; then
    echo "ERROR: missing Debian packages: ${missing[*]}" >&2
    echo "	Install them with: sudo apt-get install ${missing[*]}" >&2
    exit 1
  fi
  echo "Installing: ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
}

# Configures build folder $1 once, with the remaining arguments passed to
# CMake.
configure_tree() {
  local dir=$1; shift
  if [ ! -f "$dir/build.ninja" ]; then
    cmake -S "$VISIONDEMO_ROOT" -B "$dir" -G Ninja "$@" >/dev/null
  fi
}

# Configures (once) and builds everything of one configuration into build
# folder $1, with the remaining arguments passed to CMake.
build_tree() {
  configure_tree "$@"
  cmake --build "$1" -j "$(nproc)"
}
