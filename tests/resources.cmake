# NORVEX.EXE's resources read back from the built exe and compared with the user interface's
# tables (Windows build only; a Python reader of the exe's resource section, so no wine is needed).
if(WIN32)
    find_program(NORVEX_PYTHON3 python3 REQUIRED)
    foreach(area Dialogs Menus Strings Version Icon)
        add_test(NAME Resources.${area}
                 COMMAND ${NORVEX_PYTHON3} ${CMAKE_CURRENT_LIST_DIR}/resources/resources_test.py
                         $<TARGET_FILE:NORVEX> ${area})
        set_tests_properties(Resources.${area} PROPERTIES TIMEOUT 60)
    endforeach()
endif()
