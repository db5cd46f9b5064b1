# File transfers through the built norvex as a user makes them: XMODEM-1K with Debian's lrzsz in
# both directions, and the caller's socket as the running program holds it. One CTest entry per
# case, so that they run side by side.
find_package(Python3 COMPONENTS Interpreter REQUIRED)
find_program(NORVEX_XMODEM_SEND sx REQUIRED)
find_program(NORVEX_XMODEM_RECEIVE rx REQUIRED)
foreach(case xmodem_1k_equipment_to_caller xmodem_1k_caller_to_equipment
             the_callers_socket_in_the_program_sends_at_once)
    add_test(NAME e2e_transfer_${case}
             COMMAND ${Python3_EXECUTABLE} ${CMAKE_CURRENT_LIST_DIR}/transfer_e2e_test.py
                     $<TARGET_FILE:norvex> ${NORVEX_XMODEM_SEND} ${NORVEX_XMODEM_RECEIVE}
                     TransferEndToEnd.test_${case})
    set_tests_properties(e2e_transfer_${case} PROPERTIES TIMEOUT 300)
endforeach()
