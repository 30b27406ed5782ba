# Shared by the scripts: installs the Debian packages a step needs when missing.
as_root() {
  if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi
}

# ensure_packages pkg... : apt-get installs the packages that are not installed.
ensure_packages() {
  local missing=()
  for p in "$@"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
  done
  if [ ${#missing[@]} -gt 0 ]; then
    echo "installing: ${missing[*]}"
    # Another apt-get (a second build on the machine) may hold the lock: wait for it.
    local lock=(-o DPkg::Lock::Timeout=600)
    as_root env DEBIAN_FRONTEND=noninteractive apt-get "${lock[@]}" update -q >/dev/null
    as_root env DEBIAN_FRONTEND=noninteractive apt-get "${lock[@]}" install -y -q --no-install-recommends "${missing[@]}" >/dev/null
  fi
}

# The build's pipe base name from the environment (VELMOX_PIPE_NAME), as a
# CMake option; none when it is not set (the cache keeps what it had).
pipe_name_option() {
  [ -n "${VELMOX_PIPE_NAME:-}" ] && echo "-DVELMOX_PIPE_NAME=$VELMOX_PIPE_NAME"
  return 0
}

# build_tree dir [cmake options...] : configures and builds one build tree.
build_tree() {
  local dir=$1; shift
  cmake -S "$ROOT" -B "$dir" $(pipe_name_option) "$@" >/dev/null
  cmake --build "$dir" -j "$(nproc)"
}
