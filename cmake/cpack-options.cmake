# Read by cpack before each package it makes (CPACK_GENERATOR is that package's generator).

# cpack takes every time stamp, and the .deb's gzip headers, from SOURCE_DATE_EPOCH.
if(CPACK_SWUG_SOURCE_DATE_EPOCH)
  set(ENV{SOURCE_DATE_EPOCH} ${CPACK_SWUG_SOURCE_DATE_EPOCH})
else()
  message(WARNING "No SOURCE_DATE_EPOCH, and no commit to take it from: this ${CPACK_GENERATOR} "
                  "package carries the time it was made, and is not reproducible. Build in a git "
                  "clone with git installed, or set SOURCE_DATE_EPOCH.")
endif()

# The .deb carries Debian's copyright and changelog files, the tarball the licence and the
# changelog as they are.
if(CPACK_GENERATOR STREQUAL "DEB")
  set(extra debian)
elseif(CPACK_GENERATOR STREQUAL "TGZ")
  set(extra tarball)
endif()
if(extra)
  set(CPACK_INSTALL_CMAKE_PROJECTS
      ${CPACK_SWUG_BINARY_DIR} swug Unspecified /
      ${CPACK_SWUG_BINARY_DIR} swug ${extra} /)
endif()

# A static build depends on nothing, on purpose (packaging/lintian-overrides). cpack announces an
# empty Depends as if it were a fault, in a status line: the .deb is made without status lines.
if(CPACK_GENERATOR STREQUAL "DEB" AND CPACK_SWUG_STATIC)
  set(CMAKE_MESSAGE_LOG_LEVEL NOTICE)
endif()
