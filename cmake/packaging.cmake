# Install rules and the Debian package.
#
#   cmake --install build --prefix /usr/local     installs into a prefix
#   cmake --build build --target package          builds lanchat_<version>_<arch>.deb
#
# The version comes from project() in the top-level CMakeLists.txt.

include(GNUInstallDirs)

install(TARGETS lanchat RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})

# Menu entry and icon. The entry names the icon "lanchat", which the icon theme
# finds under hicolor; the 32x32 PNG is the one the windows use as well.
install(FILES ${PROJECT_SOURCE_DIR}/packaging/lanchat.desktop
        DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
install(FILES ${PROJECT_SOURCE_DIR}/resources/lanchat-32.png
        DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/32x32/apps
        RENAME lanchat.png)
install(FILES ${PROJECT_SOURCE_DIR}/resources/lanchat.svg
        DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps)

set(CPACK_GENERATOR "DEB")
set(CPACK_PACKAGE_NAME "lanchat")
set(CPACK_PACKAGE_VENDOR "lanchat developers")
set(CPACK_PACKAGE_CONTACT "lanchat developers <lanchat@localhost>")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "small chat program for a local network")
set(CPACK_PACKAGING_INSTALL_PREFIX "/usr")
set(CPACK_STRIP_FILES ON)

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION "net")
set(CPACK_DEBIAN_PACKAGE_PRIORITY "optional")
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${CPACK_PACKAGE_CONTACT}")
# The long description under the summary line; CPack indents it for the
# control file and turns the empty line into the " ." paragraph break.
set(CPACK_PACKAGE_DESCRIPTION "One copy of lanchat runs as the hub; the others connect to it over TCP
(port 9898 by default). Every participant types one-line messages, which
the hub relays to everyone together with the author's nickname. The hub
keeps the list of participants and announces who joins and leaves.

The user interface is in Japanese.")
# The libraries come from the binary (dpkg-shlibdeps); the rest is added here.
# The interface is Japanese, so a CJK font is required; Qt's own Japanese
# texts (button labels, socket errors) are welcome but not essential.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "fonts-noto-cjk")
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "qt6-translations-l10n")

include(CPack)
