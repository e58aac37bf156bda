# Checks that the manual page PAGE renders without a warning: GROFF with every warning on, and
# no output but the errors it finds; and, when MANDOC is given, that mandoc's lint finds nothing.
cmake_minimum_required(VERSION 3.25)

execute_process(COMMAND ${GROFF} -ww -z -man ${PAGE} RESULT_VARIABLE failed ERROR_VARIABLE warnings)
if(failed OR NOT warnings STREQUAL "")
  message(FATAL_ERROR "${PAGE} does not render cleanly:\n${warnings}")
endif()
if(MANDOC)
  execute_process(COMMAND ${MANDOC} -Tlint ${PAGE} RESULT_VARIABLE failed OUTPUT_VARIABLE findings
                  ERROR_VARIABLE findings)
  if(failed OR NOT findings STREQUAL "")
    message(FATAL_ERROR "mandoc -Tlint finds fault with ${PAGE}:\n${findings}")
  endif()
endif()
