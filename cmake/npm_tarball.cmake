# quor_npm_tarball(PACKAGE FILE SHA256 OVERRIDE RESULT): sets RESULT to the
# path of npm package PACKAGE's tarball FILE ("enet-0.2.9.tgz"), checked
# against the pinned SHA256. OVERRIDE, when set, is a tarball downloaded
# beforehand and is only checked; otherwise the tarball is kept in
# ${CMAKE_BINARY_DIR}/_deps and fetched there with `npm pack` when it is
# missing or not as pinned. A tarball that does not match stops the
# configure, so no build ever compiles sources other than the pinned ones.

function(quor_npm_tarball_matches path sha256 result)
  set(${result} FALSE PARENT_SCOPE)
  if(EXISTS "${path}")
    file(SHA256 "${path}" actual)
    if(actual STREQUAL sha256)
      set(${result} TRUE PARENT_SCOPE)
    endif()
  endif()
endfunction()

function(quor_npm_tarball package file sha256 override result)
  set(download_dir "${CMAKE_BINARY_DIR}/_deps")
  set(tarball "${override}")
  if(NOT tarball)
    set(tarball "${download_dir}/${file}")
  endif()
  quor_npm_tarball_matches("${tarball}" "${sha256}" tarball_ok)
  if(NOT tarball_ok AND NOT override)
    find_program(NPM_PROGRAM NAMES npm npm.cmd REQUIRED)
    file(MAKE_DIRECTORY "${download_dir}")
    message(STATUS "fetching ${package} with npm pack")
    execute_process(
      COMMAND "${NPM_PROGRAM}" pack "${package}" --silent
      WORKING_DIRECTORY "${download_dir}"
      RESULT_VARIABLE npm_result
      OUTPUT_QUIET)
    if(NOT npm_result EQUAL 0)
      message(FATAL_ERROR "npm pack ${package} failed (${npm_result})")
    endif()
    quor_npm_tarball_matches("${tarball}" "${sha256}" tarball_ok)
  endif()
  if(NOT tarball_ok)
    if(NOT override)
      file(REMOVE "${tarball}")
    endif()
    message(FATAL_ERROR "${tarball} is missing or its SHA-256 is not ${sha256}")
  endif()
  set(${result} "${tarball}" PARENT_SCOPE)
endfunction()
