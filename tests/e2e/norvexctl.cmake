# norvexctl against a running norvex: status, forced disconnect, reload, refusals. One CTest entry
# per case, so that they run side by side.
find_package(Python3 COMPONENTS Interpreter REQUIRED)
foreach(case status_shows_the_callers_as_the_main_window_does
             disconnect_ends_the_call_and_frees_the_port
             reload_after_port_add_gives_the_next_caller_the_new_port edits_report_the_reload
             port_remove_of_a_port_in_a_call_does_not_cut_the_call
             edits_of_an_emulated_port_in_a_call_do_not_cut_the_call another_user_is_refused
             a_garbage_request_leaves_the_gateway_serving without_a_gateway)
    add_test(NAME e2e_norvexctl_${case}
             COMMAND ${Python3_EXECUTABLE} ${CMAKE_CURRENT_LIST_DIR}/norvexctl_e2e_test.py
                     $<TARGET_FILE:norvex> $<TARGET_FILE:norvexctl> NorvexctlEndToEnd.test_${case})
    set_tests_properties(e2e_norvexctl_${case} PROPERTIES TIMEOUT 180)
endforeach()
