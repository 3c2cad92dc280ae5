# Installation of the manual page and the Debian package (cpack -G DEB).
include(GNUInstallDirs)

# Build directories made earlier may still hold the placeholder address of old.
if(TWINFOLD_MAINTAINER MATCHES "\\.example>$")
  unset(TWINFOLD_MAINTAINER CACHE)
endif()
# The one place that names the maintainer: the package's control file, its
# copyright file and its changelog take it from here.
set(TWINFOLD_MAINTAINER "twinfold maintainers <maintainers@twinfold.org>"
  CACHE STRING "Maintainer named in the Debian package")
# The Debian revision of the package: the changelog's first entry names
# PROJECT_VERSION-TWINFOLD_DEBIAN_REVISION.
set(TWINFOLD_DEBIAN_REVISION 1)

# Debian ships manual pages compressed; man reads either form.
set(twinfold_man_page ${PROJECT_SOURCE_DIR}/doc/twinfold.1)
find_program(GZIP_PROGRAM gzip)
if(GZIP_PROGRAM)
  set(twinfold_man_copy ${PROJECT_BINARY_DIR}/man/twinfold.1)
  add_custom_command(OUTPUT ${twinfold_man_copy}.gz
    COMMAND ${CMAKE_COMMAND} -E make_directory ${PROJECT_BINARY_DIR}/man
    COMMAND ${CMAKE_COMMAND} -E copy ${twinfold_man_page} ${twinfold_man_copy}
    COMMAND ${GZIP_PROGRAM} -9 -n -f ${twinfold_man_copy}
    DEPENDS ${twinfold_man_page}
    VERBATIM)
  add_custom_target(twinfold_man ALL DEPENDS ${twinfold_man_copy}.gz)
  install(FILES ${twinfold_man_copy}.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
else()
  install(FILES ${twinfold_man_page} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
endif()

# The copyright file (Debian's machine-readable format) holds the licence of
# LICENSE; it is installed with the binary, whose licence asks for it.
file(READ ${PROJECT_SOURCE_DIR}/LICENSE twinfold_licence)
string(REGEX REPLACE "^.*Copyright \\(c\\) ([0-9]+), ([^\n]*)\n\n" "" twinfold_licence_terms
  "${twinfold_licence}")
string(REGEX MATCH "Copyright \\(c\\) ([0-9]+), ([^\n]*)" twinfold_copyright_line "${twinfold_licence}")
set(twinfold_copyright_holder "${CMAKE_MATCH_1} ${CMAKE_MATCH_2}")
string(STRIP "${twinfold_licence_terms}" twinfold_licence_terms)
string(REGEX REPLACE "\n\n" "\n.\n" twinfold_licence_terms "${twinfold_licence_terms}")
string(REGEX REPLACE "\n" "\n " twinfold_licence_terms "${twinfold_licence_terms}")
set(twinfold_copyright_file ${PROJECT_BINARY_DIR}/debian/copyright)
file(CONFIGURE OUTPUT ${twinfold_copyright_file} CONTENT
"Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/
Upstream-Name: twinfold
Upstream-Contact: ${TWINFOLD_MAINTAINER}

Files: *
Copyright: ${twinfold_copyright_holder}
License: BSD-2-Clause
 ${twinfold_licence_terms}
" @ONLY)
install(FILES ${twinfold_copyright_file} DESTINATION ${CMAKE_INSTALL_DOCDIR})

# The package's changelog, compressed as Debian ships it (gzip -9n: no name,
# no time stamp). Only the package holds it.
configure_file(${PROJECT_SOURCE_DIR}/cmake/debian/changelog.in
  ${PROJECT_BINARY_DIR}/debian/changelog.Debian @ONLY)
if(GZIP_PROGRAM)
  add_custom_command(OUTPUT ${PROJECT_BINARY_DIR}/debian/changelog.Debian.gz
    COMMAND ${GZIP_PROGRAM} -9 -n -c ${PROJECT_BINARY_DIR}/debian/changelog.Debian
      > ${PROJECT_BINARY_DIR}/debian/changelog.Debian.gz
    DEPENDS ${PROJECT_BINARY_DIR}/debian/changelog.Debian)
  add_custom_target(twinfold_debian_changelog ALL
    DEPENDS ${PROJECT_BINARY_DIR}/debian/changelog.Debian.gz)
  install(FILES ${PROJECT_BINARY_DIR}/debian/changelog.Debian.gz
    DESTINATION ${CMAKE_INSTALL_DOCDIR} COMPONENT debian EXCLUDE_FROM_ALL)
endif()

# What lintian says of the package and is not to be mended, with the reasons.
install(FILES ${PROJECT_SOURCE_DIR}/cmake/debian/lintian-overrides
  DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/lintian/overrides RENAME twinfold
  COMPONENT debian EXCLUDE_FROM_ALL)

set(CPACK_PACKAGE_NAME twinfold)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "${TWINFOLD_MAINTAINER}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "reclaim disk space by linking duplicates and sparse rewriting")
set(CPACK_PACKAGE_DESCRIPTION
"twinfold reads a NUL-separated list of file names (find -print0) and links
byte-equal files on one device by hard or symbolic links, deletes duplicates,
rewrites files sparse where that saves disk blocks, expands hard links and
desparses files, or only reports what it would do.")
set(CPACK_STRIP_FILES ON)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_RELEASE ${TWINFOLD_DEBIAN_REVISION})
# One package holds everything installed, the changelog with it.
set(CPACK_COMPONENTS_ALL Unspecified debian)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_GROUPING ALL_COMPONENTS_IN_ONE)
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
# The binary needs no other program: its dependencies are its libraries.
find_program(DPKG_SHLIBDEPS_PROGRAM dpkg-shlibdeps)
if(DPKG_SHLIBDEPS_PROGRAM)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
else()
  set(CPACK_DEBIAN_PACKAGE_DEPENDS "libc6, libstdc++6, libgcc-s1")
endif()

find_program(DPKG_DEB_PROGRAM dpkg-deb)
if(DPKG_DEB_PROGRAM)
  set(CPACK_GENERATOR DEB)
else()
  set(CPACK_GENERATOR TGZ)
endif()
include(CPack)

# Builds the package from a separate release build and checks what it holds.
if(TWINFOLD_TESTS)
  add_test(NAME packaging_debian
    COMMAND ${CMAKE_COMMAND}
      -DSOURCE_DIR=${PROJECT_SOURCE_DIR}
      -DWORK_DIR=${PROJECT_BINARY_DIR}/packaging-check
      -DVERSION=${PROJECT_VERSION}
      -DDEBIAN_VERSION=${PROJECT_VERSION}-${TWINFOLD_DEBIAN_REVISION}
      "-DMAINTAINER=${TWINFOLD_MAINTAINER}"
      -DCPACK=${CMAKE_CPACK_COMMAND}
      -DC_COMPILER=${CMAKE_C_COMPILER}
      -DCXX_COMPILER=${CMAKE_CXX_COMPILER}
      -P ${PROJECT_SOURCE_DIR}/cmake/check_package.cmake)
  # The release build inside uses both cores; nothing else should run beside it.
  set_tests_properties(packaging_debian PROPERTIES
    TIMEOUT 900 RUN_SERIAL ON SKIP_REGULAR_EXPRESSION "SKIPPED:")
endif()
