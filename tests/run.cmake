# Whole-process tests: Python drives the built tool as a controlling program
# would. Every test method of every tests/process/*_test.py becomes its own
# ctest test, so the slow ones (connect time limits) run side by side.
if(WIN32)
  set(QOR_WINE 1)
else()
  set(QOR_WINE 0)
endif()
# A cross build run under an emulator may hand the tool the host's stand-in
# decoder instead (QOR_PROCESS_DECODER), so that only the tool is emulated.
if(QOR_PROCESS_DECODER)
  set(QOR_PROCESS_FAKE_DECODER ${QOR_PROCESS_DECODER})
else()
  set(QOR_PROCESS_FAKE_DECODER $<TARGET_FILE:fake_decoder>)
endif()
set(QOR_PROCESS_ENV
  "QOR_TOOL=$<TARGET_FILE:qor-ndi-send>"
  "QOR_SUPERVISOR=$<TARGET_FILE:qor-ndi-supervise>"
  "QOR_WINE=${QOR_WINE}"
  "QOR_FAKE_DECODER=${QOR_PROCESS_FAKE_DECODER}"
  "QOR_STANDIN_DIR=${CMAKE_BINARY_DIR}/ndi-standin"
  "QOR_NOEXPORT_DIR=${CMAKE_BINARY_DIR}/ndi-standin-noexport"
  "QOR_SOURCE_DIR=${PROJECT_SOURCE_DIR}"
  # What a test keeps for a person to look at (the page's screenshots), out of git.
  "QOR_ARTEFACT_DIR=${CMAKE_BINARY_DIR}/artefacts"
)
if(WIN32)
  list(APPEND QOR_PROCESS_ENV "QOR_BRIDGE=$<TARGET_FILE:wine_bridge>" "QOR_CONSOLE_EVENT=$<TARGET_FILE:console_event>")
endif()
if(CMAKE_CXX_FLAGS MATCHES "sanitize")
  list(APPEND QOR_PROCESS_ENV "QOR_SANITIZED=1")
endif()

file(GLOB QOR_PROCESS_TESTS CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/process/*_test.py)
foreach(py ${QOR_PROCESS_TESTS})
  get_filename_component(module ${py} NAME_WE)
  # The camera check does not involve the tool: the native Linux build runs
  # it, and the live check with Prometheus, which watches the supervisor from
  # outside. The supervisor runs wherever an emulator runs it with its tools
  # (ARM64 under qemu-user); its Windows side is for a test of its own
  # (supervise_win_test, which only the Windows build runs). The operator's
  # page in a browser, which says nothing of the build, runs natively only.
  if(CMAKE_CROSSCOMPILING AND (module MATCHES "^(camera|camera_check|fleet|page)_test$" OR (WIN32 AND module MATCHES "^supervise_test$")))
    continue()
  endif()
  if(NOT WIN32 AND module MATCHES "_win_test$")
    continue()
  endif()
  file(STRINGS ${py} lines REGEX "^class [A-Za-z0-9_]+\\(|^    def test_[a-z0-9_]+\\(")
  set(class "")
  foreach(line ${lines})
    if(line MATCHES "^class ([A-Za-z0-9_]+)\\(")
      set(class ${CMAKE_MATCH_1})
    elseif(line MATCHES "def (test_[a-z0-9_]+)\\(")
      set(name ${module}.${class}.${CMAKE_MATCH_1})
      # The status page in a browser says nothing of the tool's build: once, in
      # the unsanitized one.
      if(name MATCHES "^page_test|StatusPage|in_chromium" AND CMAKE_CXX_FLAGS MATCHES "sanitize")
        continue()
      endif()
      add_test(NAME ${name} COMMAND /usr/bin/python3 -B -m unittest ${name}
               WORKING_DIRECTORY ${CMAKE_CURRENT_SOURCE_DIR}/process)
      set_tests_properties(${name} PROPERTIES ENVIRONMENT "${QOR_PROCESS_ENV}" LABELS process)
      if(name MATCHES "ManyRuns")
        set_tests_properties(${name} PROPERTIES TIMEOUT 900)
      endif()
      # A live 1080p camera and its decoder take most of a core each, and they
      # must keep real time: these run alone.
      if(module MATCHES "^(e2e|camera)_test$")
        set_tests_properties(${name} PROPERTIES RUN_SERIAL TRUE LABELS "process;camera")
      endif()
      # Likewise the live source that measures each picture's age at the send:
      # starved of the processor by tests beside it (Wine's above all), every
      # picture arrives late and the check cannot tell a pause from the fault.
      if(name MATCHES "never_holds_a_live_source_back")
        set_tests_properties(${name} PROPERTIES RUN_SERIAL TRUE)
      endif()
      # The Windows service's whole life: Wine's Service Control Manager and a
      # dozen Wine processes started one after another. Beside four other Wine
      # tests, Wine itself was seen to fail a process start here ("Internal
      # error" from CreateProcess), and a test beside it to get a tool that
      # ended without a line: it runs alone.
      if(name MATCHES "^supervise_win_test[.]Service[.]")
        set_tests_properties(${name} PROPERTIES RUN_SERIAL TRUE)
      endif()
    endif()
  endforeach()
endforeach()

# The media pumps on their own, over real loopback connections.
add_executable(pumps_tests pumps_test.cpp decoder_test_util.cpp decoder_test_util_${QOR_PLATFORM}.cpp)
target_link_libraries(pumps_tests PRIVATE qor_run GTest::gtest_main Threads::Threads)
target_compile_definitions(pumps_tests PRIVATE QOR_TEST_SCRATCH="${QOR_TEST_PATH_PREFIX}${QOR_DECODER_SCRATCH}")
gtest_discover_tests(pumps_tests DISCOVERY_MODE PRE_TEST DISCOVERY_TIMEOUT 60 PROPERTIES TIMEOUT 60)
# The monitor's level and picture sampling, without a run.
add_executable(monitor_tests monitor_test.cpp)
target_link_libraries(monitor_tests PRIVATE qor_run GTest::gtest_main)
gtest_discover_tests(monitor_tests DISCOVERY_MODE PRE_TEST DISCOVERY_TIMEOUT 60)
# A service's log files: their rotation, and a rename that a reader holds up.
add_executable(log_file_tests log_file_test.cpp file_hold_${QOR_PLATFORM}.cpp)
target_link_libraries(log_file_tests PRIVATE qor_supervise GTest::gtest_main)
gtest_discover_tests(log_file_tests DISCOVERY_MODE PRE_TEST DISCOVERY_TIMEOUT 60)
# The supervision loop's decisions, through a host of its own in simulated time.
add_executable(supervise_loop_tests supervise_loop_test.cpp check_reason_test.cpp ptz_queue_test.cpp)
target_link_libraries(supervise_loop_tests PRIVATE qor_supervise GTest::gtest_main)
gtest_discover_tests(supervise_loop_tests DISCOVERY_MODE PRE_TEST DISCOVERY_TIMEOUT 60)

add_executable(av_sync_tests av_sync_test.cpp)
target_link_libraries(av_sync_tests PRIVATE qor_run GTest::gtest_main Threads::Threads)
gtest_discover_tests(av_sync_tests DISCOVERY_MODE PRE_TEST DISCOVERY_TIMEOUT 60)
