# The storm against the built norvex on ptys, and SIGTERM in the middle of one. Each uses the whole
# machine: run alone.
find_package(Python3 COMPONENTS Interpreter REQUIRED)
foreach(case everything_is_given_back_after_the_storm sigterm_during_the_storm_stops_in_order)
    add_test(NAME e2e_storm_${case}
             COMMAND ${Python3_EXECUTABLE} ${CMAKE_CURRENT_LIST_DIR}/storm_e2e_test.py
                     $<TARGET_FILE:norvex> StormEndToEnd.test_${case})
    set_tests_properties(e2e_storm_${case} PROPERTIES TIMEOUT 600 RUN_SERIAL TRUE)
endforeach()
