# The Debian package, made by CPack from the install rules:
#   cmake --build <build> --target package      (or: cd <build> && cpack -G DEB)
# The package's dependencies are found by dpkg-shlibdeps from the programs' libraries, never
# listed by hand; binaries are stripped; files and folders are root's, folders 0755. Included
# before the subfolders, whose install rules use the maintainer (the changelog); CPack itself is
# included at the end of the top-level CMakeLists.txt.
set(VELK_PACKAGE_MAINTAINER "VelkDownloader developers <velkdownloader@velkora.test>"
    CACHE STRING "Maintainer field of the Debian package: name <address>")

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME velkdownloader)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR VelkDownloader)
set(CPACK_PACKAGE_CONTACT "${VELK_PACKAGE_MAINTAINER}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "download manager for the games bought in the Velkora store")
# CPack puts the summary first and this below it, as the long description.
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
    "VelkDownloader downloads the games a user bought in the Velkora store. The
store's web site starts it through velkdownloader:// addresses; it signs the
user in, downloads the game's chunks over up to 20 connections, checks every
chunk's digest and the finished file, and offers to start the installer.
Interrupted downloads resume from the chunks on disk.
.
velkdownloader is the desktop program (a window and a tray icon);
velkdownloader-cli does the same from a terminal or a script.")
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# The store's pages, and an installer that is not a program, are opened with the desktop's default
# handler (xdg-open).
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS xdg-utils)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_COMPRESSION_TYPE xz)
set(CPACK_STRIP_FILES ON)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
    OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
set(CPACK_PRE_BUILD_SCRIPTS ${CMAKE_CURRENT_LIST_DIR}/StripPackage.cmake)
set(CPACK_VELK_STRIP ${CMAKE_STRIP})
