# The layers of a tree hold: no file of a layer includes a header of a
# layer above its own, nor of a layer beside it. Run by the tests
# layers.include_order (common/) and layers.server_order (server/):
#
#   cmake -DSOURCE_DIR=<tree> [-DROOT=server] -DLAYERS="ipc;text;..." -P cmake/check_layers.cmake
#
# LAYERS names the folders of ROOT (common/ when not given) from the bottom
# up (for common/ the top-level CMakeLists.txt's VELMOX_LAYERS); "mail,fields"
# is two layers beside each other, of one rank, neither of which may include
# the other. platform/ lies below them all. Includes of headers outside these
# folders (the standard library, the system, velmox_version.h, a lower tree)
# are not looked at. Every offending include is named, and the script fails
# once at the end.
if(NOT SOURCE_DIR OR NOT LAYERS)
  message(FATAL_ERROR "usage: cmake -DSOURCE_DIR=<tree> [-DROOT=<folder>] -DLAYERS=<bottom;...;top> -P check_layers.cmake")
endif()
if(NOT ROOT)
  set(ROOT common)
endif()

# The layer of each header, by its file name (headers are included by name).
set(dirs platform)
set(rank_of_dir_platform 0)
set(rank 1)
foreach(layer IN LISTS LAYERS)
  string(REPLACE "," ";" beside "${layer}")
  foreach(one IN LISTS beside)
    list(APPEND dirs ${ROOT}/${one})
    set(rank_of_dir_${ROOT}/${one} ${rank})
  endforeach()
  math(EXPR rank "${rank} + 1")
endforeach()
foreach(dir IN LISTS dirs)
  if(NOT IS_DIRECTORY ${SOURCE_DIR}/${dir})
    message(FATAL_ERROR "layer folder ${dir} is missing")
  endif()
  file(GLOB headers RELATIVE ${SOURCE_DIR}/${dir} ${SOURCE_DIR}/${dir}/*.h)
  foreach(header IN LISTS headers)
    if(DEFINED rank_of_${header})
      message(FATAL_ERROR "${header} is in two layers: ${dir_of_${header}} and ${dir}")
    endif()
    set(rank_of_${header} ${rank_of_dir_${dir}})
    set(dir_of_${header} ${dir})
  endforeach()
endforeach()

set(faults 0)
foreach(dir IN LISTS dirs)
  set(rank ${rank_of_dir_${dir}})
  file(GLOB files ${SOURCE_DIR}/${dir}/*.h ${SOURCE_DIR}/${dir}/*.cpp)
  foreach(file IN LISTS files)
    file(STRINGS ${file} includes REGEX "^[ \t]*#[ \t]*include[ \t]*[\"<][^\">]+[\">]")
    foreach(line IN LISTS includes)
      string(REGEX REPLACE "^[ \t]*#[ \t]*include[ \t]*[\"<]([^\">]+)[\">].*" "\\1" included "${line}")
      get_filename_component(name ${included} NAME)
      if(NOT DEFINED rank_of_${name})
        continue()
      endif()
      file(RELATIVE_PATH where ${SOURCE_DIR} ${file})
      if(rank_of_${name} GREATER rank)
        message(SEND_ERROR "${where} includes ${name} of ${dir_of_${name}}, a layer above its own (${dir})")
        math(EXPR faults "${faults} + 1")
      elseif(rank_of_${name} EQUAL rank AND NOT dir_of_${name} STREQUAL dir)
        message(SEND_ERROR "${where} includes ${name} of ${dir_of_${name}}, a layer beside its own (${dir})")
        math(EXPR faults "${faults} + 1")
      endif()
    endforeach()
  endforeach()
endforeach()
if(faults GREATER 0)
  message(FATAL_ERROR "${faults} include(s) against the layers, from the bottom up: ${dirs}")
endif()
message(STATUS "layers hold, from the bottom up: ${dirs}")
