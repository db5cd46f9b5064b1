# The in-process gateway under conditions only Linux lets a test make: the process out of file
# descriptors, and the options the kernel shows on an accepted socket. Run like the unit tests.
add_executable(test_gateway_posix ${CMAKE_CURRENT_LIST_DIR}/gateway_posix_test.cpp)
target_link_libraries(test_gateway_posix PRIVATE norvex_testing norvex_flags GTest::gtest_main)
gtest_discover_tests(test_gateway_posix DISCOVERY_MODE PRE_TEST DISCOVERY_TIMEOUT 60
                     PROPERTIES TIMEOUT 120)
