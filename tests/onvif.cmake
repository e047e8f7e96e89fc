# The ONVIF client's date arithmetic and address rewriting, without a camera
# (tests/process/find_cameras_test.py asks the fake camera).
add_executable(onvif_tests onvif_test.cpp)
target_link_libraries(onvif_tests PRIVATE qor_onvif GTest::gtest_main)
gtest_discover_tests(onvif_tests DISCOVERY_MODE PRE_TEST DISCOVERY_TIMEOUT 60)
