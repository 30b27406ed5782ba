# Install rules. cmake --install <build> [--prefix P] puts, under P:
#
#   lib/cgi-bin/velmox.cgi             the gateway, where web servers look for
#                                      CGI programs (VELMOX_INSTALL_CGIDIR)
#   bin/velmox-server, velmox-registry the sample server task and the tool,
#   bin/velmox-passwd                  and the users in the web server's password file
#   lib/velmox/velmox-fcgi             the gateway linked for systemd's socket
#                                      activation (velmox-fcgi.service)
#   share/man/man1/*.1.gz              a page per program (built with scdoc)
#   share/velmox/                      the deployment files of deploy/
#   share/doc/velmox/                  README.md, CHANGELOG.md, docs/*.md
#   lib/libvelmox.a                    the library a server task links
#   include/velmox/*.h                 the public headers (common/public-
#                                      headers.txt) and velmox_version.h
#   share/doc/libvelmox-dev/reference/ the HTML reference of those headers
#                                      (built with doxygen: docs/Doxyfile.in)
#   lib/cmake/Velmox/                  find_package(Velmox) -> Velmox::velmox
#   lib/pkgconfig/velmox.pc            pkg-config velmox
#
# lib/ is CMAKE_INSTALL_LIBDIR: lib/<multiarch tuple> where the platform has
# one, as Debian has (its pkg-config and CMake look there under every prefix,
# and a cross build's pkg-config looks for the package's velmox.pc only
# there); plain lib elsewhere.
#
# Two components, one Debian package each (packaging/package.cmake):
# "programs" (velmox) and "dev" (libvelmox-dev). Files that only a Debian
# package carries are installed EXCLUDE_FROM_ALL, so that only CPack, which
# asks for each component by name, installs them.
#
# Without scdoc the build makes no man pages and installs none, and CPack
# refuses to make packages (they must carry them); configuring says so.
if(CMAKE_LIBRARY_ARCHITECTURE AND NOT DEFINED CMAKE_INSTALL_LIBDIR)
  set(CMAKE_INSTALL_LIBDIR "lib/${CMAKE_LIBRARY_ARCHITECTURE}" CACHE PATH "Object code libraries (LIBDIR)")
endif()
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

set(VELMOX_INSTALL_CGIDIR "lib/cgi-bin" CACHE STRING
    "Directory of the gateway, relative to the prefix (where the web server looks for CGI programs)")
# Directories made by the install get these permissions whatever the umask.
set(CMAKE_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
    OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)

# ------------------------------------------------------------ programs
install(TARGETS gateway RUNTIME DESTINATION ${VELMOX_INSTALL_CGIDIR} COMPONENT programs)
install(TARGETS velmox-server velmox-registry RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT programs)
install(PROGRAMS ${PROJECT_BINARY_DIR}/tools/velmox-passwd DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT programs)
# The FastCGI gateway linked with libsystemd, for velmox-fcgi.service.
install(TARGETS velmox-fcgi RUNTIME DESTINATION lib/velmox COMPONENT programs)

