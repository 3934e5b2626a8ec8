# SPDX-License-Identifier: Apache-2.0
# The headers a library shows other programs.
#
#   fu_public_headers(<target> <folder> <header>...)
#
# Other programs include them as "flash-update/<folder>/<header>": one folder
# per library under include/flash-update, so that generic names (log.h,
# trace.h, protocol.h) never meet another package's. The build tree shows the
# same names: <build>/include/flash-update/<folder> is a link to the source
# folder, and the headers are the target's file set on that root, which the
# installation copies to include/ and the exported target names as its
# include directory. A public header includes another library's header by
# that name, and one of its own folder by bare name.
#
# Code of the build tree includes the headers by bare name as well: the
# source folder is an include directory of the build tree only.
set(FLASH_UPDATE_INCLUDE_ROOT ${PROJECT_BINARY_DIR}/include)

function(fu_public_headers target folder)
  set(link ${FLASH_UPDATE_INCLUDE_ROOT}/flash-update/${folder})
  file(MAKE_DIRECTORY ${FLASH_UPDATE_INCLUDE_ROOT}/flash-update)
  file(CREATE_LINK ${CMAKE_CURRENT_SOURCE_DIR} ${link} SYMBOLIC)
  list(TRANSFORM ARGN PREPEND ${link}/ OUTPUT_VARIABLE files)
  get_target_property(type ${target} TYPE)
  if(type STREQUAL "INTERFACE_LIBRARY")
    set(scope INTERFACE)
  else()
    set(scope PUBLIC)
  endif()
  target_sources(${target} ${scope} FILE_SET HEADERS BASE_DIRS ${FLASH_UPDATE_INCLUDE_ROOT} FILES ${files})
  target_include_directories(${target} ${scope} $<BUILD_INTERFACE:${CMAKE_CURRENT_SOURCE_DIR}>)
  # The headers are C++20 (constinit thread-locals, inline variables).
  target_compile_features(${target} ${scope} cxx_std_20)
endfunction()
