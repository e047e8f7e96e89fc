# decoder tests: the decoder's command line, its process, the loopback channels.
set(QOR_DECODER_SCRATCH ${CMAKE_CURRENT_BINARY_DIR}/decoder_scratch)
file(MAKE_DIRECTORY ${QOR_DECODER_SCRATCH})

set(QOR_DECODER_TEST_SOURCES
  decoder_cmdline_test.cpp win_cmdline_test.cpp process_test.cpp net_test.cpp peer_test.cpp
  decoder_test_util.cpp decoder_test_util_${QOR_PLATFORM}.cpp)
if(NOT WIN32)
  list(APPEND QOR_DECODER_TEST_SOURCES process_posix_test.cpp net_posix_test.cpp)
else()
  list(APPEND QOR_DECODER_TEST_SOURCES process_win_test.cpp)
endif()

add_executable(decoder_tests ${QOR_DECODER_TEST_SOURCES})
target_link_libraries(decoder_tests PRIVATE qor_decoder GTest::gtest_main)
target_compile_definitions(decoder_tests PRIVATE
  QOR_FAKE_DECODER="${QOR_TEST_PATH_PREFIX}$<TARGET_FILE:fake_decoder>"
  QOR_SPAWN_PROBE="${QOR_TEST_PATH_PREFIX}$<TARGET_FILE:spawn_probe>"
  QOR_TEST_SCRATCH="${QOR_TEST_PATH_PREFIX}${QOR_DECODER_SCRATCH}")
add_dependencies(decoder_tests fake_decoder spawn_probe)
gtest_discover_tests(decoder_tests DISCOVERY_MODE PRE_TEST DISCOVERY_TIMEOUT 60 PROPERTIES TIMEOUT 120)