file(GLOB VELMOX_DEPLOY_FILES LIST_DIRECTORIES false CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/deploy/*)
install(FILES ${VELMOX_DEPLOY_FILES} DESTINATION ${CMAKE_INSTALL_DATADIR}/velmox COMPONENT programs)
file(GLOB VELMOX_DOCS LIST_DIRECTORIES false CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/docs/*.md)
install(FILES ${PROJECT_SOURCE_DIR}/README.md ${PROJECT_SOURCE_DIR}/CHANGELOG.md ${VELMOX_DOCS}
        DESTINATION ${CMAKE_INSTALL_DOCDIR} COMPONENT programs)

# Man pages: man/<program>.<section>.scd, with @PROJECT_VERSION@ filled in,
# through scdoc and gzip into build/man/<program>.<section>.gz.
find_program(VELMOX_SCDOC scdoc)
file(GLOB VELMOX_MAN_SOURCES CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/man/*.scd)
set(VELMOX_MAN_PAGES "")
if(VELMOX_SCDOC)
  foreach(source IN LISTS VELMOX_MAN_SOURCES)
    get_filename_component(name ${source} NAME)
    string(REGEX REPLACE "\\.scd$" "" page ${name})
    string(REGEX MATCH "[1-9]$" section ${page})
    configure_file(${source} ${PROJECT_BINARY_DIR}/man/${name} @ONLY)
    set(output ${PROJECT_BINARY_DIR}/man/${page}.gz)
    add_custom_command(OUTPUT ${output}
      COMMAND ${CMAKE_COMMAND} -DSCDOC=${VELMOX_SCDOC} -DSOURCE=${PROJECT_BINARY_DIR}/man/${name}
              -DOUTPUT=${output} -P ${PROJECT_SOURCE_DIR}/packaging/man_page.cmake
      DEPENDS ${PROJECT_BINARY_DIR}/man/${name} ${PROJECT_SOURCE_DIR}/packaging/man_page.cmake
      COMMENT "Man page ${page}" VERBATIM)
    install(FILES ${output} DESTINATION ${CMAKE_INSTALL_MANDIR}/man${section} COMPONENT programs)
    list(APPEND VELMOX_MAN_PAGES ${output})
  endforeach()
  add_custom_target(man_pages ALL DEPENDS ${VELMOX_MAN_PAGES})
else()
  message(STATUS "scdoc not found: no man pages are built or installed, and no package can be made "
                 "(apt-get install scdoc, then configure again)")
endif()

# ------------------------------------------------------------ the library
install(TARGETS velmox EXPORT VelmoxTargets
        ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT dev
        INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/velmox)
# The public headers, the one list of common/public-headers.txt (what a
# server task or a program that calls one includes), flat in include/velmox
# so that -I<prefix>/include/velmox keeps #include "cmd.h" working; the
# library's own headers stay in the tree. A public header that includes
# another header of the tree includes a public one: configuring refuses
# the list otherwise (install.prefix then compiles each installed header
# alone).
# pipe_limits.h goes with the build's base name (VELMOX_PIPE_NAME) as its
# default, so that a task built against the installed headers, by any
# means, calls the pipe the installed gateway calls.
velmox_public_headers(VELMOX_PUBLIC_HEADERS)
set(velmox_installed_headers ${VELMOX_PUBLIC_HEADERS})
list(REMOVE_ITEM velmox_installed_headers ${PROJECT_SOURCE_DIR}/common/ipc/pipe_limits.h)
file(READ ${PROJECT_SOURCE_DIR}/common/ipc/pipe_limits.h velmox_pipe_limits)
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/common/ipc/pipe_limits.h)
string(REPLACE "#define VELMOX_PIPE_NAME \"/tmp/.velmox\"" "#define VELMOX_PIPE_NAME \"${VELMOX_PIPE_NAME}\""
       velmox_installed_limits "${velmox_pipe_limits}")
if(velmox_installed_limits STREQUAL velmox_pipe_limits AND NOT VELMOX_PIPE_NAME STREQUAL "/tmp/.velmox")
  message(FATAL_ERROR "common/ipc/pipe_limits.h no longer defines VELMOX_PIPE_NAME \"/tmp/.velmox\" by default")
endif()
file(WRITE ${PROJECT_BINARY_DIR}/generated/installed/pipe_limits.h.new "${velmox_installed_limits}")
configure_file(${PROJECT_BINARY_DIR}/generated/installed/pipe_limits.h.new
               ${PROJECT_BINARY_DIR}/generated/installed/pipe_limits.h COPYONLY)
install(FILES ${velmox_installed_headers} ${PROJECT_BINARY_DIR}/generated/velmox_version.h
              ${PROJECT_BINARY_DIR}/generated/installed/pipe_limits.h
        DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/velmox COMPONENT dev)

# The CMake package: find_package(Velmox) gives the imported target Velmox::velmox.
set(VELMOX_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/Velmox)
install(EXPORT VelmoxTargets NAMESPACE Velmox:: FILE VelmoxTargets.cmake
        DESTINATION ${VELMOX_CMAKE_DIR} COMPONENT dev)
configure_package_config_file(${PROJECT_SOURCE_DIR}/packaging/VelmoxConfig.cmake.in
  ${PROJECT_BINARY_DIR}/packaging/VelmoxConfig.cmake INSTALL_DESTINATION ${VELMOX_CMAKE_DIR})
# A task written against 2.x builds against any later 2.x.
write_basic_package_version_file(${PROJECT_BINARY_DIR}/packaging/VelmoxConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/packaging/VelmoxConfig.cmake
              ${PROJECT_BINARY_DIR}/packaging/VelmoxConfigVersion.cmake
        DESTINATION ${VELMOX_CMAKE_DIR} COMPONENT dev)

# velmox.pc. The prefix is only known at install time (cmake --install
# --prefix, CPack's /usr), so the file is written then, from a template
# filled in now: absolute paths, which pkg-config leaves out where they are
# the compiler's own (-I/usr/include, -L/usr/lib).
# With GCC a task's code needs -fno-lifetime-dse as much as the library's
# (see the top-level CMakeLists.txt); the CMake package adds it for GCC only,
# pkg-config cannot ask, so the file carries it when GCC built the library.
set(VELMOX_PC_CFLAGS "")
if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
  set(VELMOX_PC_CFLAGS " -fno-lifetime-dse")
endif()
set(VELMOX_PC_LIBS "")
if(CMAKE_THREAD_LIBS_INIT)
  set(VELMOX_PC_LIBS " ${CMAKE_THREAD_LIBS_INIT}")
endif()
configure_file(${PROJECT_SOURCE_DIR}/packaging/velmox.pc.in ${PROJECT_BINARY_DIR}/packaging/velmox.pc.in @ONLY)
# file(INSTALL) does what install(FILES) does (DESTDIR, directory
# permissions, the manifest); the filled-in copy is named after its
# destination so that installs into two prefixes at once do not meet.
install(CODE "
  string(MD5 destination \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}\")
  set(pc \"${PROJECT_BINARY_DIR}/packaging/pc-\${destination}/velmox.pc\")
  file(READ \"${PROJECT_BINARY_DIR}/packaging/velmox.pc.in\" text)
  string(REPLACE \"%PREFIX%\" \"\${CMAKE_INSTALL_PREFIX}\" text \"\${text}\")
  file(WRITE \"\${pc}\" \"\${text}\")
  file(INSTALL \"\${pc}\" DESTINATION \"\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_LIBDIR}/pkgconfig\"
       PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
" COMPONENT dev)
