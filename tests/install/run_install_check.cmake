# Installs into a fresh prefix; builds and runs a client through find_package and pkg-config.
#   cmake -DSOURCE_DIR=<source tree> -DBINARY_DIR=<configured build tree>
#         -DWORK_DIR=<scratch folder> -P run_install_check.cmake
cmake_minimum_required(VERSION 3.20)

foreach(var SOURCE_DIR BINARY_DIR WORK_DIR)
  if(NOT ${var})
    message(FATAL_ERROR "run_install_check.cmake needs -D${var}=...")
  endif()
endforeach()

# Runs a command; stops with its output when it fails.
function(run_checked what)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "${what} failed (${rc}):\n${out}\n${err}")
  endif()
  set(last_output "${out}" PARENT_SCOPE)
endfunction()

# Settings of the main build the client must agree with.
function(main_cache_value name out)
  file(STRINGS "${BINARY_DIR}/CMakeCache.txt" line REGEX "^${name}:[A-Z]+=")
  string(REGEX REPLACE "^${name}:[A-Z]+=" "" value "${line}")
  set(${out} "${value}" PARENT_SCOPE)
endfunction()
main_cache_value(CMAKE_CXX_COMPILER cxx)
main_cache_value(CMAKE_INSTALL_LIBDIR libdir)
main_cache_value(CMAKE_BUILD_TYPE build_type)
if(NOT libdir)
  set(libdir lib)
endif()

set(prefix "${WORK_DIR}/prefix")
file(REMOVE_RECURSE "${WORK_DIR}")
file(MAKE_DIRECTORY "${WORK_DIR}")

# The tests link the library's objects, so the shared library may be stale.
run_checked("building the library" "${CMAKE_COMMAND}" --build "${BINARY_DIR}" --target imgnorm)
run_checked("cmake --install" "${CMAKE_COMMAND}" --install "${BINARY_DIR}" --prefix "${prefix}")
foreach(f include/imgnorm/imgnorm.h ${libdir}/libimgnorm.so ${libdir}/cmake/imgnorm/imgnormConfig.cmake
          ${libdir}/pkgconfig/imgnorm.pc)
  if(NOT EXISTS "${prefix}/${f}")
    message(FATAL_ERROR "the install lacks ${f}")
  endif()
endforeach()

# The installed program runs from there, with no empty or relative run path entry.
if(EXISTS "${BINARY_DIR}/cli/imgnorm")
  run_checked("running the installed program" "${prefix}/bin/imgnorm" --version)
  if(NOT last_output MATCHES "^imgnorm ")
    message(FATAL_ERROR "the installed program printed \"${last_output}\"")
  endif()
  run_checked("checking run paths" "${CMAKE_COMMAND}" "-DFILES=${prefix}/bin/imgnorm|${prefix}/${libdir}/libimgnorm.so"
              -P "${CMAKE_CURRENT_LIST_DIR}/check_runpath.cmake")
endif()

# Copied out of the source tree: only the prefix can supply headers and library.
file(COPY "${SOURCE_DIR}/tests/install/client/" DESTINATION "${WORK_DIR}/client")

# ---- find_package ----
run_checked("configuring the client" "${CMAKE_COMMAND}" -S "${WORK_DIR}/client" -B "${WORK_DIR}/client-build"
            "-DCMAKE_CXX_COMPILER=${cxx}" "-DCMAKE_BUILD_TYPE=${build_type}" "-DCMAKE_PREFIX_PATH=${prefix}")
file(STRINGS "${WORK_DIR}/client-build/CMakeCache.txt" found REGEX "^imgnorm_DIR:")
string(FIND "${found}" "${prefix}/" at)
if(NOT at GREATER -1)
  message(FATAL_ERROR "find_package(imgnorm) found a package outside the install prefix: ${found}")
endif()
run_checked("building the client" "${CMAKE_COMMAND}" --build "${WORK_DIR}/client-build")
# CMake gives the client an RPATH to the installed library.
run_checked("running the client" "${WORK_DIR}/client-build/app")
if(NOT last_output STREQUAL "ok\n")
  message(FATAL_ERROR "the client printed \"${last_output}\" instead of \"ok\"")
endif()

# ---- pkg-config ----
find_program(PKG_CONFIG NAMES pkg-config pkgconf)
if(NOT PKG_CONFIG)
  message(FATAL_ERROR "pkg-config is needed to check the installed imgnorm.pc")
endif()
# The install-time prefix replaces the configured one.
set(ENV{PKG_CONFIG_PATH} "${prefix}/${libdir}/pkgconfig")
run_checked("pkg-config" "${PKG_CONFIG}" --define-variable=prefix=${prefix} --cflags --libs imgnorm)
string(STRIP "${last_output}" pc_flags)
string(FIND "${pc_flags}" "-I${prefix}/include" at)
if(at EQUAL -1)
  message(FATAL_ERROR "pkg-config flags do not name the install prefix: ${pc_flags}")
endif()
separate_arguments(pc_flags UNIX_COMMAND "${pc_flags}")
run_checked("compiling the client with pkg-config flags" "${cxx}" -Wall -Wextra -Werror "${WORK_DIR}/client/main.cpp"
            ${pc_flags} -o "${WORK_DIR}/app-pkgconfig")
run_checked("running the pkg-config client" "${CMAKE_COMMAND}" -E env "LD_LIBRARY_PATH=${prefix}/${libdir}"
            "${WORK_DIR}/app-pkgconfig")
if(NOT last_output STREQUAL "ok\n")
  message(FATAL_ERROR "the pkg-config client printed \"${last_output}\" instead of \"ok\"")
endif()
message(STATUS "install check passed: find_package and pkg-config clients print ok")
