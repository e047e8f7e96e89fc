# The supervisor: its library (everything but main, so that the fuzz target
# links the same code) and the program, with the status server (qor_status) and
# the libraries from Debian's archive that both are written with (qor_json).
include(${CMAKE_CURRENT_LIST_DIR}/status.cmake)

add_library(qor_supervise STATIC
  src/supervise/sources.cpp src/supervise/json_line.cpp src/supervise/inbox.cpp src/supervise/tool_run.cpp
  src/supervise/output.cpp src/supervise/log_file.cpp src/supervise/run_args.cpp
  src/supervise/notify_${QOR_PLATFORM}.cpp src/supervise/signals_${QOR_PLATFORM}.cpp
  src/supervise/service_${QOR_PLATFORM}.cpp src/supervise/set_password.cpp
  src/supervise/password_io_${QOR_PLATFORM}.cpp
  src/supervise/supervise.cpp src/supervise/message_budget.cpp
  src/supervise/check_reason.cpp src/supervise/camera_check.cpp
  src/supervise/sources_api.cpp src/supervise/sources_write.cpp src/supervise/sources_file_${QOR_PLATFORM}.cpp)
target_include_directories(qor_supervise PUBLIC src/supervise)
target_link_libraries(qor_supervise PUBLIC qor_json qor_platform qor_status Threads::Threads PRIVATE qor_nettle)
# The service: the Service Control Manager and the folder's access (advapi32),
# the ProgramData folder (shell32, ole32).
if(WIN32)
  target_link_libraries(qor_supervise PUBLIC advapi32 shell32 ole32)
endif()

add_executable(qor-ndi-supervise src/supervise/main.cpp)
# --find-cameras: the ONVIF client's command (src/onvif/find_cameras.h).
target_link_libraries(qor-ndi-supervise PRIVATE qor_supervise qor_onvif)
# Windows: the tool's manifest (UTF-8 as the process code page, so that names
# and paths from the sources file reach the tools unchanged) and a version
# record of its own.
if(WIN32)
  configure_file(src/supervise/qor-ndi-supervise.rc.in qor-ndi-supervise.rc @ONLY)
  target_sources(qor-ndi-supervise PRIVATE ${PROJECT_BINARY_DIR}/qor-ndi-supervise.rc)
  set_property(SOURCE ${PROJECT_BINARY_DIR}/qor-ndi-supervise.rc APPEND PROPERTY OBJECT_DEPENDS ${QOR_MANIFEST_PATH})
endif()
