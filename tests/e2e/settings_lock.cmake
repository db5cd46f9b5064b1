# Edits of NORVEX.DAT from several programs at once: norvexctl against norvexctl, norvex starting or
# reloading while the file is held, what a save keeps. One CTest entry per case.
find_package(Python3 COMPONENTS Interpreter REQUIRED)
foreach(case two_loops_of_edits_keep_every_edit a_start_and_a_reload_wait_for_a_held_file
             an_edit_gives_up_on_a_file_held_too_long_and_changes_nothing
             an_edit_keeps_the_mode_and_the_owner show_in_a_folder_one_may_not_write)
    add_test(NAME e2e_settings_lock_${case}
             COMMAND ${Python3_EXECUTABLE} ${CMAKE_CURRENT_LIST_DIR}/settings_lock_e2e_test.py
                     $<TARGET_FILE:norvex> $<TARGET_FILE:norvexctl> SettingsLockEndToEnd.test_${case})
    set_tests_properties(e2e_settings_lock_${case} PROPERTIES TIMEOUT 180)
endforeach()
