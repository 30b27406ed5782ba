# Debian packages, made by CPack from the install rules (packaging/install.cmake):
#
#   cmake --build <build> --target package     (or: cd <build> && cpack)
#
#   velmox_<version>_<arch>.deb         component "programs": the gateway in
#       /usr/lib/cgi-bin, velmox-server and velmox-registry in /usr/bin, their
#       man pages, the deployment files in /usr/share/velmox, the docs; and
#       the service: the units velmox-server.service, velmox-fcgi.socket and
#       velmox-fcgi.service in /lib/systemd/system (the FastCGI gateway
#       linked for systemd, /usr/lib/velmox/velmox-fcgi), the user and group
#       velmox (sysusers.d), /run/velmox (tmpfiles.d), the conffiles in
#       /etc/velmox, the web servers' snippets and a logrotate snippet
#   libvelmox-dev_<version>_<arch>.deb  component "dev": libvelmox.a, the
#       public headers in /usr/include/velmox, the CMake package, velmox.pc
#       and the HTML reference in /usr/share/doc/libvelmox-dev/reference
#
# velmox has maintainer scripts (packaging/debian/postinst.in, prerm.in,
# postrm.in) that do what debhelper's snippets would: the user, the runtime
# directory, the units enabled and started, a reload on an upgrade (the
# rolling restart), a stop on removal, and the purge. The programs'
# dependencies come from dpkg-shlibdeps (the gateway is static; the server
# task, the service's gateway and the tool need the C and C++ runtimes,
# libsystemd and whatever else they come to link). The library's package
# needs nothing at run time and installs only files.
# Packages are made from a build with man pages and the reference, without
# sanitizers, and with the pipe under /run/velmox
# (-DVELMOX_PIPE_NAME=/run/velmox/pipe), the service's runtime directory:
# packaging/cpack_checks.cmake.in refuses the others.
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
# Besides the shared libraries: what the maintainer scripts run, and the
# htpasswd that velmox-passwd keeps the users with.
set(CPACK_DEBIAN_PROGRAMS_PACKAGE_DEPENDS
    "systemd | systemd-standalone-sysusers | systemd-sysusers, systemd | systemd-standalone-tmpfiles | systemd-tmpfiles, init-system-helpers (>= 1.54~), apache2-utils")
