# Reproducible artefacts (reproducible-builds.org): one commit gives the same bytes wherever and
# whenever it is built. Every time stamp in a package is SOURCE_DATE_EPOCH, the caller's or else
# the last commit's time; cpack reads it from cmake/cpack-options.cmake. cpack makes the .deb's
# entries root's and sorts them; cmake/staged-modes.cmake and cmake/repack.py do the rest: a fixed
# order, times, owner and modes for everything, whatever the umask, time zone or user.
if(DEFINED ENV{SOURCE_DATE_EPOCH})
  set(SWUG_SOURCE_DATE_EPOCH "$ENV{SOURCE_DATE_EPOCH}")
else()
  find_package(Git QUIET)
  if(GIT_FOUND)
    execute_process(COMMAND ${GIT_EXECUTABLE} log -1 --format=%ct
                    WORKING_DIRECTORY ${PROJECT_SOURCE_DIR}
                    OUTPUT_VARIABLE SWUG_SOURCE_DATE_EPOCH OUTPUT_STRIP_TRAILING_WHITESPACE
                    ERROR_QUIET)
  endif()
endif()
# Without either (an unpacked source archive, or no git) it stays empty: only a package needs it,
# so cpack warns when it makes one (cmake/cpack-options.cmake), not every configure.
if(NOT SWUG_SOURCE_DATE_EPOCH MATCHES "^[0-9]+$")
  set(SWUG_SOURCE_DATE_EPOCH "")
endif()

find_program(SWUG_PYTHON NAMES python3)
set(CPACK_SWUG_SOURCE_DATE_EPOCH "${SWUG_SOURCE_DATE_EPOCH}")
set(CPACK_SWUG_PYTHON "${SWUG_PYTHON}")
set(CPACK_SWUG_SOURCE_DIR "${PROJECT_SOURCE_DIR}")
set(CPACK_SWUG_BINARY_DIR "${PROJECT_BINARY_DIR}")
set(CPACK_PROJECT_CONFIG_FILE ${PROJECT_SOURCE_DIR}/cmake/cpack-options.cmake)
set(CPACK_PRE_BUILD_SCRIPTS ${PROJECT_SOURCE_DIR}/cmake/staged-modes.cmake)
