# Makes a sample software file in DIR/data and the DIR/out folder for its image; with CHECK=ON,
# checks the image the tool wrote there instead.
cmake_minimum_required(VERSION 3.25)

set(sw ${DIR}/data/TOVRIK_SW.bin)
set(img ${DIR}/out/TOVRIK_UPGRADE_SW.bin)
string(REPEAT "H" 120 header_fill)
set(header "SAMPLE: ${header_fill}")
string(REPEAT "Upgrade image body: every byte after the leading block.\n" 64 body)

if(NOT CHECK)
  file(MAKE_DIRECTORY ${DIR}/data ${DIR}/out)
  file(REMOVE ${img})
  file(WRITE ${sw} "${header}${body}")
  return()
endif()

file(SIZE ${sw} sw_size)
if(NOT EXISTS ${img})
  message(FATAL_ERROR "\nno image was written to ${img}")
endif()
file(READ ${img} written)
if(NOT written STREQUAL body)
  message(FATAL_ERROR "\n${img} is not the software file without its first 128 bytes")
endif()
file(SIZE ${img} img_size)
message("\n${sw} (${sw_size} bytes) -> ${img} (${img_size} bytes)")
