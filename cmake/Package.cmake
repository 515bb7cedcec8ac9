# Installation and the Debian package. The updater is not run from /usr: it
# must live in the client's folder, which it updates. The package keeps a
# copy in /usr/lib/skiff for skiff-publish to put into starter kits, with
# the skins, the kit scripts and the icon in /usr/share/skiff.
install(TARGETS skiff-publish RUNTIME DESTINATION bin)
install(TARGETS skiff RUNTIME DESTINATION lib/skiff)
install(DIRECTORY ${PROJECT_SOURCE_DIR}/assets/upimg DESTINATION share/skiff)
install(FILES ${PROJECT_SOURCE_DIR}/assets/skiff.png DESTINATION share/skiff)
install(PROGRAMS ${PROJECT_SOURCE_DIR}/kit/install.sh ${PROJECT_SOURCE_DIR}/kit/uninstall.sh
        DESTINATION share/skiff/kit)
install(FILES ${PROJECT_SOURCE_DIR}/debian/copyright ${PROJECT_SOURCE_DIR}/README.md ${PROJECT_SOURCE_DIR}/LICENSE
        ${PROJECT_SOURCE_DIR}/docs/MIRRORS.md DESTINATION share/doc/skiff)
install(DIRECTORY ${PROJECT_SOURCE_DIR}/docs/mirrors DESTINATION share/doc/skiff)
install(FILES ${PROJECT_SOURCE_DIR}/debian/lintian-overrides DESTINATION share/lintian/overrides RENAME skiff)
# The kit carries the same notices as the package (the updater in it holds
# the libraries they name).
install(FILES ${PROJECT_SOURCE_DIR}/debian/copyright DESTINATION share/skiff/kit RENAME LICENSE.txt)

# Man pages, compressed as Debian keeps them (-n: the same bytes every build).
find_program(GZIP_PROGRAM gzip REQUIRED)
add_custom_command(OUTPUT ${CMAKE_BINARY_DIR}/changelog.gz
  COMMAND ${GZIP_PROGRAM} -9n -c ${PROJECT_SOURCE_DIR}/debian/changelog > ${CMAKE_BINARY_DIR}/changelog.gz
  DEPENDS ${PROJECT_SOURCE_DIR}/debian/changelog VERBATIM)
install(FILES ${CMAKE_BINARY_DIR}/changelog.gz DESTINATION share/doc/skiff)
set(man_pages skiff.1 skiff-publish.1 skiff-files.5)
foreach(page ${man_pages})
  add_custom_command(OUTPUT ${CMAKE_BINARY_DIR}/man/${page}.gz
    COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/man
    COMMAND ${GZIP_PROGRAM} -9n -c ${PROJECT_SOURCE_DIR}/man/${page} > ${CMAKE_BINARY_DIR}/man/${page}.gz
    DEPENDS ${PROJECT_SOURCE_DIR}/man/${page} VERBATIM)
  list(APPEND man_outputs ${CMAKE_BINARY_DIR}/man/${page}.gz)
  string(REGEX REPLACE ".*\\.([0-9])$" "\\1" section ${page})
  install(FILES ${CMAKE_BINARY_DIR}/man/${page}.gz DESTINATION share/man/man${section})
endforeach()
add_custom_target(man_pages ALL DEPENDS ${man_outputs} ${CMAKE_BINARY_DIR}/changelog.gz)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME skiff)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "updater for client programs kept on FTP mirrors")
# CPack puts the summary on the first line and indents each line of this.
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
"skiff brings a client program's installed files in step with the copies
kept on a group of FTP mirror servers, then starts the client's launcher.
.
This package holds skiff-publish, which publishes releases (gzip files,
pack archives, minisign signatures), checks published folders and makes
the starter kit that end users download, with the updater itself.")
set(CPACK_PACKAGE_CONTACT "skiff developers <skiff-dev@users.noreply.github.com>")
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_SUGGESTS "minisign")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_STRIP_FILES ON)
include(CPack)
