# What the build needs from the system, looked for once, here. A missing
# dependency never stops the configure step at the first bare "package not
# found": every one is looked for, and the step then fails once with the
# Debian packages that bring them all (scripts/lib.sh installs the same).
#
# Found here, used by the subdirectories:
#   VELMOX_FCGI_INCLUDE, VELMOX_FCGI_LIBRARY  libfcgi (the gateway's FastCGI mode)
#   PkgConfig::LIBSYSTEMD                     libsystemd (velmox-fcgi, velmox-server)
#   SQLite::SQLite3                           SQLite 3 (the sample server task's store)
#   PostgreSQL::PostgreSQL                    libpq (its store on a shared server; optional
#                                             without the tests)
#   OpenSSL::Crypto                           OpenSSL's libcrypto (the HMAC of its forms' tokens)
#   GTest::gtest, GTest::gmock                GoogleTest and its matchers (the tests)
set(velmox_missing "")

# velmox_missing(PACKAGE WHY): PACKAGE (a Debian package) is needed for WHY.
macro(velmox_missing package why)
  list(APPEND velmox_missing "${package}")
  message(STATUS "missing: ${why} needs ${package}")
endmacro()

find_path(VELMOX_FCGI_INCLUDE fcgiapp.h)
find_library(VELMOX_FCGI_LIBRARY fcgi)
if(NOT VELMOX_FCGI_INCLUDE OR NOT VELMOX_FCGI_LIBRARY)
  velmox_missing(libfcgi-dev "the gateway's FastCGI mode (libfcgi)")
endif()

find_package(PkgConfig QUIET)
if(NOT PKG_CONFIG_FOUND)
  velmox_missing(pkgconf "finding libsystemd (pkg-config)")
  # Without pkg-config, the library file alone tells whether its package is
  # there too, so that one round of installing is enough.
  find_library(VELMOX_SYSTEMD_LIBRARY systemd)
  if(NOT VELMOX_SYSTEMD_LIBRARY)
    velmox_missing(libsystemd-dev "the service's notifications to systemd (libsystemd)")
  endif()
else()
  pkg_check_modules(LIBSYSTEMD QUIET IMPORTED_TARGET libsystemd)
  if(NOT LIBSYSTEMD_FOUND)
    velmox_missing(libsystemd-dev "the service's notifications to systemd (libsystemd)")
  endif()
endif()

# The mail store. A build without the tests (the fuzz build) goes on
# without the server task when SQLite is missing.
find_package(SQLite3 QUIET)
if(NOT SQLite3_FOUND)
  if(VELMOX_TESTS)
    velmox_missing(libsqlite3-dev "the sample server task's mail store (SQLite 3)")
  else()
    message(WARNING "SQLite 3 not found: velmox-server is not built (apt-get install libsqlite3-dev)")
  endif()
endif()
find_package(OpenSSL QUIET COMPONENTS Crypto)
if(NOT OpenSSL_FOUND)
  if(VELMOX_TESTS)
    velmox_missing(libssl-dev "the sample server task's form tokens (OpenSSL's HMAC)")
  else()
    message(WARNING "OpenSSL not found: velmox-server is not built (apt-get install libssl-dev)")
  endif()
endif()
find_package(PostgreSQL QUIET)
if(NOT PostgreSQL_FOUND)
  if(VELMOX_TESTS)
    velmox_missing(libpq-dev "the mail store on PostgreSQL and its tests (libpq)")
  else()
    message(STATUS "libpq not found: velmox-server keeps its mail in SQLite only (apt-get install libpq-dev for PostgreSQL)")
  endif()
endif()

if(VELMOX_TESTS)
  find_package(GTest QUIET)
  if(NOT GTest_FOUND)
    velmox_missing(libgtest-dev "the tests (GoogleTest)")
  endif()
  if(NOT TARGET GTest::gmock)
    velmox_missing(libgmock-dev "the tests' matchers (GoogleMock)")
  endif()
endif()

if(velmox_missing)
  string(REPLACE ";" " " velmox_missing "${velmox_missing}")
  message(FATAL_ERROR "This build needs Debian packages that are not installed: ${velmox_missing}\n"
                      "Install them (apt-get install ${velmox_missing}) and configure again; "
                      "scripts/start-service and scripts/test-all install what they need themselves.")
endif()
