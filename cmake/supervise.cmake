# The supervisor: its library (everything but main, so that the fuzz target and
# tests link the same code) and the program.

# The status server (qor_status), with the libraries from Debian's archive
# that both are written with (qor_json among them).
include(${CMAKE_CURRENT_LIST_DIR}/status.cmake OPTIONAL)

# nlohmann-json, header-only, from Debian's nlohmann-json3-dev, where the status
# server's file has not named it. A cross build must not put the host's
# /usr/include on its path (the host's C library would shadow the target's), so
# the library's one directory is reached through a link in the build tree.
if(NOT TARGET qor_json)
  find_path(QOR_NLOHMANN_INCLUDE nlohmann/json.hpp PATHS /usr/include NO_CMAKE_FIND_ROOT_PATH)
  if(NOT QOR_NLOHMANN_INCLUDE)
    message(FATAL_ERROR "nlohmann/json.hpp not found: install nlohmann-json3-dev (scripts/setup-debian.sh build)")
  endif()
  set(QOR_JSON_INCLUDE ${PROJECT_BINARY_DIR}/third_party/nlohmann-json)
  file(MAKE_DIRECTORY ${QOR_JSON_INCLUDE})
  file(CREATE_LINK ${QOR_NLOHMANN_INCLUDE}/nlohmann ${QOR_JSON_INCLUDE}/nlohmann SYMBOLIC)
  add_library(qor_json INTERFACE)
  target_include_directories(qor_json SYSTEM INTERFACE ${QOR_JSON_INCLUDE})
endif()

add_library(qor_supervise STATIC
  src/supervise/sources.cpp src/supervise/json_line.cpp src/supervise/inbox.cpp src/supervise/tool_run.cpp
  src/supervise/output.cpp src/supervise/stdout_write_${QOR_PLATFORM}.cpp
  src/supervise/notify_${QOR_PLATFORM}.cpp src/supervise/signals_${QOR_PLATFORM}.cpp
  src/supervise/supervise.cpp)
target_include_directories(qor_supervise PUBLIC src src/supervise)
target_link_libraries(qor_supervise PUBLIC qor_json qor_decoder Threads::Threads)

# The program needs the status server.
if(TARGET qor_status)
  target_link_libraries(qor_supervise PUBLIC qor_status)
  add_executable(qor-ndi-supervise src/supervise/main.cpp)
  target_link_libraries(qor-ndi-supervise PRIVATE qor_supervise)
endif()
