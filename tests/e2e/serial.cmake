# The Linux serial backend on real pty pairs: Linux only (this folder is), run like the unit tests.
add_executable(test_serial_pty ${CMAKE_CURRENT_LIST_DIR}/serial_pty_test.cpp)
target_link_libraries(test_serial_pty PRIVATE norvex_testing norvex_flags GTest::gtest_main util)
gtest_discover_tests(test_serial_pty DISCOVERY_MODE PRE_TEST DISCOVERY_TIMEOUT 60
                     PROPERTIES TIMEOUT 120)
