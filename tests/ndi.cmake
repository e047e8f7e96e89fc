# The NDI module: loader cases run the probe program in processes of their own;
# the rest load the stand-in runtime (tests/fakes) in the test process.
file(MAKE_DIRECTORY ${CMAKE_BINARY_DIR}/ndi-empty ${CMAKE_CURRENT_BINARY_DIR}/ndi-test-out)

add_executable(ndi_probe ${CMAKE_CURRENT_LIST_DIR}/ndi_probe.cpp)
target_link_libraries(ndi_probe PRIVATE qor_ndi)

add_executable(ndi_tests
  ${CMAKE_CURRENT_LIST_DIR}/qor_ndi_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/qor_ndi_load_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/ndi_standin_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/ndi_test_support.cpp)
target_link_libraries(ndi_tests PRIVATE qor_ndi GTest::gtest_main Threads::Threads)
target_compile_definitions(ndi_tests PRIVATE
  QOR_STANDIN_DIR="${QOR_TEST_PATH_PREFIX}$<TARGET_FILE_DIR:ndi_standin>"
  QOR_STANDIN_ALT_DIR="${QOR_TEST_PATH_PREFIX}$<TARGET_FILE_DIR:ndi_standin_alt>"
  QOR_STANDIN_NOEXPORT_DIR="${QOR_TEST_PATH_PREFIX}$<TARGET_FILE_DIR:ndi_standin_noexport>"
  QOR_EMPTY_DIR="${QOR_TEST_PATH_PREFIX}${CMAKE_BINARY_DIR}/ndi-empty"
  QOR_TEST_OUT_DIR="${QOR_TEST_PATH_PREFIX}${CMAKE_CURRENT_BINARY_DIR}/ndi-test-out"
  QOR_PROBE_EXE="${QOR_TEST_PATH_PREFIX}$<TARGET_FILE:ndi_probe>")
add_dependencies(ndi_tests ndi_standin ndi_standin_alt ndi_standin_noexport ndi_probe)
gtest_discover_tests(ndi_tests DISCOVERY_MODE PRE_TEST DISCOVERY_TIMEOUT 60)
