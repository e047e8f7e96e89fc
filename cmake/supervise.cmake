# The supervisor: its library (everything but main, so that tests and fuzz
# targets link the same code) and the program. Its code lives in rooms, one
# folder per responsibility, each including only its own folder and those
# below it (scripts/check_includes.sh):
#   main.cpp            the only file that knows both the loop and the server
#   host/               the system's tool host, service manager, signals, run arguments, set-password
#   loop/ | http/       the supervision loop | the status server and its page (never each other)
#   status/             rows, snapshot, /status.json, /metrics, pictures
#   check/ | ptz/       the camera check, its reasons, the checks and camera searches the page asks for |
#                       the workers that move a source's camera as its receivers ask
#   sources/            the sources file: reader, writer, editor, the tool's command line
#   text/ | report/ | auth/ JSON, number and address text | output and log files | sessions, password and view links
include(${CMAKE_CURRENT_LIST_DIR}/page.cmake)

set(_sv ${PROJECT_SOURCE_DIR}/src/supervise)
add_library(qor_supervise STATIC
  ${_sv}/text/json_line.cpp ${_sv}/text/float_text.cpp ${_sv}/text/address.cpp ${_sv}/text/ascii.cpp
  ${_sv}/report/output.cpp ${_sv}/report/log_file.cpp
  ${_sv}/auth/login.cpp ${_sv}/auth/password.cpp ${_sv}/auth/view_links.cpp
  ${_sv}/sources/sources.cpp ${_sv}/sources/sources_write.cpp ${_sv}/sources/sources_api.cpp
  ${_sv}/sources/tool_args.cpp
  ${_sv}/check/check_reason.cpp ${_sv}/check/camera_check.cpp ${_sv}/check/kept_work.cpp ${_sv}/check/check_api.cpp
  ${_sv}/check/camera_search.cpp ${_sv}/ptz/ptz_queue.cpp ${_sv}/ptz/ptz_worker.cpp
  ${_sv}/status/status_snapshot.cpp ${_sv}/status/status_json.cpp ${_sv}/status/metrics.cpp
  ${_sv}/status/pictures.cpp
  ${_sv}/loop/supervise.cpp ${_sv}/loop/inbox.cpp ${_sv}/loop/message_budget.cpp
  ${_sv}/http/status_server.cpp ${_sv}/http/connections.cpp ${_sv}/http/answers.cpp ${_sv}/http/login_routes.cpp
  ${_sv}/http/status_address.cpp ${_sv}/http/page.cpp ${_sv}/http/view_routes.cpp
  ${_sv}/http/status_socket_${QOR_PLATFORM}.cpp
  ${_sv}/host/tool_run.cpp ${_sv}/host/run_args.cpp ${_sv}/host/set_password.cpp
  ${_sv}/host/notify_${QOR_PLATFORM}.cpp ${_sv}/host/signals_${QOR_PLATFORM}.cpp
  ${_sv}/host/service_${QOR_PLATFORM}.cpp ${_sv}/host/password_io_${QOR_PLATFORM}.cpp)
# Includes name the room: "check/camera_check.h".
target_include_directories(qor_supervise PUBLIC ${_sv} PRIVATE "${PROJECT_BINARY_DIR}/supervise")
target_link_libraries(qor_supervise PUBLIC qor_json qor_platform qor_onvif Threads::Threads
                      PRIVATE qor_httplib qor_argon2 qor_nettle)
# The version the metrics show (qor_ndi_supervise_build_info).
if(PROJECT_VERSION)
  target_compile_definitions(qor_supervise PRIVATE QOR_VERSION="${PROJECT_VERSION}")
endif()
# The service: the Service Control Manager and the folder's access (advapi32),
# the ProgramData folder (shell32, ole32).
if(WIN32)
  target_link_libraries(qor_supervise PUBLIC advapi32 shell32 ole32)
endif()

add_executable(qor-ndi-supervise ${_sv}/main.cpp)
# --find-cameras: the ONVIF client's command (src/onvif/find_cameras.h), which
# the page's searches call too.
target_link_libraries(qor-ndi-supervise PRIVATE qor_supervise qor_onvif)
# Windows: the tool's manifest (UTF-8 as the process code page, so that names
# and paths from the sources file reach the tools unchanged) and a version
# record of its own.
if(WIN32)
  configure_file(${_sv}/qor-ndi-supervise.rc.in qor-ndi-supervise.rc @ONLY)
  target_sources(qor-ndi-supervise PRIVATE ${PROJECT_BINARY_DIR}/qor-ndi-supervise.rc)
  set_property(SOURCE ${PROJECT_BINARY_DIR}/qor-ndi-supervise.rc APPEND PROPERTY OBJECT_DEPENDS ${QOR_MANIFEST_PATH})
endif()
