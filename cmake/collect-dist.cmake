# Run by cpack after it made its packages (CPACK_PACKAGE_FILES): copies them into
# CPACK_SWUG_DIST_DIR, beside the Windows zips, and writes SHA256SUMS over everything there in the
# form that `sha256sum -c` reads.
file(MAKE_DIRECTORY ${CPACK_SWUG_DIST_DIR})
file(COPY ${CPACK_PACKAGE_FILES} DESTINATION ${CPACK_SWUG_DIST_DIR})

file(GLOB artefacts RELATIVE ${CPACK_SWUG_DIST_DIR} ${CPACK_SWUG_DIST_DIR}/*)
list(REMOVE_ITEM artefacts SHA256SUMS)
list(SORT artefacts)
set(sums "")
foreach(name IN LISTS artefacts)
  file(SHA256 ${CPACK_SWUG_DIST_DIR}/${name} hash)
  string(APPEND sums "${hash}  ${name}\n")
endforeach()
file(WRITE ${CPACK_SWUG_DIST_DIR}/SHA256SUMS "${sums}")
message(STATUS "${CPACK_SWUG_DIST_DIR}: ${artefacts} and SHA256SUMS")
