# Programs on a port's own TCP port end to end: norvex with NORVEX.INI's tcp_port and rfc2217, a
# pty as the equipment, pyserial's rfc2217:// client (Debian's python3-serial) as the program. The
# interpreter is the system's, where Debian puts its Python packages. One CTest entry per case.
find_package(Python3 COMPONENTS Interpreter REQUIRED)
find_program(NORVEX_SYSTEM_PYTHON3 python3 PATHS /usr/bin NO_DEFAULT_PATH)
if(NOT NORVEX_SYSTEM_PYTHON3)
    set(NORVEX_SYSTEM_PYTHON3 ${Python3_EXECUTABLE})
endif()
foreach(case pyserial_sets_the_line_moves_data_and_the_next_call_starts_from_the_stored_line
             queries_and_a_value_the_pty_cannot_take_are_answered_with_the_line
             a_port_without_the_option_refuses_it_and_pyserial_fails_to_open
             a_busy_port_gives_the_busy_text_and_the_close
             norvexctl_sets_them_status_shows_them_and_a_reload_opens_and_closes_them)
    add_test(NAME e2e_rfc2217_${case}
             COMMAND ${NORVEX_SYSTEM_PYTHON3} ${CMAKE_CURRENT_LIST_DIR}/rfc2217_e2e_test.py
                     $<TARGET_FILE:norvex> $<TARGET_FILE:norvexctl> Rfc2217EndToEnd.test_${case})
    set_tests_properties(e2e_rfc2217_${case} PROPERTIES TIMEOUT 300)
endforeach()