# A CGI program wants a web server that runs CGI programs.
set(CPACK_DEBIAN_PROGRAMS_PACKAGE_RECOMMENDS "lighttpd | httpd-cgi")
set(CPACK_DEBIAN_PROGRAMS_PACKAGE_SUGGESTS "logrotate")
set(CPACK_DEBIAN_PROGRAMS_DESCRIPTION "CGI and FastCGI gateway of the Velmox web-mail service
The gateway velmox.cgi is a CGI/1.1 program that a web server runs once per
HTTP request, or a long-lived FastCGI responder (nginx, Apache httpd's
mod_proxy_fcgi, lighttpd's mod_fastcgi). It turns the request into one of
five commands (Save, Compose, Search, ImageMap, RunAgent), hands it to a
server task on the same host through a System V shared-memory pipe and
returns the server's answer.
This package also holds velmox-server, a sample server task (a small web
mail kept in SQLite, each user's mail their own), velmox-passwd, which keeps
its users in the password file the web server checks, and velmox-registry,
which shows and cleans up the registry of running server pipes. Installed,
the server task runs as the service velmox-server under the user velmox,
the FastCGI gateway is socket-activated on /run/velmox/fcgi.sock, and
snippets for nginx, lighttpd and Apache httpd reach it, authenticating the
users of /etc/velmox/users.")

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

# The service (package only). Its directory is the pipe's: /run/velmox in a
# build that can make packages.
get_filename_component(VELMOX_RUN_DIR "${VELMOX_PIPE_NAME}" DIRECTORY)
set(VELMOX_FCGI_SOCKET "${VELMOX_RUN_DIR}/fcgi.sock")
set(system ${PROJECT_SOURCE_DIR}/packaging/system)
set(made ${PROJECT_BINARY_DIR}/packaging/system)
foreach(template velmox-server.service velmox-fcgi.socket velmox-fcgi.service tmpfiles.conf velmox-server.conf
                 logrotate nginx-velmox.conf lighttpd-velmox.conf apache-velmox.conf)
  configure_file(${system}/${template}.in ${made}/${template} @ONLY)
endforeach()
install(FILES ${made}/velmox-server.service ${made}/velmox-fcgi.socket ${made}/velmox-fcgi.service
        DESTINATION /lib/systemd/system COMPONENT programs EXCLUDE_FROM_ALL)
install(FILES ${system}/sysusers.conf DESTINATION lib/sysusers.d RENAME velmox.conf
        COMPONENT programs EXCLUDE_FROM_ALL)
install(FILES ${made}/tmpfiles.conf DESTINATION lib/tmpfiles.d RENAME velmox.conf
        COMPONENT programs EXCLUDE_FROM_ALL)
# Everything under /etc is a conffile (packaging/control/conffiles).
set(VELMOX_CONFFILES /etc/velmox/velmox-server.conf /etc/velmox/velmox.ini /etc/logrotate.d/velmox
    /etc/nginx/snippets/velmox.conf /etc/lighttpd/conf-available/50-velmox.conf /etc/apache2/conf-available/velmox.conf)
foreach(pair "velmox-server.conf:/etc/velmox" "velmox.ini:/etc/velmox" "logrotate:/etc/logrotate.d/velmox"
             "nginx-velmox.conf:/etc/nginx/snippets/velmox.conf"
             "lighttpd-velmox.conf:/etc/lighttpd/conf-available/50-velmox.conf"
             "apache-velmox.conf:/etc/apache2/conf-available/velmox.conf")
  string(REPLACE ":" ";" pair "${pair}")
  list(GET pair 0 file)
  list(GET pair 1 destination)
  set(source ${made}/${file})
  if(file STREQUAL "velmox.ini")
    set(source ${PROJECT_SOURCE_DIR}/deploy/velmox.ini)
  endif()
  if(destination STREQUAL "/etc/velmox")
    install(FILES ${source} DESTINATION ${destination} COMPONENT programs EXCLUDE_FROM_ALL)
  else()
    get_filename_component(directory ${destination} DIRECTORY)
    get_filename_component(name ${destination} NAME)
    install(FILES ${source} DESTINATION ${directory} RENAME ${name} COMPONENT programs EXCLUDE_FROM_ALL)
  endif()
endforeach()
set(control ${PROJECT_BINARY_DIR}/packaging/control)
foreach(script postinst prerm postrm)
  configure_file(${PROJECT_SOURCE_DIR}/packaging/debian/${script}.in ${control}/${script} @ONLY
                 FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
endforeach()
string(REPLACE ";" "\n" conffiles "${VELMOX_CONFFILES}")
file(WRITE ${control}/conffiles.new "${conffiles}\n")
configure_file(${control}/conffiles.new ${control}/conffiles COPYONLY)
set(CPACK_DEBIAN_PROGRAMS_PACKAGE_CONTROL_EXTRA
    ${control}/postinst ${control}/prerm ${control}/postrm ${control}/conffiles)

set(CPACK_PROJECT_CONFIG_FILE ${PROJECT_BINARY_DIR}/packaging/cpack_checks.cmake)
set(VELMOX_PACKAGE_HAS_MAN_PAGES OFF)
if(VELMOX_SCDOC)
  set(VELMOX_PACKAGE_HAS_MAN_PAGES ON)
endif()
set(VELMOX_PACKAGE_HAS_REFERENCE OFF)
if(VELMOX_DOXYGEN)
  set(VELMOX_PACKAGE_HAS_REFERENCE ON)
endif()
set(VELMOX_PACKAGE_SANITIZED OFF)
# The units, the snippets and tmpfiles.d name the pipe's directory.
set(VELMOX_PACKAGE_RUN_DIR "${VELMOX_RUN_DIR}")
if(VELMOX_SANITIZE OR VELMOX_SANITIZE_THREAD)
  set(VELMOX_PACKAGE_SANITIZED ON)
endif()
configure_file(${PROJECT_SOURCE_DIR}/packaging/cpack_checks.cmake.in ${CPACK_PROJECT_CONFIG_FILE} @ONLY)

include(CPack)
