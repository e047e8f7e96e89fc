# The status server's text and address rules (src/supervise), where the build has it.
if(TARGET qor_supervise)
  add_executable(status_tests status_test.cpp login_test.cpp view_links_test.cpp sources_api_test.cpp)
  target_link_libraries(status_tests PRIVATE qor_supervise qor_httplib qor_nettle qor_argon2 GTest::gtest_main)
  target_compile_definitions(status_tests PRIVATE QOR_TEST_VERSION="${PROJECT_VERSION}")
  gtest_discover_tests(status_tests DISCOVERY_MODE PRE_TEST DISCOVERY_TIMEOUT 60)
endif()
