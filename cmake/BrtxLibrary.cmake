# The library rule shared by the program and the fuzz project.
# BRTX_SOURCE_ROOT: the top of the source tree (set before this file is included, else the
# project's source folder).
if(NOT BRTX_SOURCE_ROOT)
  set(BRTX_SOURCE_ROOT ${PROJECT_SOURCE_DIR})
endif()

# Each subsystem library globs its own folder so that adding a source file needs no edit here.
#
# Layers see only what they link: a library's include root is a folder of its own in the build
# tree holding one link to the library's source folder (build/include/<target>/device/core ->
# device/core), so `#include "device/core/X.h"` works in that library and in everything that
# links it, and fails elsewhere. Dependencies are given with PUBLIC (a public header needs
# them) or PRIVATE; without a keyword they are PUBLIC.
function(brtx_include_root name dir)
  file(RELATIVE_PATH _rel ${BRTX_SOURCE_ROOT} ${CMAKE_CURRENT_SOURCE_DIR}/${dir})
  set(_root ${CMAKE_BINARY_DIR}/include/${name})
  get_filename_component(_parent ${_root}/${_rel} DIRECTORY)
  file(MAKE_DIRECTORY ${_parent})
  if(NOT EXISTS ${_root}/${_rel})
    file(CREATE_LINK ${CMAKE_CURRENT_SOURCE_DIR}/${dir} ${_root}/${_rel} SYMBOLIC)
  endif()
  set(BRTX_INCLUDE_ROOT ${_root} PARENT_SCOPE)
endfunction()

function(brtx_library name dir)
  file(GLOB _src CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/${dir}/*.cpp
       ${CMAKE_CURRENT_SOURCE_DIR}/${dir}/*.h ${CMAKE_CURRENT_SOURCE_DIR}/${dir}/*.qrc)
  set(_cpp ${_src})
  list(FILTER _cpp INCLUDE REGEX "\\.cpp$")
  brtx_include_root(${name} ${dir})
  set(_deps ${ARGN})
  if(_deps AND NOT _deps MATCHES "^(PUBLIC|PRIVATE|INTERFACE)")
    list(PREPEND _deps PUBLIC)
  endif()
  if(_cpp)
    add_library(${name} STATIC ${_src})
    target_include_directories(${name} PUBLIC ${BRTX_INCLUDE_ROOT})
    target_link_libraries(${name} ${_deps})
  else()
    # Nothing built here yet: keep the target so dependants configure.
    add_library(${name} INTERFACE)
    target_include_directories(${name} INTERFACE ${BRTX_INCLUDE_ROOT})
    list(TRANSFORM _deps REPLACE "^(PUBLIC|PRIVATE)$" INTERFACE)
    target_link_libraries(${name} ${_deps})
  endif()
endfunction()

