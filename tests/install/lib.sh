# Shared by the install and package checks (sourced). The caller sets
#   SRC      the source tree          VERSION  the project version
#   LIBDIR   CMAKE_INSTALL_LIBDIR     CGIDIR   VELMOX_INSTALL_CGIDIR
#   CONFIG   the build type, lower case (names VelmoxTargets-<config>.cmake)
#   MAN      ON when the build has man pages
#   REF      ON when the build has the HTML reference (doxygen)
# Every check prints what failed and counts it in FAILURES.
FAILURES=0
fail() { echo "FAIL: $*"; FAILURES=$((FAILURES + 1)); }

# The programs, each with a man page.
PROGRAMS=("$CGIDIR/velmox.cgi" bin/velmox-server bin/velmox-registry bin/velmox-passwd)
# The gateway linked for systemd's socket activation (velmox.cgi's page).
SERVICE_GATEWAY=lib/velmox/velmox-fcgi

# What only the Debian package velmox has outside /usr: the units, and the
# conffiles under /etc (the package's conffiles lists exactly these).
PACKAGE_UNITS=(lib/systemd/system/velmox-server.service lib/systemd/system/velmox-fcgi.socket
               lib/systemd/system/velmox-fcgi.service)
CONFFILES=(/etc/velmox/velmox-server.conf /etc/velmox/velmox.ini /etc/logrotate.d/velmox
           /etc/nginx/snippets/velmox.conf /etc/lighttpd/conf-available/50-velmox.conf
           /etc/apache2/conf-available/velmox.conf)

# The HTML reference of the public headers, in the library's package.
REFERENCE=share/doc/libvelmox-dev/reference

# public_headers: the public headers' names (common/public-headers.txt).
public_headers() {
  grep -v '^#' "$SRC/common/public-headers.txt" | sed -e '/^[[:space:]]*$/d' -e 's|.*/||'
}

# checked_files: the list of files on standard input (one a line) without
# the reference's files but for its index and the page of each header
# (the file names doxygen gives: cmd.h -> cmd_8h.html, ipc_core.h ->
# ipc__core_8h.html); styles, scripts and a page per class are not listed.
checked_files() {
  awk -v ref="$REFERENCE/" 'index($0, ref) != 1 || $0 ~ /\/(index|[a-z0-9_]+_8h)\.html$/'
}

# names_in DIR PATTERN: the names of the files in DIR matching PATTERN.
names_in() {
  (cd "$1" && for f in $2; do [ -f "$f" ] && echo "$f"; done)
}

# expected_files programs|dev [deb]: the files of a component below the
# prefix, one a line, unsorted; with "deb", also those only a package has.
expected_files() {
  local component=$1 deb=${2:-}
  case $component in
    programs)
      printf '%s\n' "${PROGRAMS[@]}" "$SERVICE_GATEWAY"
      if [ "$MAN" = ON ]; then
        for p in "${PROGRAMS[@]}"; do echo "share/man/man1/${p##*/}.1.gz"; done
      fi
      names_in "$SRC/deploy" '*' | sed 's|^|share/velmox/|'
      { echo README.md; echo CHANGELOG.md; names_in "$SRC/docs" '*.md'; } | sed 's|^|share/doc/velmox/|'
      if [ -n "$deb" ]; then
        printf '%s\n' share/doc/velmox/copyright share/doc/velmox/changelog.gz share/lintian/overrides/velmox
        printf '%s\n' lib/sysusers.d/velmox.conf lib/tmpfiles.d/velmox.conf
      fi
      ;;
    dev)
      echo "$LIBDIR/libvelmox.a"
      # The public headers, and the reference of each.
      { public_headers; echo velmox_version.h; } | sed 's|^|include/velmox/|'
      if [ "$REF" = ON ]; then
        echo "$REFERENCE/index.html"
        { public_headers; echo velmox_version.h; } | sed -e 's/_/__/g' -e 's/\./_8/g' -e "s|^\(.*\)$|$REFERENCE/\1.html|"
      fi
      for f in VelmoxConfig.cmake VelmoxConfigVersion.cmake VelmoxTargets.cmake "VelmoxTargets-$CONFIG.cmake"; do
        echo "$LIBDIR/cmake/Velmox/$f"
      done
      echo "$LIBDIR/pkgconfig/velmox.pc"
      if [ -n "$deb" ]; then
        printf '%s\n' share/doc/libvelmox-dev/copyright share/doc/libvelmox-dev/changelog.gz
      fi
      ;;
  esac
}

# same_files WHAT EXPECTED ACTUAL: compares two lists of files (one a line).
same_files() {
  local what=$1 missing unexpected
  missing=$(comm -23 <(sort -u <<<"$2") <(sort -u <<<"$3"))
  unexpected=$(comm -13 <(sort -u <<<"$2") <(sort -u <<<"$3"))
  [ -z "$missing" ] || fail "$what lacks:"$'\n'"$missing"
  [ -z "$unexpected" ] || fail "$what has files no check expects:"$'\n'"$unexpected"
}

