# Callers over SSH end to end: norvex with an SSH port, ptys as equipment, OpenSSH's client (ssh)
# and keys made by ssh-keygen; lrzsz for the ZMODEM transfers. One CTest entry per case.
find_package(Python3 COMPONENTS Interpreter REQUIRED)
foreach(case a_known_key_gets_the_greeting_and_data_both_ways
             an_unknown_key_is_refused_and_reaches_no_port
             refusals_other_ways_in_and_unsafe_key_files
             the_user_name_picks_the_port_and_busy_gets_the_busy_message
             an_address_rule_denies_an_ssh_caller every_byte_value_both_ways
             zmodem_transfers_of_a_mebibyte_both_ways
             norvexctl_turns_ssh_on_and_off_and_a_reload_takes_it
             forced_disconnect_idle_keyword_and_stop_end_ssh_calls_in_order)
    add_test(NAME e2e_ssh_${case}
             COMMAND ${Python3_EXECUTABLE} ${CMAKE_CURRENT_LIST_DIR}/ssh_e2e_test.py
                     $<TARGET_FILE:norvex> $<TARGET_FILE:norvexctl> SshEndToEnd.test_${case})
    set_tests_properties(e2e_ssh_${case} PROPERTIES TIMEOUT 300)
endforeach()
