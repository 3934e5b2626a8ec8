# SPDX-License-Identifier: Apache-2.0
# cmake -DMODE=before|after -DLISTING=FILE -P system_paths.cmake
#
# Before the suite: lists what the system paths the tool and the tests touch
# hold. After it: fails naming every entry that was not there before. In the
# shared /tmp only the names of the tool and of its tests' fixed files count:
# other programs, and other suites' temporary folders, come and go there.
cmake_minimum_required(VERSION 3.25)

set(fu_owned_paths /run/lock/flash-update /tmp/korvex /etc/orv/korvex/larch/fwkeys /etc/orv)
set(fu_shared_paths /tmp)
set(fu_suite_names "^\\.?(korvex|flash-update.*)$")

function(fu_listing out)
  set(entries)
  foreach(dir IN LISTS fu_owned_paths fu_shared_paths)
    if(NOT IS_DIRECTORY ${dir} OR IS_SYMLINK ${dir})
      continue()
    endif()
    if(dir IN_LIST fu_owned_paths)
      list(APPEND entries "${dir}")
    endif()
    file(GLOB names RELATIVE ${dir} LIST_DIRECTORIES true ${dir}/* ${dir}/.*)
    foreach(name IN LISTS names)
      if(name MATCHES "^\\.\\.?$")
        continue()
      endif()
      if(dir IN_LIST fu_shared_paths AND NOT name MATCHES "${fu_suite_names}")
        continue()
      endif()
      list(APPEND entries "${dir}/${name}")
    endforeach()
  endforeach()
  list(REMOVE_DUPLICATES entries)
  list(SORT entries)
  set(${out} "${entries}" PARENT_SCOPE)
endfunction()

# The tool and the launcher make /tmp/korvex and /run/lock/flash-update when
# they are missing (a suite without the sandbox, or one not run as root,
# shares the host's): once every test has removed its own entries, such a
# folder made during the suite is empty and goes too.
function(fu_tidy before)
  foreach(dir /tmp/korvex /run/lock/flash-update)
    if(IS_DIRECTORY ${dir} AND NOT IS_SYMLINK ${dir} AND NOT dir IN_LIST before)
      # rmdir takes only an empty folder, also when another suite is using it.
      execute_process(COMMAND rmdir ${dir} OUTPUT_QUIET ERROR_QUIET)
    endif()
  endforeach()
endfunction()

if(MODE STREQUAL "after" AND EXISTS ${LISTING})
  file(READ ${LISTING} before)
  fu_tidy("${before}")
endif()
fu_listing(now)
if(MODE STREQUAL "before")
  file(WRITE ${LISTING} "${now}")
elseif(MODE STREQUAL "after")
  if(NOT EXISTS ${LISTING})
    message(FATAL_ERROR "no listing from before the suite: ${LISTING}")
  endif()
  file(READ ${LISTING} before)
  set(new)
  foreach(entry IN LISTS now)
    if(NOT entry IN_LIST before)
      list(APPEND new ${entry})
    endif()
  endforeach()
  if(new)
    list(JOIN new "\n  " text)
    message(FATAL_ERROR "the suite left behind:\n  ${text}")
  endif()
else()
  message(FATAL_ERROR "MODE must be before or after")
endif()
