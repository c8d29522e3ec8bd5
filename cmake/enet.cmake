# ENet for both programs, as the target quor_enet.
#
# Linux: the system's ENet (pkg-config libenet; Debian: libenet-dev).
# Windows: a system ENet when one is found (vcpkg's enet port, MSYS2's
# mingw-w64-x86_64-enet, or headers and library in the compiler's search
# paths); otherwise, and always with -DUPDATER_ENET=BUNDLED, ENet 1.3.5
# built from source. Debian ships no Windows ENet, so the sources are taken
# from the npm package enet@0.2.9 (MIT), fetched with `npm pack` at
# configure time into the build folder and checked against a fixed SHA-256.
# That package lacks ENet's Windows platform layer; the project supplies its
# own (src/platform/enet_winsock.c and src/platform/enet_win32.h). The
# sources are built with the receive limits of later ENet releases added
# (cmake/enet_limits.cmake).
# -DUPDATER_ENET_TARBALL=path uses an already downloaded enet-0.2.9.tgz.

set(UPDATER_ENET "AUTO" CACHE STRING "ENet on Windows: AUTO, SYSTEM or BUNDLED")
set_property(CACHE UPDATER_ENET PROPERTY STRINGS AUTO SYSTEM BUNDLED)
set(UPDATER_ENET_TARBALL "" CACHE FILEPATH "enet-0.2.9.tgz to use instead of fetching it")

set(QUOR_ENET_NPM_PACKAGE "enet@0.2.9")
set(QUOR_ENET_NPM_SHA256 "e1868697c8542ea77a09a7b8f3e26bd70f35fc84232e11a11a8232f35abdaefc")

add_library(quor_enet INTERFACE)

if(NOT WIN32)
  find_package(PkgConfig REQUIRED)
  pkg_check_modules(ENET REQUIRED IMPORTED_TARGET libenet)
  target_link_libraries(quor_enet INTERFACE PkgConfig::ENET)
  return()
endif()

# --- Windows: a system ENet ---------------------------------------------
function(quor_find_system_enet result)
  set(${result} "" PARENT_SCOPE)
  find_package(unofficial-enet CONFIG QUIET)  # vcpkg
  if(TARGET unofficial::enet::enet)
    set(${result} unofficial::enet::enet PARENT_SCOPE)
    return()
  endif()
  find_package(PkgConfig QUIET)  # MSYS2
  if(PKG_CONFIG_FOUND)
    pkg_check_modules(ENET QUIET IMPORTED_TARGET libenet)
    if(TARGET PkgConfig::ENET)
      set(${result} PkgConfig::ENET PARENT_SCOPE)
      return()
    endif()
  endif()
  find_path(QUOR_ENET_INCLUDE_DIR enet/enet.h)
  find_library(QUOR_ENET_LIBRARY enet)
  if(QUOR_ENET_INCLUDE_DIR AND QUOR_ENET_LIBRARY)
    add_library(quor_enet_system UNKNOWN IMPORTED)
    set_target_properties(quor_enet_system PROPERTIES
      IMPORTED_LOCATION "${QUOR_ENET_LIBRARY}"
      INTERFACE_INCLUDE_DIRECTORIES "${QUOR_ENET_INCLUDE_DIR}")
    set(${result} quor_enet_system PARENT_SCOPE)
  endif()
endfunction()

if(NOT UPDATER_ENET STREQUAL "BUNDLED")
  quor_find_system_enet(system_enet)
  if(system_enet)
    message(STATUS "ENet: system (${system_enet})")
    target_link_libraries(quor_enet INTERFACE ${system_enet} ws2_32 winmm)
    return()
  endif()
  if(UPDATER_ENET STREQUAL "SYSTEM")
    message(FATAL_ERROR "UPDATER_ENET=SYSTEM but no ENet was found (vcpkg: enet; "
                        "MSYS2: mingw-w64-x86_64-enet)")
  endif()
endif()

# --- Windows: ENet 1.3.5 from the npm package ------------------------------
include("${CMAKE_CURRENT_LIST_DIR}/npm_tarball.cmake")
set(enet_download_dir "${CMAKE_BINARY_DIR}/_deps")
quor_npm_tarball("${QUOR_ENET_NPM_PACKAGE}" enet-0.2.9.tgz "${QUOR_ENET_NPM_SHA256}"
                 "${UPDATER_ENET_TARBALL}" enet_tarball)

set(enet_root "${enet_download_dir}/enet-0.2.9")
if(NOT EXISTS "${enet_root}/package/src/enet/protocol.c")
  file(REMOVE_RECURSE "${enet_root}")
  file(ARCHIVE_EXTRACT INPUT "${enet_tarball}" DESTINATION "${enet_root}"
       PATTERNS package/src/enet)
endif()
include("${CMAKE_CURRENT_LIST_DIR}/enet_limits.cmake")
set(enet_source "${enet_download_dir}/enet-1.3.5-limits")
quor_patch_enet("${enet_root}/package/src/enet" "${enet_source}")
# enet.h includes "win32.h" beside itself when WIN32 is defined.
configure_file("${CMAKE_SOURCE_DIR}/src/platform/enet_win32.h"
               "${enet_source}/include/enet/win32.h" COPYONLY)

set(enet_library_sources callbacks.c compress.c host.c list.c packet.c peer.c protocol.c)
list(TRANSFORM enet_library_sources PREPEND "${enet_source}/")
# ENet's own code is not ours to make warning-free.
set_source_files_properties(${enet_library_sources} PROPERTIES COMPILE_OPTIONS "-w")
add_library(quor_enet_bundled STATIC ${enet_library_sources}
            "${CMAKE_SOURCE_DIR}/src/platform/enet_winsock.c")
target_include_directories(quor_enet_bundled SYSTEM PUBLIC "${enet_source}/include")
target_compile_definitions(quor_enet_bundled PUBLIC WIN32)
target_link_libraries(quor_enet_bundled PUBLIC ws2_32 winmm)
target_link_libraries(quor_enet INTERFACE quor_enet_bundled)
message(STATUS "ENet: 1.3.5 from ${QUOR_ENET_NPM_PACKAGE} with the project's Winsock layer")
