# The layers of common/ hold: no file of a layer includes a header of a
# layer above its own. Run by the test layers.include_order:
#
#   cmake -DSOURCE_DIR=<tree> -DLAYERS="ipc;text;..." -P cmake/check_layers.cmake
#
# LAYERS names the folders of common/ from the bottom up (the top-level
# CMakeLists.txt, VELMOX_LAYERS); platform/ lies below them all. Includes of
# headers outside these folders (the standard library, the system,
# velmox_version.h) are not looked at. Every offending include is named, and
# the script fails once at the end.
if(NOT SOURCE_DIR OR NOT LAYERS)
  message(FATAL_ERROR "usage: cmake -DSOURCE_DIR=<tree> -DLAYERS=<bottom;...;top> -P check_layers.cmake")
endif()

# The layer of each header, by its file name (headers are included by name).
set(dirs platform)
foreach(layer IN LISTS LAYERS)
  list(APPEND dirs common/${layer})
endforeach()
set(rank 0)
foreach(dir IN LISTS dirs)
  if(NOT IS_DIRECTORY ${SOURCE_DIR}/${dir})
    message(FATAL_ERROR "layer folder ${dir} is missing")
  endif()
  file(GLOB headers RELATIVE ${SOURCE_DIR}/${dir} ${SOURCE_DIR}/${dir}/*.h)
  foreach(header IN LISTS headers)
    if(DEFINED rank_of_${header})
      message(FATAL_ERROR "${header} is in two layers: ${dir_of_${header}} and ${dir}")
    endif()
    set(rank_of_${header} ${rank})
    set(dir_of_${header} ${dir})
  endforeach()
  math(EXPR rank "${rank} + 1")
endforeach()

set(faults 0)
set(rank 0)
foreach(dir IN LISTS dirs)
  file(GLOB files ${SOURCE_DIR}/${dir}/*.h ${SOURCE_DIR}/${dir}/*.cpp)
  foreach(file IN LISTS files)
    file(STRINGS ${file} includes REGEX "^[ \t]*#[ \t]*include[ \t]*[\"<][^\">]+[\">]")
    foreach(line IN LISTS includes)
      string(REGEX REPLACE "^[ \t]*#[ \t]*include[ \t]*[\"<]([^\">]+)[\">].*" "\\1" included "${line}")
      get_filename_component(name ${included} NAME)
      if(DEFINED rank_of_${name} AND rank_of_${name} GREATER rank)
        file(RELATIVE_PATH where ${SOURCE_DIR} ${file})
        message(SEND_ERROR "${where} includes ${name} of ${dir_of_${name}}, a layer above its own (${dir})")
        math(EXPR faults "${faults} + 1")
      endif()
    endforeach()
  endforeach()
  math(EXPR rank "${rank} + 1")
endforeach()
if(faults GREATER 0)
  message(FATAL_ERROR "${faults} include(s) against the layers, from the bottom up: ${dirs}")
endif()
message(STATUS "layers hold, from the bottom up: ${dirs}")
