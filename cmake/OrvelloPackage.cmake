# The desktop entry, icon and licences, and the Debian package (cpack -G DEB).

install(FILES ${PROJECT_SOURCE_DIR}/assets/orvello-player.desktop DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
install(FILES ${PROJECT_SOURCE_DIR}/assets/orvello-player.svg
        DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps)
install(FILES ${PROJECT_SOURCE_DIR}/COPYRIGHT DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/orvello-player RENAME copyright)

set(CPACK_PACKAGE_NAME orvello-player)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "ten-foot media player with a television menu")
set(CPACK_PACKAGE_DESCRIPTION
    "A media player driven by a remote, a game controller or a keyboard, with menus described by JSON templates. \
The package holds the player, its three libraries with their headers, pkg-config files and CMake package \
configs, and the tools template-tool, remote-tool and media-tool.")
set(CPACK_PACKAGE_CONTACT "ORVELLO PLAYER developers <maintainers@orvello-player.invalid>")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION video)
# Shared-library dependencies come from the binaries (dpkg-shlibdeps); the
# libraries the player loads itself live in its own folder.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${ORVELLO_OUT})
# The player draws its text with this font.
set(CPACK_DEBIAN_PACKAGE_DEPENDS "fonts-dejavu-core")
set(CPACK_GENERATOR DEB)
include(CPack)
