# Builds twinfold in a release configuration, makes the Debian package with
# cpack and checks its file list, control fields, binary, manual page,
# copyright file and changelog, and what lintian says of it (where lintian is
# installed: no error).
# Run by ctest as: cmake -DSOURCE_DIR=... -DWORK_DIR=... -DVERSION=... -DDEBIAN_VERSION=...
#   -DMAINTAINER=... -DCPACK=... -P check_package.cmake
cmake_minimum_required(VERSION 3.20)

find_program(DPKG_DEB dpkg-deb)
find_program(GZIP gzip)
if(NOT DPKG_DEB OR NOT GZIP)
  message("SKIPPED: dpkg-deb or gzip not found; no Debian package can be built here")
  return()
endif()

function(run_checked)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "failed (${rc}): ${ARGN}\n${out}\n${err}")
  endif()
  set(run_output "${out}" PARENT_SCOPE)
endfunction()

function(expect condition_text)
  if(NOT ${ARGN})
    message(SEND_ERROR "${condition_text}")
    set(failures TRUE PARENT_SCOPE)
  endif()
endfunction()

set(build_dir ${WORK_DIR}/build)
set(out_dir ${WORK_DIR}/out)
set(prefix_dir ${WORK_DIR}/prefix)
set(unpack_dir ${WORK_DIR}/unpacked)
file(REMOVE_RECURSE ${out_dir} ${prefix_dir} ${unpack_dir})

run_checked(${CMAKE_COMMAND} -S ${SOURCE_DIR} -B ${build_dir}
  -DCMAKE_BUILD_TYPE=Release -DTWINFOLD_TESTS=OFF -DTWINFOLD_SANITIZE=OFF
  -DTWINFOLD_MAINTAINER=${MAINTAINER}
  -DCMAKE_C_COMPILER=${C_COMPILER} -DCMAKE_CXX_COMPILER=${CXX_COMPILER})
run_checked(${CMAKE_COMMAND} --build ${build_dir} -j2)

# A plain install puts the binary and the manual page under the prefix.
run_checked(${CMAKE_COMMAND} --install ${build_dir} --prefix ${prefix_dir})
expect("cmake --install did not install bin/twinfold" EXISTS ${prefix_dir}/bin/twinfold)
expect("cmake --install did not install share/man/man1/twinfold.1.gz"
  EXISTS ${prefix_dir}/share/man/man1/twinfold.1.gz)

execute_process(COMMAND ${CPACK} -G DEB -B ${out_dir} --config ${build_dir}/CPackConfig.cmake
  WORKING_DIRECTORY ${build_dir} RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "cpack failed (${rc}):\n${out}\n${err}")
endif()
file(GLOB debs ${out_dir}/twinfold_*.deb)
list(LENGTH debs deb_count)
if(NOT deb_count EQUAL 1)
  message(FATAL_ERROR "expected one twinfold_*.deb in ${out_dir}, found: ${debs}")
endif()
execute_process(COMMAND dpkg --print-architecture OUTPUT_VARIABLE arch OUTPUT_STRIP_TRAILING_WHITESPACE)
get_filename_component(deb_name ${debs} NAME)
expect("package file is named ${deb_name}, not twinfold_${DEBIAN_VERSION}_${arch}.deb"
  deb_name STREQUAL "twinfold_${DEBIAN_VERSION}_${arch}.deb")

# The file list: the binary, the manual page, the copyright file and the
# changelog, owned by root, and nothing outside usr/bin and usr/share.
run_checked(${DPKG_DEB} -c ${debs})
set(listing "${run_output}")
message("${listing}")
expect("usr/bin/twinfold missing or not an executable owned by root"
  listing MATCHES "(^|\n)-rwxr-xr-x root/root [^\n]* \\./usr/bin/twinfold(\n|$)")
expect("usr/share/man/man1/twinfold.1.gz missing or not owned by root"
  listing MATCHES "(^|\n)-rw-r--r-- root/root [^\n]* \\./usr/share/man/man1/twinfold\\.1\\.gz(\n|$)")
foreach(doc copyright changelog\\.Debian\\.gz)
  expect("usr/share/doc/twinfold/${doc} missing or not owned by root"
    listing MATCHES "(^|\n)-rw-r--r-- root/root [^\n]* \\./usr/share/doc/twinfold/${doc}(\n|$)")
endforeach()
string(REGEX MATCHALL "\\./[^\n]*" paths "${listing}")
foreach(path IN LISTS paths)
  if(NOT path MATCHES "^\\./(usr/?|usr/bin/[^/]*|usr/share/.*)?$")
    expect("unexpected path in the package: ${path}" FALSE)
  endif()
endforeach()

# The control fields.
foreach(field Package Version Section Architecture Depends Maintainer Description)
  execute_process(COMMAND ${DPKG_DEB} -f ${debs} ${field}
    OUTPUT_VARIABLE value_${field} OUTPUT_STRIP_TRAILING_WHITESPACE)
