# Release artefacts. cpack makes the Linux ones here: a .deb, with swug in /usr/bin and its manual
# page, and a .tar.gz of the same tree with the licence and the changelog. The windows-packages
# target builds the two Windows zips. After cpack, cmake/repack.cmake makes the tarball
# reproducible and cmake/collect-dist.cmake gathers everything in build/dist with the SHA256SUMS.
set(SWUG_DIST_DIR ${PROJECT_SOURCE_DIR}/build/dist)

# A placeholder: whoever publishes the .deb sets their own name and address.
set(SWUG_MAINTAINER "swug developers <swug@localhost>" CACHE STRING
    "Maintainer of the .deb and author of its changelog entry, as Name <address>")

# The .deb's own documents, which a plain install has no use for: the copyright file in Debian's
# machine-readable format, with the licence's text; the changelog; and, for a static build,
# lintian's word that the program is static on purpose.
file(READ ${PROJECT_SOURCE_DIR}/LICENSE licence)
string(REGEX MATCH "Copyright \\(c\\) ([^\n]+)" copyright_line "${licence}")
set(copyright_holder "${CMAKE_MATCH_1}")
string(FIND "${licence}" "Permission is hereby granted" at)
string(SUBSTRING "${licence}" ${at} -1 licence_text)
string(STRIP "${licence_text}" licence_text)
string(REPLACE "\n\n" "\n.\n" licence_text "${licence_text}")
string(REPLACE "\n" "\n " licence_text "${licence_text}")
file(CONFIGURE OUTPUT debian/copyright @ONLY CONTENT
"Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/
Upstream-Name: swug

Files: *
Copyright: @copyright_holder@
License: Expat
 @licence_text@
")
configure_file(${PROJECT_SOURCE_DIR}/packaging/changelog.Debian.in debian/changelog @ONLY)
add_custom_command(OUTPUT debian/changelog.gz
  COMMAND ${GZIP_EXE} -9 -n -c debian/changelog > debian/changelog.gz
  DEPENDS ${CMAKE_CURRENT_BINARY_DIR}/debian/changelog
  VERBATIM)
add_custom_target(debian-changelog ALL DEPENDS debian/changelog.gz)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/debian/copyright
              ${CMAKE_CURRENT_BINARY_DIR}/debian/changelog.gz
        DESTINATION ${CMAKE_INSTALL_DOCDIR} COMPONENT debian EXCLUDE_FROM_ALL)
if(SWUG_STATIC)
  install(FILES ${PROJECT_SOURCE_DIR}/packaging/lintian-overrides
          DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/lintian/overrides RENAME swug
          COMPONENT debian EXCLUDE_FROM_ALL)
endif()

set(CPACK_GENERATOR DEB TGZ)
set(CPACK_PACKAGE_NAME swug)
set(CPACK_PACKAGE_VENDOR swug)
set(CPACK_PACKAGE_CONTACT "${SWUG_MAINTAINER}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "${PROJECT_DESCRIPTION}")
# Lines of at most 80 characters, as Debian's control files want them.
string(CONCAT CPACK_PACKAGE_DESCRIPTION
    "swug turns a device's software file into its upgrade image: the file without\n"
    "its first 128 bytes, copied byte for byte. Without arguments it converts\n"
    "data/TOVRIK_SW.bin into out/TOVRIK_UPGRADE_SW.bin and waits for a key. With\n"
    "two file names it converts those silently and reports the outcome by its exit\n"
    "status.")
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# A static build needs no library; any other gets its dependencies from dpkg-shlibdeps.
if(NOT SWUG_STATIC)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
endif()
set(CPACK_SWUG_STATIC ${SWUG_STATIC})
set(CPACK_SWUG_DIST_DIR ${SWUG_DIST_DIR})
set(CPACK_POST_BUILD_SCRIPTS ${PROJECT_SOURCE_DIR}/cmake/repack.cmake
    ${PROJECT_SOURCE_DIR}/cmake/collect-dist.cmake)
include(CPack)

# The Windows zips come from their own cross builds, each built, checked and packed by its
# workflow.
set(windows_zips
    ${PROJECT_SOURCE_DIR}/build/windows-x86/swug-${PROJECT_VERSION}-win32.zip
    ${PROJECT_SOURCE_DIR}/build/windows-x64/swug-${PROJECT_VERSION}-win64.zip)
# The outer make's job server means nothing to them; they take their times from the same
# SOURCE_DATE_EPOCH.
set(no_make_env ${CMAKE_COMMAND} -E env --unset=MAKEFLAGS --unset=MFLAGS --unset=MAKELEVEL)
if(SWUG_SOURCE_DATE_EPOCH)
  list(APPEND no_make_env SOURCE_DATE_EPOCH=${SWUG_SOURCE_DATE_EPOCH})
endif()
add_custom_target(windows-packages
  COMMAND ${CMAKE_COMMAND} -E rm -rf ${SWUG_DIST_DIR}
  COMMAND ${no_make_env} ${CMAKE_COMMAND} --workflow --preset windows-x86
  COMMAND ${no_make_env} ${CMAKE_COMMAND} --workflow --preset windows-x64
  COMMAND ${CMAKE_COMMAND} -E make_directory ${SWUG_DIST_DIR}
  COMMAND ${CMAKE_COMMAND} -E copy ${windows_zips} ${SWUG_DIST_DIR}
  WORKING_DIRECTORY ${PROJECT_SOURCE_DIR}
  VERBATIM)
