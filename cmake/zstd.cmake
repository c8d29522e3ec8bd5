# zstd for both programs, as the target quor_zstd.
#
# Linux: the system's zstd (pkg-config libzstd; Debian: libzstd-dev).
# Windows: zstd 1.5.7's lib/ built from source as a static library,
# single-threaded, without the legacy formats and the dictionary builder.
# Debian ships no Windows zstd, so the sources are taken from the npm
# package zstd-napi@0.0.13, which carries zstd's lib/ (BSD) under
# deps/zstd/, fetched with `npm pack` at configure time into the build
# folder and checked against a fixed SHA-256.
# -DUPDATER_ZSTD_TARBALL=path uses an already downloaded zstd-napi-0.0.13.tgz.
#
# Code that uses the advanced API (ZSTD_CCtxParams_*, the estimates)
# defines ZSTD_STATIC_LINKING_ONLY before including zstd.h. The static-only
# functions it uses are exported by Debian's shared libzstd too.

set(UPDATER_ZSTD_TARBALL "" CACHE FILEPATH "zstd-napi-0.0.13.tgz to use instead of fetching it")

set(QUOR_ZSTD_NPM_PACKAGE "zstd-napi@0.0.13")
set(QUOR_ZSTD_NPM_SHA256 "5b76defc67c808989c5f3920e14f662d6318b84b8d53ac3e94b99463d8d65e76")

add_library(quor_zstd INTERFACE)

if(NOT WIN32)
  find_package(PkgConfig REQUIRED)
  pkg_check_modules(ZSTD REQUIRED IMPORTED_TARGET libzstd)
  target_link_libraries(quor_zstd INTERFACE PkgConfig::ZSTD)
  return()
endif()

# --- Windows: zstd 1.5.7 from the npm package ------------------------------
include("${CMAKE_CURRENT_LIST_DIR}/npm_tarball.cmake")
set(zstd_download_dir "${CMAKE_BINARY_DIR}/_deps")
quor_npm_tarball("${QUOR_ZSTD_NPM_PACKAGE}" zstd-napi-0.0.13.tgz "${QUOR_ZSTD_NPM_SHA256}"
                 "${UPDATER_ZSTD_TARBALL}" zstd_tarball)

set(zstd_root "${zstd_download_dir}/zstd-napi-0.0.13")
set(zstd_lib "${zstd_root}/package/deps/zstd/lib")
if(NOT EXISTS "${zstd_lib}/zstd.h")
  file(REMOVE_RECURSE "${zstd_root}")
  file(ARCHIVE_EXTRACT INPUT "${zstd_tarball}" DESTINATION "${zstd_root}"
       PATTERNS package/deps/zstd)
endif()

# The Huffman decoder's x86-64 loops (huf_decompress_amd64.S) handle the
# Windows calling convention; zstd picks them at run time on CPUs with BMI2.
enable_language(ASM)
file(GLOB zstd_library_sources
  "${zstd_lib}/common/*.c" "${zstd_lib}/compress/*.c" "${zstd_lib}/decompress/*.c"
  "${zstd_lib}/decompress/huf_decompress_amd64.S")
# zstd's own code is not ours to make warning-free.
set_source_files_properties(${zstd_library_sources} PROPERTIES COMPILE_OPTIONS "-w")
add_library(quor_zstd_bundled STATIC ${zstd_library_sources})
target_include_directories(quor_zstd_bundled SYSTEM PUBLIC "${zstd_lib}")
# As zstd's own builds: its xxhash under zstd's prefix, no legacy formats,
# no tracing hooks. Without ZSTD_MULTITHREAD the library is single-threaded.
target_compile_definitions(quor_zstd_bundled PRIVATE
  XXH_NAMESPACE=ZSTD_ ZSTD_LEGACY_SUPPORT=0 ZSTD_TRACE=0)
target_link_libraries(quor_zstd INTERFACE quor_zstd_bundled)
message(STATUS "zstd: 1.5.7 from ${QUOR_ZSTD_NPM_PACKAGE}")