# check_programs ROOT: the programs below ROOT (a prefix) name the version,
# and the gateway gives help outside a web server but not under one.
check_programs() {
  local root=$1 p name out status
  for p in "${PROGRAMS[@]}" "$SERVICE_GATEWAY"; do
    name=${p##*/}
    out=$(env -u GATEWAY_INTERFACE "$root/$p" --version 2>&1) && status=0 || status=$?
    [ "$status" = 0 ] && [ "$out" = "$name $VERSION" ] ||
      fail "$p --version: exit $status, printed \"$out\", not \"$name $VERSION\""
  done
  local gateway=$root/$CGIDIR/velmox.cgi scratch
  out=$(env -u GATEWAY_INTERFACE "$gateway" --help 2>&1) && status=0 || status=$?
  [ "$status" = 0 ] && [[ $out == "usage: velmox.cgi"* ]] ||
    fail "velmox.cgi --help: exit $status, printed \"${out:0:200}\""
  # Under a web server the arguments are the request's: no version, but the
  # error page of a request without a command (nothing reaches for a pipe).
  scratch=$(mktemp -d)
  out=$(cd "$scratch" && GATEWAY_INTERFACE=CGI/1.1 "$gateway" --version 2>&1) && status=0 || status=$?
  rm -rf "$scratch"
  [ "$status" = 1 ] && [[ $out != *"$VERSION"* ]] && [[ $out == *"Content-type: text/html"* ]] ||
    fail "velmox.cgi --version under a web server: exit $status, printed \"${out:0:200}\""
}

# check_man_pages ROOT: man -l shows each program's page below ROOT, without
# a warning, with its name, its options from --help and the version.
check_man_pages() {
  local root=$1 p name page text warnings option
  for p in "${PROGRAMS[@]}"; do
    name=${p##*/}
    page=$root/share/man/man1/$name.1.gz
    [ -f "$page" ] || { fail "no man page $page"; continue; }
    text=$(MANWIDTH=80 man -l "$page" 2>/dev/null | col -b)
    warnings=$(MANWIDTH=80 man --warnings -l "$page" 2>&1 >/dev/null)
    [ -z "$warnings" ] || fail "man -l $page warns: $warnings"
    [[ $text == *"NAME"*"$name - "* ]] || fail "man -l $page shows no NAME line for $name: ${text:0:200}"
    [[ $text == *"Velmox $VERSION"* ]] || fail "man -l $page does not show the version $VERSION"
    # Every long option the program's help names is in its page.
    for option in $(env -u GATEWAY_INTERFACE "$root/$p" --help | grep -o -- '--[a-z][a-z-]*' | sort -u); do
      [[ $text == *"$option"* ]] || fail "the man page of $name does not describe $option (see $name --help)"
    done
  done
}

# package_build BUILD SUFFIX: configures and builds the tree that packages are
# made from: the pipe in the service's directory, no tests, the version with
# SUFFIX (empty, or +next for the next version of the service test). The
# tree is kept, so that a second build is quick.
package_build() {
  local build=$1 suffix=$2
  cmake -S "$SRC" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVELMOX_PIPE_NAME=/run/velmox/pipe \
        -DVELMOX_TESTS=OFF -DVELMOX_BENCH=OFF -DVELMOX_VERSION_SUFFIX="$suffix" &&
    nice -n 10 cmake --build "$build" -j "$(nproc)"
}

# debian_root SCRATCH NAME LOG [mmdebstrap options...]: a Debian 12 root made
# with mmdebstrap from the machine's own Debian sources, kept as a tarball in
# SCRATCH under NAME and a digest of its recipe (the options): made once, and
# anew when the recipe changes. Sets DEBIAN_ROOT (the tarball) and
# DEBIAN_ROOT_STATE (cold when it was made now, warm when it was kept).
# Returns 1 with the reason printed when mmdebstrap fails.
debian_root() {
  local scratch=$1 name=$2 log=$3 sources=() f
  shift 3
  DEBIAN_ROOT=$scratch/$name-$(printf '%s\n' bookworm "$@" | md5sum | cut -c1-12).tar
  DEBIAN_ROOT_STATE=warm
  [ -f "$DEBIAN_ROOT" ] && return 0
  DEBIAN_ROOT_STATE=cold
  rm -f "$scratch/$name"-*.tar
  for f in /etc/apt/sources.list /etc/apt/sources.list.d/debian.sources; do
    [ -s "$f" ] && grep -qv '^\s*\(#\|$\)' "$f" && sources+=("$f")
  done
  echo "making the Debian 12 root $name with mmdebstrap (once; kept in $DEBIAN_ROOT)"
  if ! mmdebstrap --format=tar "$@" bookworm "$DEBIAN_ROOT.part" "${sources[@]}" >"$log" 2>&1; then
    tail -30 "$log"
    rm -f "$DEBIAN_ROOT.part"
    echo "mmdebstrap could not make a Debian 12 root from the machine's Debian sources" \
         "(${sources[*]:-the default mirror of mmdebstrap})"
    return 1
  fi
  mv "$DEBIAN_ROOT.part" "$DEBIAN_ROOT"
}
