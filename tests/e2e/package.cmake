# The Debian package of the Linux programs: built by cpack, its contents, man pages and systemd
# unit checked, its norvex started from the extracted package.
find_package(Python3 COMPONENTS Interpreter REQUIRED)
add_test(NAME e2e_debian_package
         COMMAND ${Python3_EXECUTABLE} ${CMAKE_CURRENT_LIST_DIR}/package_test.py ${CMAKE_BINARY_DIR}
                 ${CMAKE_CPACK_COMMAND} ${PROJECT_VERSION})
set_tests_properties(e2e_debian_package PROPERTIES TIMEOUT 300)
