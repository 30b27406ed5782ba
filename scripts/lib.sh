# Shared by the scripts: the Debian packages each step needs, and their
# installation when missing.

# ------------------------------------------------------------ the packages
# Written once, here: scripts/start-service, scripts/test-all, bench/run-all
# and fuzz/run-fuzzers install from these lists, and cmake/dependencies.cmake
# names the same packages when the configure step finds one missing. The
# pristine-root test (tests/install/check-fresh-machine) proves on a minimal
# Debian 12 that they are whole.

# Build: the library, the gateway (libfcgi; libsystemd for velmox-fcgi), the
# sample server task (SQLite, libsystemd, OpenSSL's libcrypto for the HMAC of
# its forms' tokens).
PACKAGES_BUILD=(cmake g++ make pkgconf libfcgi-dev libsqlite3-dev libsystemd-dev libssl-dev)
# The service scripts/start-service runs: its default web server, curl for
# its requests, pgrep, htpasswd (apache2-utils) for the web server's password
# file. The other web servers it can run come with --web.
PACKAGES_SERVICE=(lighttpd curl procps apache2-utils)
PACKAGES_WEB_nginx=(nginx-light)
PACKAGES_WEB_apache=(apache2)
# The tests: GoogleTest, the PostgreSQL store and server, valgrind (the
# gateway's bad-input suite), headless Chromium (the browser suite; node and
# npm apart, below), the web servers of the deployment suites and Prometheus,
# the man pages, the reference of the public headers (doxygen, no graphviz:
# it draws no graphs; a build without it has neither, and the service does
# not need them) and the install and package tests (scdoc, CPack's dependency
# scan: dpkg-dev and file, pkg-config, man, lintian), the container tests
# (systemd-nspawn, mmdebstrap, nsenter), git for the pristine-root test.
PACKAGES_TEST=(libgtest-dev libgmock-dev libpq-dev postgresql-15 valgrind chromium
               lighttpd nginx-light apache2 caddy h2o haproxy prometheus curl
               apache2-utils scdoc doxygen dpkg-dev file pkgconf man-db lintian
               systemd systemd-container mmdebstrap util-linux procps iproute2 git)
# The benchmarks (bench/run-all): Google Benchmark, the load generators (wrk,
# ab), libfcgi's cgi-fcgi, strace, valgrind (callgrind) and perf, gnuplot for
# the pictures, GNU time; the contenders' web servers, fcgiwrap and php-fpm;
# PostgreSQL and HAProxy for the stores and hosts.
PACKAGES_BENCH=(libbenchmark-dev wrk apache2-utils libfcgi-bin strace valgrind linux-perf gnuplot-nox time
                procps iproute2 util-linux curl lighttpd nginx-light fcgiwrap php8.2-fpm
                postgresql-15 libpq-dev haproxy)
# The libFuzzer targets (fuzz/run-fuzzers): clang with its runtime and symbolizer.
PACKAGES_FUZZ=(clang-14 libclang-rt-14-dev llvm-14)

# ensure_node: node and npm for the browser suite. A Node.js from outside
# Debian brings its own npm and refuses Debian's, so Debian's packages come
# only when one is missing.
ensure_node() {
  command -v node >/dev/null || ensure_packages nodejs
  command -v npm >/dev/null || ensure_packages npm
  return 0
}

# ------------------------------------------------------------ installation
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
