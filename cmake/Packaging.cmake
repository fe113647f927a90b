# Install rules and the Debian package (`cpack -G DEB` in the build folder).
# Only the program is installed, with its desktop entry, icons, manual page and
# the documents Debian asks of every package: the tools, tests and benchmark
# are for developers and stay in the build folder.
include(GNUInstallDirs)

# Folders made by the installation get the usual modes whatever the umask.
set(car_directory_permissions OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE
                              WORLD_READ WORLD_EXECUTE)
set(CMAKE_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS ${car_directory_permissions})
set(CPACK_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS ${car_directory_permissions})

install(TARGETS ${CAR_TITLE} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
if(NOT WIN32)
    install(FILES ${CMAKE_BINARY_DIR}/app/${CAR_PACKAGE_NAME}.desktop
            DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
    foreach(size 16 32 48 64 128 256)
        install(FILES ${PROJECT_SOURCE_DIR}/app/resources/program-${size}.png
                DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/${size}x${size}/apps
                RENAME ${CAR_PACKAGE_NAME}.png)
    endforeach()
    install(FILES ${PROJECT_SOURCE_DIR}/app/resources/program.svg
            DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps
            RENAME ${CAR_PACKAGE_NAME}.svg)

    # The changelog and the manual page carry the identity's name and version;
    # Debian wants both compressed, without a name or time stamp in the gzip
    # header so that the package comes out the same on every build.
    set(docs ${CMAKE_BINARY_DIR}/packaging)
    configure_file(${PROJECT_SOURCE_DIR}/packaging/changelog.in ${docs}/changelog @ONLY)
    configure_file(${PROJECT_SOURCE_DIR}/packaging/program.1.in ${docs}/${CAR_TITLE}.1 @ONLY)
    find_program(CAR_GZIP gzip REQUIRED)
    mark_as_advanced(CAR_GZIP)
    add_custom_command(
        OUTPUT ${docs}/changelog.gz ${docs}/${CAR_TITLE}.1.gz
        COMMAND ${CAR_GZIP} -9nkf ${docs}/changelog ${docs}/${CAR_TITLE}.1
        DEPENDS ${docs}/changelog ${docs}/${CAR_TITLE}.1
        COMMENT "Compressing the changelog and the manual page")
    add_custom_target(debian_docs ALL DEPENDS ${docs}/changelog.gz ${docs}/${CAR_TITLE}.1.gz)

    set(doc_dir ${CMAKE_INSTALL_DATADIR}/doc/${CAR_PACKAGE_NAME})
    install(FILES ${PROJECT_SOURCE_DIR}/packaging/copyright ${docs}/changelog.gz
            DESTINATION ${doc_dir})
    install(FILES ${docs}/${CAR_TITLE}.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
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
# md5sums and the other control files with the modes dpkg itself gives them.
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
# The libraries come from what the program links (dpkg-shlibdeps, in
# dpkg-dev); the xcb window-system plugin comes with libqt6gui6. The window asks
# for Arial, which fontconfig maps to Liberation Sans, same widths.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "fonts-liberation")

include(CPack)
