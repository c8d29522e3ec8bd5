# nlohmann/json (header-only) for the event stream, as the target quor_json.
#
# Linux: the system's package (Debian: nlohmann-json3-dev). The Windows
# build takes the same headers: being header-only, they need no Windows
# build of their own. Only the nlohmann/ folder is copied into the build
# folder, so that the cross compiler never sees the rest of the Linux
# /usr/include.

add_library(quor_json INTERFACE)

if(NOT WIN32)
  find_package(nlohmann_json 3 REQUIRED)
  target_link_libraries(quor_json INTERFACE nlohmann_json::nlohmann_json)
  return()
endif()

find_path(QUOR_JSON_HEADERS nlohmann/json.hpp PATHS /usr/include NO_CMAKE_FIND_ROOT_PATH
          NO_DEFAULT_PATH)
if(NOT QUOR_JSON_HEADERS)
  message(FATAL_ERROR "nlohmann/json.hpp not found (Debian: nlohmann-json3-dev)")
endif()
set(json_include "${CMAKE_BINARY_DIR}/_deps/nlohmann-json")
file(COPY "${QUOR_JSON_HEADERS}/nlohmann" DESTINATION "${json_include}")
target_include_directories(quor_json SYSTEM INTERFACE "${json_include}")
message(STATUS "nlohmann/json: the headers of ${QUOR_JSON_HEADERS}")
