# NORVEX's MSI installer, installed, used, upgraded and removed under wine (Windows build only):
# each test makes a clean prefix of its own (build/windows/wineprefix-msi, removed afterwards) and
# an X server of its own, installs the package silently and drives the installed program with the
# GUI tests' driver.
if(WIN32)
    # The version just below this one, written as this one is (1.07 -> 1.06).
    math(EXPR earlier_minor "${NORVEX_VERSION_MINOR_NUMBER} - 1")
    if(earlier_minor LESS 0)
        math(EXPR earlier_major "${PROJECT_VERSION_MAJOR} - 1")
        set(earlier_version ${earlier_major}.99)
    elseif(earlier_minor LESS 10)
        set(earlier_version ${PROJECT_VERSION_MAJOR}.0${earlier_minor})
    else()
        set(earlier_version ${PROJECT_VERSION_MAJOR}.${earlier_minor})
    endif()
    # Packages of the upgrade test: one of that lower version, and another build of this version
    # (a product code of its own), both from the same sources.
    set(package_folder ${CMAKE_CURRENT_BINARY_DIR}/installer)
    set(NORVEX_EARLIER_MSI ${package_folder}/NORVEX-${earlier_version}-x64.msi)
    set(NORVEX_REBUILT_MSI ${package_folder}/rebuilt/NORVEX-${PROJECT_VERSION}-x64.msi)
    foreach(package ${earlier_version}:${NORVEX_EARLIER_MSI}
                    ${PROJECT_VERSION}:${NORVEX_REBUILT_MSI})
        string(REGEX MATCH "^[^:]*" version ${package})
        string(REGEX REPLACE "^[^:]*:" "" msi ${package})
        get_filename_component(msi_folder ${msi} DIRECTORY)
        add_custom_command(OUTPUT ${msi}
                           COMMAND ${CMAKE_COMMAND} -E make_directory ${msi_folder}
                           COMMAND ${CMAKE_SOURCE_DIR}/packaging/windows/build-msi.sh ${version}
                                   $<TARGET_FILE:NORVEX>
                                   ${CMAKE_SOURCE_DIR}/src/resources/norvex.ico ${msi}
                           DEPENDS NORVEX ${CMAKE_SOURCE_DIR}/packaging/windows/norvex.wxs
                                   ${CMAKE_SOURCE_DIR}/packaging/windows/build-msi.sh
                           COMMENT "Building ${msi} for the upgrade test" VERBATIM)
    endforeach()
    add_custom_target(norvex_test_packages ALL DEPENDS ${NORVEX_EARLIER_MSI} ${NORVEX_REBUILT_MSI})

    foreach(case FirstInstall.test_install_start_from_the_shortcuts_and_uninstall
                 Upgrade.test_later_builds_keep_settings_and_the_start_at_logon_choice)
        string(REGEX REPLACE "\\..*" "" name ${case})
        add_test(NAME Installer.${name}
                 COMMAND ${NORVEX_PYTHON3} ${CMAKE_CURRENT_LIST_DIR}/installer/msi_test.py
                         ${NORVEX_MSI} ${NORVEX_EARLIER_MSI} ${NORVEX_REBUILT_MSI}
                         $<TARGET_FILE:NORVEX>
                         ${CMAKE_SOURCE_DIR}/src/resources/norvex.ico
                         $<TARGET_FILE:norvex_gui_driver> ${CMAKE_SOURCE_DIR}/cmake/wine-prefix.sh
                         ${CMAKE_BINARY_DIR}/wineprefix-msi ${case})
        set_tests_properties(Installer.${name} PROPERTIES TIMEOUT 600 RESOURCE_LOCK wineprefix-msi)
    endforeach()
endif()
