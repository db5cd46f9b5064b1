# The demonstration of the README, end to end: the first call works as it says.
find_package(Python3 COMPONENTS Interpreter REQUIRED)
add_test(NAME e2e_demo_call
         COMMAND ${Python3_EXECUTABLE} ${CMAKE_CURRENT_LIST_DIR}/demo_e2e_test.py
                 $<TARGET_FILE:norvex> $<TARGET_FILE:norvex-demo-setup> $<TARGET_FILE:norvex-demo-device>)
set_tests_properties(e2e_demo_call PROPERTIES TIMEOUT 120)
