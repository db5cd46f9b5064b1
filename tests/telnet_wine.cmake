# Debian's telnet client against the telnet channel's test server built for Windows and run under
# wine (Windows build only): the same driver as the Linux end-to-end test.
if(WIN32)
    add_executable(telnet_e2e_server ${CMAKE_CURRENT_LIST_DIR}/e2e/telnet_e2e_server.cpp)
    target_link_libraries(telnet_e2e_server PRIVATE norvex_core norvex_flags)
    target_compile_options(telnet_e2e_server PRIVATE -fno-exceptions)
    find_program(NORVEX_PYTHON3 python3 REQUIRED)
    find_program(NORVEX_TELNET_CLIENT telnet REQUIRED)
    add_test(NAME TelnetWine.RealClientEndsInCharacterBinaryMode
             COMMAND ${NORVEX_PYTHON3} ${CMAKE_CURRENT_LIST_DIR}/e2e/telnet_client_test.py
                     $<TARGET_FILE:telnet_e2e_server> ${NORVEX_TELNET_CLIENT}
                     ${CMAKE_SOURCE_DIR}/cmake/wine-run.sh)
    set_tests_properties(TelnetWine.RealClientEndsInCharacterBinaryMode PROPERTIES TIMEOUT 120)
endif()
