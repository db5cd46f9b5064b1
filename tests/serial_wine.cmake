# The Win32 serial backend under wine on a pty mapped as a COM port (Windows build only): a test
# program run by a script that makes the pty, maps it and plays the equipment on its other side.
if(WIN32)
    add_executable(test_serial_wine ${CMAKE_CURRENT_LIST_DIR}/serial/wine_com_port.cpp)
    target_link_libraries(test_serial_wine PRIVATE norvex_testing norvex_flags GTest::gtest_main)
    find_program(NORVEX_PYTHON3 python3 REQUIRED)
    add_test(NAME SerialWine.ComPortOverAPty
             COMMAND ${NORVEX_PYTHON3} ${CMAKE_CURRENT_LIST_DIR}/serial/wine_com_port.py
                     $<TARGET_FILE:test_serial_wine> ${CMAKE_SOURCE_DIR}/cmake/wine-run.sh)
    set_tests_properties(SerialWine.ComPortOverAPty PROPERTIES TIMEOUT 120)
endif()
