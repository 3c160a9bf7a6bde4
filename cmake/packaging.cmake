# SPDX-License-Identifier: MIT
# Install rules and the Debian package.
#
#   cmake --install build --prefix /usr/local     installs into a prefix
#   cmake --build build --target package          builds lanchat_<version>_<arch>.deb
#
# The version comes from project() in the top-level CMakeLists.txt.

include(GNUInstallDirs)

install(TARGETS lanchat RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
# The compilers' version strings are no use in an installed program (Debian's own
# packages drop them too).
if(CMAKE_OBJCOPY)
    install(CODE "execute_process(COMMAND ${CMAKE_OBJCOPY} --remove-section=.comment
                                          \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}/lanchat\")")
endif()

# Menu entry, software-centre metadata and icon. Both are named by the reverse domain
# name under which the program is known to desktops (see the metainfo file); the entry
# names the icon "lanchat", which the icon theme finds under hicolor, and the window
# class stays "lanchat". The 32x32 PNG is the one the windows use as well.
set(LANCHAT_APP_ID "localhost.lanchat.lanchat")
install(FILES ${PROJECT_SOURCE_DIR}/packaging/${LANCHAT_APP_ID}.desktop
        DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
install(FILES ${PROJECT_SOURCE_DIR}/packaging/${LANCHAT_APP_ID}.metainfo.xml
        DESTINATION ${CMAKE_INSTALL_DATADIR}/metainfo)
install(FILES ${PROJECT_SOURCE_DIR}/resources/lanchat-32.png
        DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/32x32/apps
        RENAME lanchat.png)
install(FILES ${PROJECT_SOURCE_DIR}/resources/lanchat.svg
        DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps)

# The manual page, compressed as Debian wants it: gzip -9 without the file's name and
# time, so that two builds give the same bytes.
find_program(GZIP_EXECUTABLE gzip REQUIRED)
set(LANCHAT_MAN_GZ ${CMAKE_CURRENT_BINARY_DIR}/lanchat.1.gz)
add_custom_command(OUTPUT ${LANCHAT_MAN_GZ}
                   COMMAND ${GZIP_EXECUTABLE} -9n -c ${PROJECT_SOURCE_DIR}/packaging/lanchat.1 > ${LANCHAT_MAN_GZ}
                   DEPENDS ${PROJECT_SOURCE_DIR}/packaging/lanchat.1 VERBATIM)
add_custom_target(lanchat_manpage ALL DEPENDS ${LANCHAT_MAN_GZ})
install(FILES ${LANCHAT_MAN_GZ} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
install(FILES ${PROJECT_SOURCE_DIR}/packaging/copyright DESTINATION ${CMAKE_INSTALL_DOCDIR})

# The placeholder maintainer, used only when LANCHAT_MAINTAINER is not given (below).
set(LANCHAT_FALLBACK_MAINTAINER "lanchat developers <lanchat@localhost>")

# CHANGELOG.md as changelog.gz. The package is native (its version is the project's),
# so Debian reads that file as a Debian changelog: it is written in that format
# (packaging/debian-changelog.sh), with the package's maintainer, who is known only when
# the package is made (cmake/cpackoptions.cmake); hence when the files are installed.
install(CODE "
    set(maintainer \"\$ENV{LANCHAT_MAINTAINER}\")
    if(maintainer STREQUAL \"\")
        set(maintainer \"${LANCHAT_FALLBACK_MAINTAINER}\")
    endif()
    set(dir \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_DOCDIR}\")
    file(MAKE_DIRECTORY \"\${dir}\")
    execute_process(COMMAND sh ${PROJECT_SOURCE_DIR}/packaging/debian-changelog.sh
                            ${PROJECT_SOURCE_DIR}/CHANGELOG.md \"\${maintainer}\"
                    COMMAND ${GZIP_EXECUTABLE} -9n
                    OUTPUT_FILE \"\${dir}/changelog.gz\" COMMAND_ERROR_IS_FATAL ANY)
")

set(CPACK_GENERATOR "DEB")
set(CPACK_PACKAGE_NAME "lanchat")
set(CPACK_PACKAGE_VENDOR "lanchat developers")
# The project has no mail address of its own: whoever builds the package names the
# maintainer in LANCHAT_MAINTAINER ("Name <address>"), read when the package is made
# (cmake/cpackoptions.cmake); this placeholder is only the fallback.
set(CPACK_PACKAGE_CONTACT "${LANCHAT_FALLBACK_MAINTAINER}")
set(CPACK_PROJECT_CONFIG_FILE ${PROJECT_SOURCE_DIR}/cmake/cpackoptions.cmake)
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
# The interface is Japanese, so a Japanese font is required: Noto CJK, or any of the
# smaller ones that provide fonts-japanese-gothic (IPA Gothic, VL Gothic). Qt's own
# Japanese texts (button labels, socket errors) are welcome but not essential.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "fonts-noto-cjk | fonts-japanese-gothic")
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "qt6-translations-l10n")

include(CPack)
