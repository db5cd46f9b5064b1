# The Linux program end to end: norvex with ptys as equipment, raw loopback sockets and Debian's
# telnet client as callers. One CTest entry per case, so that they run side by side.
find_package(Python3 COMPONENTS Interpreter REQUIRED)
find_program(NORVEX_TELNET_CLIENT telnet REQUIRED)
foreach(case a_whole_call_with_exact_bytes
             streams_of_every_byte_value_get_through_whole_both_ways_at_once
             permission_refusal_by_source_address
             port_error_for_a_device_that_cannot_open idle_end sigterm_during_a_call
             dtr_dsr_flow_on_a_device_without_modem_lines
             second_instance_touches_nothing start_up_failures_end_with_a_nonzero_code
             fresh_directory_gets_the_default_settings real_telnet_client_session)
    add_test(NAME e2e_norvex_${case}
             COMMAND ${Python3_EXECUTABLE} ${CMAKE_CURRENT_LIST_DIR}/norvex_e2e_test.py
                     $<TARGET_FILE:norvex> ${NORVEX_TELNET_CLIENT} NorvexEndToEnd.test_${case})
    set_tests_properties(e2e_norvex_${case} PROPERTIES TIMEOUT 120)
endforeach()
