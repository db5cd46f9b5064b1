# NORVEX.EXE's windows under wine + Xvfb (Windows build only): each test starts its own X server and
# wine session, runs the real program in an empty folder and plays the operator from outside with
# a driver program (windows, controls, list-view cells) and xdotool (real keys and clicks).
if(WIN32)
    add_executable(norvex_gui_driver ${CMAKE_CURRENT_LIST_DIR}/gui/gui_driver.cpp)
    target_link_libraries(norvex_gui_driver PRIVATE norvex_flags)

    find_program(NORVEX_PYTHON3 python3 REQUIRED)
    find_program(NORVEX_XVFB Xvfb REQUIRED)
    find_program(NORVEX_XDOTOOL xdotool REQUIRED)
    find_program(NORVEX_IMPORT import REQUIRED)  # and convert, from the same package
    # One prefix for these tests alone: its session belongs to one test's X server at a time.
    foreach(case first_start_in_an_empty_folder unreadable_settings_end_the_program
                 configured_start_stays_in_the_tray
                 second_start_raises_the_first close_hides_and_the_server_keeps_serving
                 exit_asks_first forced_disconnect_from_the_status_list)
        add_test(NAME GuiWine.${case}
                 COMMAND ${NORVEX_PYTHON3} ${CMAKE_CURRENT_LIST_DIR}/gui/gui_test.py
                         $<TARGET_FILE:NORVEX> $<TARGET_FILE:norvex_gui_driver>
                         ${CMAKE_SOURCE_DIR}/cmake/wine-prefix.sh ${CMAKE_BINARY_DIR}/wineprefix-gui
                         ${CMAKE_BINARY_DIR}/screenshots NorvexWindows.test_${case})
        set_tests_properties(GuiWine.${case} PROPERTIES TIMEOUT 300 RESOURCE_LOCK wineprefix-gui)
    endforeach()
endif()
