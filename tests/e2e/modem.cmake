# The modem emulator end to end: norvex with a pty as equipment that talks AT commands to the
# emulator and answers a caller's RING. One CTest entry per case, so that they run side by side.
find_package(Python3 COMPONENTS Interpreter REQUIRED)
foreach(case command_dialogue answered_call_ends_with_no_carrier unanswered_call_gets_the_connect_error)
    add_test(NAME e2e_modem_${case}
             COMMAND ${Python3_EXECUTABLE} ${CMAKE_CURRENT_LIST_DIR}/modem_e2e_test.py
                     $<TARGET_FILE:norvex> ModemEndToEnd.test_${case})
    set_tests_properties(e2e_modem_${case} PROPERTIES TIMEOUT 120)
endforeach()
