# Fails when a program or shared library has an empty or relative entry in
# its run path (RPATH or RUNPATH): the loader would then search the current
# working directory (empty entry) or a folder relative to it.  Entries must be
# absolute or start with $ORIGIN.
#
#   cmake -DFILES="a|b|..." [-DREADELF=readelf] -P check_runpath.cmake
cmake_minimum_required(VERSION 3.20)

if(NOT FILES)
  message(FATAL_ERROR "check_runpath.cmake needs -DFILES=...")
endif()
string(REPLACE "|" ";" FILES "${FILES}")
if(NOT READELF)
  find_program(READELF NAMES readelf REQUIRED)
endif()

set(bad "")
foreach(f IN LISTS FILES)
  if(NOT EXISTS "${f}")
    message(FATAL_ERROR "${f} does not exist")
  endif()
  execute_process(COMMAND "${READELF}" -d "${f}" RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "readelf -d ${f} failed:\n${err}")
  endif()
  string(REGEX MATCHALL "Library r(un)?path: \\[[^]\n]*\\]" paths "${out}")
  foreach(p IN LISTS paths)
    string(REGEX REPLACE "^Library r(un)?path: \\[(.*)\\]$" "\\2" value "${p}")
    # Split on ':' keeping empty entries (a list would drop them).
    string(REPLACE ":" ";<entry>" entries "<entry>${value}")
    foreach(e IN LISTS entries)
      string(REGEX REPLACE "^<entry>" "" e "${e}")
      if(e STREQUAL "" OR NOT (e MATCHES "^/" OR e MATCHES "^\\$ORIGIN(/|$)"))
        string(APPEND bad "  ${f}: run path [${value}] has the entry \"${e}\"\n")
      endif()
    endforeach()
  endforeach()
endforeach()
if(bad)
  message(FATAL_ERROR "empty or relative run path entries:\n${bad}")
endif()
list(LENGTH FILES n)
message(STATUS "run paths of ${n} files are absolute or $ORIGIN-relative")
