# Where an install puts Quorvel, and the Debian package made from that install.
# The file names follow the freedesktop conventions so that menus, software
# centres and icon themes find the program under one reverse-DNS id.

include(GNUInstallDirs)

set(QUORVEL_APP_ID io.github.quorvel.Quorvel)
set(_quorvel_pkg ${PROJECT_SOURCE_DIR}/packaging)

install(TARGETS quorvel RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
# The site rewriter for build scripts, on the same composition core.
install(TARGETS quorvel-site RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES ${_quorvel_pkg}/${QUORVEL_APP_ID}.desktop
        DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
install(FILES ${_quorvel_pkg}/${QUORVEL_APP_ID}.metainfo.xml
        DESTINATION ${CMAKE_INSTALL_DATADIR}/metainfo)
install(FILES ${_quorvel_pkg}/${QUORVEL_APP_ID}.svg
        DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps)
foreach(size 48 128)
    install(FILES ${_quorvel_pkg}/icons/${QUORVEL_APP_ID}-${size}.png
            DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/${size}x${size}/apps
            RENAME ${QUORVEL_APP_ID}.png)
endforeach()
# Debian looks for the licence of a package in its doc directory under this name.
install(FILES ${PROJECT_SOURCE_DIR}/LICENSE
        DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/quorvel RENAME copyright)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME quorvel)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "The Quorvel developers")
set(CPACK_PACKAGE_CONTACT "The Quorvel developers <quorvel@users.noreply.github.com>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "write e-mail links that hide the address from the page source")
# CPack's DEB generator turns double quotes in the description into
# semicolons, so the text does without them.
string(CONCAT CPACK_PACKAGE_DESCRIPTION
    "Quorvel takes a link text and an e-mail address and writes the HTML of a\n"
    "mail link, optionally wrapped in a JavaScript block that splits the word\n"
    "mailto in two, optionally with every character of the address written as\n"
    "a numeric character reference. The result is copied to the clipboard or\n"
    "previewed in the web browser. The interface is in Japanese.\n"
    "quorvel-site rewrites every mail link of a built static site the same way.")
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
set(CPACK_PACKAGE_HOMEPAGE_URL https://github.com/quorvel/quorvel)
# A package carries no debugging information; the build tree keeps it.
set(CPACK_STRIP_FILES ON)

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION web)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
# The Qt libraries come in through dpkg-shlibdeps, with the versions the build
# really linked against. The preview opens the page with xdg-open.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "xdg-utils")
# Typing Japanese into the link text needs an input method front end in Qt:
# fcitx5's comes as its own package, the ibus one ships inside libqt6gui6.
# qt6-wayland lets the window run natively on Wayland, where the desktop file
# name set in main() ties it to its menu entry.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS
    "fcitx5-frontend-qt6, fonts-noto-cjk | fonts-ipafont-gothic | fonts-vlgothic, qt6-wayland")
set(CPACK_DEBIAN_PACKAGE_SUGGESTS "fcitx5-mozc | ibus-mozc")

include(CPack)
