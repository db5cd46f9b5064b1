# Telnet channel end to end: Debian's telnet client in a pty against a one-connection server built
# on the channel.
add_executable(telnet_e2e_server ${CMAKE_CURRENT_LIST_DIR}/telnet_e2e_server.cpp)
target_link_libraries(telnet_e2e_server PRIVATE norvex_core norvex_flags)
target_compile_options(telnet_e2e_server PRIVATE -fno-exceptions)

find_package(Python3 COMPONENTS Interpreter REQUIRED)
find_program(NORVEX_TELNET_CLIENT telnet REQUIRED)
add_test(NAME e2e_telnet_client_character_binary_mode
         COMMAND ${Python3_EXECUTABLE} ${CMAKE_CURRENT_LIST_DIR}/telnet_client_test.py
                 $<TARGET_FILE:telnet_e2e_server> ${NORVEX_TELNET_CLIENT})
set_tests_properties(e2e_telnet_client_character_binary_mode PROPERTIES TIMEOUT 120)
