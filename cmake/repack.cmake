# Run by cpack after it made its packages (CPACK_PACKAGE_FILES): rewrites each one so that the same
# files always give the same bytes (see cmake/repack.py).
foreach(package IN LISTS CPACK_PACKAGE_FILES)
  if(NOT package MATCHES "\\.(zip|tar\\.gz|deb)$")
    continue()
  endif()
  if(NOT CPACK_SWUG_PYTHON)
    message(FATAL_ERROR "python3 is needed to pack ${package} reproducibly")
  endif()
  set(epoch ${CPACK_SWUG_SOURCE_DATE_EPOCH})
  if(NOT epoch)
    string(TIMESTAMP epoch "%s" UTC)
  endif()
  execute_process(COMMAND ${CPACK_SWUG_PYTHON} ${CPACK_SWUG_SOURCE_DIR}/cmake/repack.py
                          ${package} ${epoch}
                  RESULT_VARIABLE failed)
  if(failed)
    message(FATAL_ERROR "cannot repack ${package}")
  endif()
endforeach()
