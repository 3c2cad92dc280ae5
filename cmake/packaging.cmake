# Installation of the manual page and the Debian package (cpack -G DEB).
include(GNUInstallDirs)

set(TWINFOLD_MAINTAINER "Seed 31d00e2d maintainers <maintainers@users.noreply.c-seed-31d00e2d.example>"
  CACHE STRING "Maintainer named in the Debian package")

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
      -DCPACK=${CMAKE_CPACK_COMMAND}
      -DC_COMPILER=${CMAKE_C_COMPILER}
      -DCXX_COMPILER=${CMAKE_CXX_COMPILER}
      -P ${PROJECT_SOURCE_DIR}/cmake/check_package.cmake)
  # The release build inside uses both cores; nothing else should run beside it.
  set_tests_properties(packaging_debian PROPERTIES
    TIMEOUT 900 RUN_SERIAL ON SKIP_REGULAR_EXPRESSION "SKIPPED:")
endif()
