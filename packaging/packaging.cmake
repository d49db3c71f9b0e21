# What `cmake --install` puts beside the program, and how CPack turns the
# installed tree into a Debian package. Included from the top-level list.

if(WIN32)
    set(HARNELO_DOC_DIR doc)
    include(${CMAKE_CURRENT_LIST_DIR}/windows/deploy.cmake)
else()
    set(HARNELO_DOC_DIR ${CMAKE_INSTALL_DATAROOTDIR}/doc/harnelo)
endif()

if(UNIX AND NOT APPLE)
    install(FILES ${CMAKE_CURRENT_LIST_DIR}/harnelo.desktop
            DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/applications)
    # Software centres list the program from this.
    install(FILES ${CMAKE_CURRENT_LIST_DIR}/io.github.harnelo.Harnelo.metainfo.xml
            DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/metainfo)
    # Below the display server, for Wayland and console sessions: uinput is
    # loaded at boot and the logged-in user may use it.
    install(FILES ${CMAKE_CURRENT_LIST_DIR}/linux/70-harnelo-uinput.rules
            DESTINATION lib/udev/rules.d)
    install(FILES ${CMAKE_CURRENT_LIST_DIR}/linux/harnelo-uinput.conf
            DESTINATION lib/modules-load.d)
    foreach(size 48 64 128 256)
        install(FILES ${CMAKE_CURRENT_LIST_DIR}/icons/harnelo-${size}.png
                DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/icons/hicolor/${size}x${size}/apps
                RENAME harnelo.png)
    endforeach()
endif()

# Firmware writers need the protocol and the Arduino library more than anyone.
# They keep their places in the source tree, so the links between them hold.
install(FILES ${PROJECT_SOURCE_DIR}/README.md DESTINATION ${HARNELO_DOC_DIR})
install(FILES ${PROJECT_SOURCE_DIR}/docs/protocol.md DESTINATION ${HARNELO_DOC_DIR}/docs)
install(DIRECTORY ${PROJECT_SOURCE_DIR}/firmware/Harnelo
        DESTINATION ${HARNELO_DOC_DIR}/firmware)

set(CPACK_PACKAGE_NAME harnelo)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "Harnelo maintainers")
set(CPACK_PACKAGE_CONTACT "Harnelo maintainers <maintainers@users.noreply.c-seed-8782a079.example>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "${PROJECT_DESCRIPTION}")
set(CPACK_PACKAGE_DESCRIPTION
"Harnelo reads short text lines that a board such as an Arduino writes to a
serial port and turns them into mouse movement, clicks, wheel turns and key
presses on the desktop. Buttons and keys the board left held are released
when the link closes or is lost.")
set(CPACK_STRIP_FILES ON)

if(CMAKE_SYSTEM_NAME STREQUAL "Linux")
    set(CPACK_GENERATOR DEB)
endif()
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# dpkg-shlibdeps names the Qt, X11 and C++ runtime libraries the program links.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# Qt loads its display plugin at run time, so no linked library pulls it in:
# without it the program cannot open a window.
set(CPACK_DEBIAN_PACKAGE_DEPENDS qt6-qpa-plugins)
