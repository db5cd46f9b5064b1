# Callers' host names against a real DNS server (dnsmasq) in a network and mount namespace of the
# test's own; skipped (exit 77) only where no namespace can be made.
find_package(Python3 COMPONENTS Interpreter REQUIRED)
add_test(NAME e2e_names_only_a_name_that_leads_back_to_the_caller_counts
         COMMAND ${Python3_EXECUTABLE} ${CMAKE_CURRENT_LIST_DIR}/names_e2e_test.py
                 $<TARGET_FILE:norvex> $<TARGET_FILE:norvexctl>
                 NamesEndToEnd.test_only_a_name_that_leads_back_to_the_caller_counts)
set_tests_properties(e2e_names_only_a_name_that_leads_back_to_the_caller_counts
                     PROPERTIES TIMEOUT 180 SKIP_RETURN_CODE 77)