endforeach()
expect("Package is '${value_Package}'" value_Package STREQUAL "twinfold")
expect("Version is '${value_Version}'" value_Version STREQUAL "${DEBIAN_VERSION}")
expect("Section is '${value_Section}'" value_Section STREQUAL "utils")
expect("Architecture is '${value_Architecture}'" value_Architecture STREQUAL "${arch}")
expect("Depends '${value_Depends}' lacks libc6" value_Depends MATCHES "(^|, )libc6( |,|$)")
if(value_Depends MATCHES "(^|, )coreutils( |,|$)")
  expect("Depends '${value_Depends}' names coreutils, which the binary does not use" FALSE)
endif()
if(value_Depends MATCHES "asan|ubsan")
  expect("Depends '${value_Depends}' names a sanitizer runtime" FALSE)
endif()
expect("Maintainer is '${value_Maintainer}', not '${MAINTAINER}'"
  value_Maintainer STREQUAL "${MAINTAINER}")
expect("Maintainer '${value_Maintainer}' is not a name and an address"
  value_Maintainer MATCHES "^[^<>]+ <[^<>@ ]+@[^<>@ ]+\\.[a-z]+>$")
if(value_Maintainer MATCHES "[.@]example[.>]|noreply|localhost")
  expect("Maintainer '${value_Maintainer}' is a placeholder address" FALSE)
endif()
expect("Description '${value_Description}' has no long part" value_Description MATCHES "\n .")

# What the package installs works: the binary answers -V, and the manual page
# is the one in the source tree.
run_checked(${DPKG_DEB} -x ${debs} ${unpack_dir})
run_checked(${unpack_dir}/usr/bin/twinfold -V)
expect("twinfold -V printed '${run_output}'" run_output STREQUAL "twinfold version ${VERSION}\n")
run_checked(${GZIP} -dc ${unpack_dir}/usr/share/man/man1/twinfold.1.gz)
file(READ ${SOURCE_DIR}/doc/twinfold.1 source_page)
expect("the packaged manual page differs from doc/twinfold.1" run_output STREQUAL source_page)

# The copyright file is in Debian's machine-readable format and holds the
# licence of LICENSE.
file(READ ${unpack_dir}/usr/share/doc/twinfold/copyright copyright)
message("${copyright}")
expect("the copyright file does not start with the format line"
  copyright MATCHES "^Format: https://www\\.debian\\.org/doc/packaging-manuals/copyright-format/1\\.0/\n")
expect("the copyright file has no 'Files: *' paragraph with a copyright and BSD-2-Clause"
  copyright MATCHES "\n\nFiles: \\*\nCopyright: [0-9]+ [^\n]+\nLicense: BSD-2-Clause\n ")
file(READ ${SOURCE_DIR}/LICENSE licence)
string(REGEX MATCH "Copyright \\(c\\) ([0-9]+), ([^\n]*)" holder_line "${licence}")
string(FIND "${copyright}" "\nCopyright: ${CMAKE_MATCH_1} ${CMAKE_MATCH_2}\n" at)
expect("the copyright file does not name '${CMAKE_MATCH_1} ${CMAKE_MATCH_2}' as LICENSE does"
  at GREATER -1)
string(REGEX REPLACE "^.*Copyright \\(c\\) [^\n]*\n\n" "" licence_terms "${licence}")
string(STRIP "${licence_terms}" licence_terms)
string(REGEX REPLACE "^.*\nLicense: BSD-2-Clause\n" "" packaged_terms "${copyright}")
string(REPLACE "\n .\n" "\n\n" packaged_terms "\n${packaged_terms}")
string(REPLACE "\n " "\n" packaged_terms "${packaged_terms}")
string(STRIP "${packaged_terms}" packaged_terms)
expect("the licence in the copyright file differs from LICENSE"
  packaged_terms STREQUAL licence_terms)

# The changelog: compressed without a name or time stamp (gzip -9n), its
# first entry for this version, signed by the maintainer.
file(READ ${unpack_dir}/usr/share/doc/twinfold/changelog.Debian.gz gzip_header LIMIT 8 HEX)
expect("changelog.Debian.gz carries a file name or a time stamp (header ${gzip_header})"
  gzip_header STREQUAL "1f8b080000000000")
run_checked(${GZIP} -dc ${unpack_dir}/usr/share/doc/twinfold/changelog.Debian.gz)
set(changelog "${run_output}")
expect("the changelog's first entry is not for ${DEBIAN_VERSION}: ${changelog}"
  changelog MATCHES "^twinfold \\(${DEBIAN_VERSION}\\) [a-z]+. urgency=[a-z]+\n")
string(FIND "${changelog}" "\n -- ${MAINTAINER}  " signed)
expect("the changelog's first entry is not signed by ${MAINTAINER}" signed GREATER -1)

# What lintian says: its whole report is shown, and an error fails the check.
find_program(LINTIAN lintian)
if(LINTIAN)
  execute_process(COMMAND ${LINTIAN} --display-info --show-overrides ${debs}
    RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
  message("lintian (exit status ${rc}):\n${out}${err}")
  if(out MATCHES "(^|\n)E: ")
    expect("lintian reports errors (above)" FALSE)
  endif()
else()
  message("lintian is not installed (Debian: apt-get install lintian): the package was not checked by it")
endif()

if(failures)
  message(FATAL_ERROR "the Debian package is not as expected")
endif()
message("package ${deb_name} checked")
