# Debian packages, made by CPack from the install rules (packaging/install.cmake):
#
#   cmake --build <build> --target package     (or: cd <build> && cpack)
#
#   velmox_<version>_<arch>.deb         component "programs": the gateway in
#       /usr/lib/cgi-bin, velmox-server and velmox-registry in /usr/bin, their
#       man pages, the deployment files in /usr/share/velmox, the docs
#   libvelmox-dev_<version>_<arch>.deb  component "dev": libvelmox.a, the
#       headers in /usr/include/velmox, the CMake package and velmox.pc
#
# Neither has maintainer scripts: installing one only unpacks files. The
# programs' dependencies come from dpkg-shlibdeps (the gateway is static; the
# server task and the tool need the C and C++ runtimes and whatever else they
# come to link). The library's package needs nothing at run time.
# Packages are made from a build with man pages and without sanitizers
# (packaging/cpack_checks.cmake.in refuses the others).
set(VELMOX_PACKAGE_CONTACT "Velmox developers <velmox-dev@example.org>" CACHE STRING
    "Maintainer field of the Debian packages")

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME velmox)
set(CPACK_PACKAGE_VENDOR "Velmox developers")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT ${VELMOX_PACKAGE_CONTACT})
# Install with DESTDIR and the real prefix, so that what the install writes
# (velmox.pc) names /usr, not CPack's staging directory.
set(CPACK_SET_DESTDIR ON)
set(CPACK_INSTALL_PREFIX /usr)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL programs dev)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)

set(CPACK_DEBIAN_PROGRAMS_PACKAGE_NAME velmox)
set(CPACK_DEBIAN_PROGRAMS_PACKAGE_SECTION httpd)
set(CPACK_DEBIAN_PROGRAMS_PACKAGE_SHLIBDEPS ON)
# A CGI program wants a web server that runs CGI programs.
set(CPACK_DEBIAN_PROGRAMS_PACKAGE_RECOMMENDS "lighttpd | httpd-cgi")
set(CPACK_DEBIAN_PROGRAMS_DESCRIPTION "CGI and FastCGI gateway of the Velmox web-mail service
The gateway velmox.cgi is a CGI/1.1 program that a web server runs once per
HTTP request, or a long-lived FastCGI responder (nginx, Apache httpd's
mod_proxy_fcgi, lighttpd's mod_fastcgi). It turns the request into one of
five commands (Save, Compose, Search, ImageMap, RunAgent), hands it to a
server task on the same host through a System V shared-memory pipe and
returns the server's answer.
This package also holds velmox-server, a sample server task that answers
every command with a page showing what it carried, and velmox-registry,
which shows and cleans up the registry of running server pipes, with
configuration for lighttpd, nginx and Apache httpd.")

set(CPACK_DEBIAN_DEV_PACKAGE_NAME libvelmox-dev)
set(CPACK_DEBIAN_DEV_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_DEV_DESCRIPTION "library for server tasks of the Velmox gateway
The static library libvelmox.a and its headers hold both halves of the
System V shared-memory pipe between the Velmox gateway and its server
tasks, the commands, the byte stream they travel in and the command
handler through which a server task runs them. The package provides a CMake
package (find_package(Velmox), target Velmox::velmox) and a pkg-config
file (velmox).")

# What only a Debian package carries (EXCLUDE_FROM_ALL: cmake --install
# leaves it out): copyright and changelog.gz in each package's doc directory,
# and the lintian overrides, each explained in its file.
string(TIMESTAMP VELMOX_PACKAGE_DATE "%a, %d %b %Y 00:00:00 +0000" UTC)
configure_file(${PROJECT_SOURCE_DIR}/packaging/debian/changelog.in ${PROJECT_BINARY_DIR}/packaging/changelog @ONLY)
execute_process(COMMAND gzip -9nc ${PROJECT_BINARY_DIR}/packaging/changelog
                OUTPUT_FILE ${PROJECT_BINARY_DIR}/packaging/changelog.gz)
foreach(component programs dev)
  string(TOUPPER ${component} name)
  set(docdir ${CMAKE_INSTALL_DATADIR}/doc/${CPACK_DEBIAN_${name}_PACKAGE_NAME})
  install(FILES ${PROJECT_SOURCE_DIR}/packaging/debian/copyright ${PROJECT_BINARY_DIR}/packaging/changelog.gz
          DESTINATION ${docdir} COMPONENT ${component} EXCLUDE_FROM_ALL)
endforeach()
install(FILES ${PROJECT_SOURCE_DIR}/packaging/debian/velmox.lintian-overrides
        DESTINATION ${CMAKE_INSTALL_DATADIR}/lintian/overrides RENAME velmox COMPONENT programs EXCLUDE_FROM_ALL)

set(CPACK_PROJECT_CONFIG_FILE ${PROJECT_BINARY_DIR}/packaging/cpack_checks.cmake)
set(VELMOX_PACKAGE_HAS_MAN_PAGES OFF)
if(VELMOX_SCDOC)
  set(VELMOX_PACKAGE_HAS_MAN_PAGES ON)
endif()
set(VELMOX_PACKAGE_SANITIZED OFF)
if(VELMOX_SANITIZE OR VELMOX_SANITIZE_THREAD)
  set(VELMOX_PACKAGE_SANITIZED ON)
endif()
configure_file(${PROJECT_SOURCE_DIR}/packaging/cpack_checks.cmake.in ${CPACK_PROJECT_CONFIG_FILE} @ONLY)

include(CPack)
