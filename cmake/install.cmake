# What `cmake --install` puts under the prefix (/usr/local by default, /usr
# in the Debian package), and the Debian package that CPack makes of it
# (scripts/package). The program itself is installed by src/app.
include(GNUInstallDirs)

set(data ${PROJECT_SOURCE_DIR}/data)
install(FILES ${data}/applications/brivane.desktop DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
install(FILES ${data}/icons/brivane.svg DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps)
# The PNGs are rendered from the SVG and committed (rsvg-convert -w N -h N),
# so that building needs no renderer.
foreach(size 48 128)
  install(FILES ${data}/icons/brivane-${size}.png DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/${size}x${size}/apps
    RENAME brivane.png)
endforeach()
install(FILES ${data}/man/brivane.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
# Where xscreensaver's settings window reads the descriptions of its hacks.
install(FILES ${data}/xscreensaver/brivane.xml DESTINATION ${CMAKE_INSTALL_DATADIR}/xscreensaver/config)
# The idle watcher's login entry, to copy into ~/.config/autostart/ by hand
# (the settings dialog writes the same content; its test compares the two).
install(FILES ${data}/autostart/brivane-idle.desktop DESTINATION ${CMAKE_INSTALL_DATADIR}/brivane)

# The Debian package. CPack installs into a staging folder under /usr; the
# script below then does what Debian's policy wants of the staged tree
# (compressed manual page, copyright and changelog in the doc folder).
configure_file(${data}/debian/changelog.in ${CMAKE_BINARY_DIR}/debian/changelog @ONLY)
set(BRIVANE_DEBIAN_COPYRIGHT ${data}/debian/copyright)
set(BRIVANE_DEBIAN_CHANGELOG ${CMAKE_BINARY_DIR}/debian/changelog)
configure_file(${PROJECT_SOURCE_DIR}/cmake/debian_staging.cmake.in ${CMAKE_BINARY_DIR}/debian/staging.cmake @ONLY)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME brivane)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "The Brivane developers")
set(CPACK_PACKAGE_CONTACT "The Brivane developers <brivane@example.org>")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
  OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
set(CPACK_PRE_BUILD_SCRIPTS ${CMAKE_BINARY_DIR}/debian/staging.cmake)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION mail)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# Loaded at run time (the update check), so dpkg-shlibdeps cannot see it.
set(CPACK_DEBIAN_PACKAGE_DEPENDS libcurl4)
# Certificates are verified against the system's store.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS ca-certificates)
set(CPACK_DEBIAN_PACKAGE_SUGGESTS "xscreensaver-data, xss-lock")
# The synopsis, then the long text; CPack indents each line after the first
# by one blank, so a lone "." is the paragraph break.
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION "mail-notification screensaver for X11
Brivane shows the new mail of any number of POP3 and IMAP4 accounts while
the computer is idle: full screen, in a panel that wanders over the screen,
per account and folder, with senders, subjects and optional previews. It
only reads mail and never marks, moves or deletes anything.
.
It starts by itself after an idle time with its own watcher, from an idle
tool such as xss-lock, or as one of xscreensaver's screensavers, and checks
the accounts from a terminal with --check.")
include(CPack)
