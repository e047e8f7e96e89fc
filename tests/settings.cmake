add_executable(settings_tests options_test.cpp events_test.cpp ptz_test.cpp)
target_link_libraries(settings_tests PRIVATE qor_settings GTest::gtest_main)
gtest_discover_tests(settings_tests DISCOVERY_MODE PRE_TEST DISCOVERY_TIMEOUT 60)
