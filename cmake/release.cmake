# Release artefacts. cpack makes the Linux ones here: a .deb, with swug in /usr/bin and its manual
# page, and a .tar.gz of the same tree. The windows-packages target builds the two Windows zips.
# After cpack, cmake/collect-dist.cmake gathers all of them in build/dist with their SHA256SUMS.
set(SWUG_DIST_DIR ${PROJECT_SOURCE_DIR}/build/dist)

set(CPACK_GENERATOR DEB TGZ)
set(CPACK_PACKAGE_NAME swug)
set(CPACK_PACKAGE_VENDOR swug)
set(CPACK_PACKAGE_CONTACT "swug developers <swug@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "${PROJECT_DESCRIPTION}")
string(CONCAT CPACK_PACKAGE_DESCRIPTION
    "swug turns a device's software file into its upgrade image: the file without its first 128 "
    "bytes, copied byte for byte. Without arguments it converts data/TOVRIK_SW.bin into "
    "out/TOVRIK_UPGRADE_SW.bin and waits for a key. With two file names it converts those "
    "silently and reports the outcome by its exit status.")
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# A static build needs no library; any other gets its dependencies from dpkg-shlibdeps.
if(NOT SWUG_STATIC)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
endif()
set(CPACK_SWUG_DIST_DIR ${SWUG_DIST_DIR})
set(CPACK_POST_BUILD_SCRIPTS ${PROJECT_SOURCE_DIR}/cmake/collect-dist.cmake)
include(CPack)

# The Windows zips come from their own cross builds, each built, checked and packed by its
# workflow. The outer make's job server means nothing to them.
set(windows_zips
    ${PROJECT_SOURCE_DIR}/build/windows-x86/swug-${PROJECT_VERSION}-win32.zip
    ${PROJECT_SOURCE_DIR}/build/windows-x64/swug-${PROJECT_VERSION}-win64.zip)
set(no_make_env ${CMAKE_COMMAND} -E env --unset=MAKEFLAGS --unset=MFLAGS --unset=MAKELEVEL)
add_custom_target(windows-packages
  COMMAND ${CMAKE_COMMAND} -E rm -rf ${SWUG_DIST_DIR}
  COMMAND ${no_make_env} ${CMAKE_COMMAND} --workflow --preset windows-x86
  COMMAND ${no_make_env} ${CMAKE_COMMAND} --workflow --preset windows-x64
  COMMAND ${CMAKE_COMMAND} -E make_directory ${SWUG_DIST_DIR}
  COMMAND ${CMAKE_COMMAND} -E copy ${windows_zips} ${SWUG_DIST_DIR}
  WORKING_DIRECTORY ${PROJECT_SOURCE_DIR}
  VERBATIM)
