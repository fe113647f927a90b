# Install rules and the Debian package (`cpack -G DEB` in the build folder).
# Only the program is installed, with its desktop entry and icons: the tools,
# tests and benchmark are for developers and stay in the build folder.
include(GNUInstallDirs)

install(TARGETS ${CAR_TITLE} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
if(NOT WIN32)
    install(FILES ${CMAKE_BINARY_DIR}/app/${CAR_PACKAGE_NAME}.desktop
            DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
    foreach(size 16 32 48)
        install(FILES ${PROJECT_SOURCE_DIR}/app/resources/program-${size}.png
                DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/${size}x${size}/apps
                RENAME ${CAR_PACKAGE_NAME}.png)
    endforeach()
endif()

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME ${CAR_PACKAGE_NAME})
set(CPACK_PACKAGE_VERSION ${CAR_PACKAGE_VERSION})
set(CPACK_PACKAGE_CONTACT ${CAR_MAINTAINER})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY ${CAR_SUMMARY})
# Lines of at most 80 columns, as Debian's tools show them.
string(JOIN "\n" CPACK_PACKAGE_DESCRIPTION
    "For the Tinjara school-records product, run under Wine. The operator types"
    "the school code; the program finds the latest session folder on the Wine"
    "prefix's C: drive, backs its database up, writes a compacted and repaired"
    "copy and puts it in place. When a step fails it puts the backup back.")
set(CPACK_STRIP_FILES ON)

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# The libraries come from what the program links (dpkg-shlibdeps, in
# dpkg-dev); the xcb window-system plugin comes with libqt6gui6. The window asks
# for Arial, which fontconfig maps to Liberation Sans, same widths.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "fonts-liberation")

include(CPack)
