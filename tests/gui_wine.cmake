# NORVEX.EXE's windows under wine + Xvfb (Windows build only): each test starts its own X server and
# wine session, runs the real program in an empty folder and plays the operator from outside with
# a driver program (windows, controls, list-view cells) and xdotool (real keys and clicks).
if(WIN32)
    add_executable(norvex_gui_driver ${CMAKE_CURRENT_LIST_DIR}/gui/gui_driver.cpp)
    target_link_libraries(norvex_gui_driver PRIVATE norvex_flags)

    # The settings code's own writer of NORVEX.DAT, the operator's tool of the Linux program built
    # for Windows: what the dialogs write is compared with what it writes for the same settings.
    add_executable(norvexctl_wine ${CMAKE_SOURCE_DIR}/src/ctl/norvexctl_main.cpp)
    target_link_libraries(norvexctl_wine PRIVATE norvex_ctl norvex_flags)

    # The ui host itself, on templates of its own (run by gui_test.py, which gives it a display).
    add_executable(test_ui_host_wine ${CMAKE_CURRENT_LIST_DIR}/gui/ui_host_test.cpp
                                     ${CMAKE_CURRENT_LIST_DIR}/gui/ui_host_test.rc)
    target_include_directories(test_ui_host_wine PRIVATE ${CMAKE_SOURCE_DIR}/src/resources)
    target_link_libraries(test_ui_host_wine PRIVATE norvex_testing norvex_flags GTest::gtest_main)

    find_program(NORVEX_PYTHON3 python3 REQUIRED)
    find_program(NORVEX_XVFB Xvfb REQUIRED)
    find_program(NORVEX_XDOTOOL xdotool REQUIRED)
    find_program(NORVEX_IMPORT import REQUIRED)  # and convert, from the same package
    # One prefix for these tests alone: its session belongs to one test's X server at a time.
    foreach(case NorvexWindows.test_first_start_in_an_empty_folder
                 NorvexWindows.test_unreadable_settings_end_the_program
                 NorvexWindows.test_configured_start_stays_in_the_tray
                 NorvexWindows.test_second_start_raises_the_first
                 NorvexWindows.test_close_hides_and_the_server_keeps_serving
                 NorvexWindows.test_exit_asks_first
                 NorvexWindows.test_forced_disconnect_from_the_status_list
                 NorvexDialogs.test_ports_added_ordered_and_served
                 NorvexDialogs.test_escape_in_the_port_list_saves
                 NorvexDialogs.test_options_reach_the_next_caller
                 NorvexDialogs.test_about_box
                 UiHostProgram.test_ui_host)
        string(REGEX REPLACE ".*test_" "" name ${case})
        add_test(NAME GuiWine.${name}
                 COMMAND ${NORVEX_PYTHON3} ${CMAKE_CURRENT_LIST_DIR}/gui/gui_test.py
                         $<TARGET_FILE:NORVEX> $<TARGET_FILE:norvex_gui_driver>
                         $<TARGET_FILE:test_ui_host_wine> $<TARGET_FILE:norvexctl_wine>
                         ${CMAKE_SOURCE_DIR}/cmake/wine-prefix.sh
                         ${CMAKE_BINARY_DIR}/wineprefix-gui ${CMAKE_BINARY_DIR}/screenshots ${case})
        set_tests_properties(GuiWine.${name} PROPERTIES TIMEOUT 300 RESOURCE_LOCK wineprefix-gui)
    endforeach()
    # The operator's exit while callers storm the program: a test of its own, as it loads the
    # machine for a while.
    add_test(NAME GuiWine.exit_during_a_storm_of_callers
             COMMAND ${NORVEX_PYTHON3} ${CMAKE_CURRENT_LIST_DIR}/gui/exit_under_load_test.py
                     $<TARGET_FILE:NORVEX> $<TARGET_FILE:norvex_gui_driver>
                     $<TARGET_FILE:test_ui_host_wine> $<TARGET_FILE:norvexctl_wine>
                     ${CMAKE_SOURCE_DIR}/cmake/wine-prefix.sh
                     ${CMAKE_BINARY_DIR}/wineprefix-gui ${CMAKE_BINARY_DIR}/screenshots
                     ExitUnderLoad.test_exit_during_a_storm_of_callers)
    set_tests_properties(GuiWine.exit_during_a_storm_of_callers PROPERTIES
                         TIMEOUT 300 RESOURCE_LOCK wineprefix-gui)
endif()
