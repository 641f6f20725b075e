# The Debian package (`cpack -G DEB`, run by scripts/package.sh): everything the install rules
# put under the prefix, with the runtime dependencies found by dpkg-shlibdeps from the shared
# libraries the programs link.
set(TUNARA_MAINTAINER "The Tunara developers <maintainers@tunara.example.org>")

# The package's changelog (a native package: /usr/share/doc/tunara/changelog.gz).
string(TIMESTAMP TUNARA_CHANGELOG_DATE "%a, %d %b %Y %H:%M:%S +0000" UTC)
set(changelog ${CMAKE_BINARY_DIR}/dist/changelog)
file(WRITE ${changelog}
  "tunara (${PROJECT_VERSION}) unstable; urgency=medium\n\n"
  "  * Package built from the Tunara source tree.\n\n"
  " -- ${TUNARA_MAINTAINER}  ${TUNARA_CHANGELOG_DATE}\n")
add_custom_command(OUTPUT ${changelog}.gz
  COMMAND ${GZIP_EXECUTABLE} -9 -n -f -k ${changelog}
  DEPENDS ${changelog} VERBATIM)
add_custom_target(tunara_changelog ALL DEPENDS ${changelog}.gz)
install(FILES ${changelog}.gz DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/tunara)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME tunara)
set(CPACK_PACKAGE_VENDOR "The Tunara developers")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT ${TUNARA_MAINTAINER})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "desktop companion of a portable MP3 player")
# Lines of the extended description stay under 80 columns.
string(CONCAT CPACK_PACKAGE_DESCRIPTION
  "Tunara shows the files in the player's internal flash memory and on its\n"
  "memory card side by side, moves files both ways, deletes, renames, reorders\n"
  "and formats them, edits the ID3 tags of local MP3 files and checks them\n"
  "against what the player can decode. The package holds the program, the\n"
  "device link library KestoUSB with its header and pkg-config file, the\n"
  "command-line tool kesto and the virtual player tunara-vplayer.")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE "https://tunara.example.org/")
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
# The library's cache is refreshed by dpkg's ldconfig trigger; the scripts only apply the udev
# rule to a player that is already plugged in (and CPack writes no ldconfig calls of its own).
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${PROJECT_SOURCE_DIR}/dist/debian/triggers
    ${PROJECT_SOURCE_DIR}/dist/debian/postinst ${PROJECT_SOURCE_DIR}/dist/debian/postrm)
set(CPACK_STRIP_FILES ON)
set(CPACK_PACKAGING_INSTALL_PREFIX ${CMAKE_INSTALL_PREFIX})
include(CPack)
