# SPDX-License-Identifier: MIT
# Makes one man page with help2man from PROGRAM --help, adding INCLUDE and,
# for each of COMMANDS, the text of 'PROGRAM help COMMAND' as a section of
# its own. Run with cmake -P; see ../CMakeLists.txt for the variables.

# Text as roff shows it unchanged in a no-fill block.
function(roff_literal text result)
  string(REPLACE "\\" "\\e" text "${text}")
  string(REPLACE "-" "\\-" text "${text}")
  string(REGEX REPLACE "(^|\n)([.'])" "\\1\\\\&\\2" text "${text}")
  set(${result} "${text}" PARENT_SCOPE)
endfunction()

file(READ ${INCLUDE} include)
if(COMMANDS)
  string(APPEND include "\n[COMMANDS]\n")
  foreach(command IN LISTS COMMANDS)
    execute_process(COMMAND ${PROGRAM} help ${command} OUTPUT_VARIABLE help RESULT_VARIABLE status)
    if(NOT status EQUAL 0 OR help STREQUAL "")
      message(FATAL_ERROR "${PROGRAM} help ${command} failed (${status})")
    endif()
    roff_literal("${help}" help)
    string(APPEND include ".SS ${command}\n.nf\n${help}.fi\n")
  endforeach()
endif()
get_filename_component(folder ${OUTPUT} DIRECTORY)
file(MAKE_DIRECTORY ${folder})
file(WRITE ${OUTPUT}.h2m "${include}")
execute_process(
  COMMAND ${HELP2MAN} --no-info --version-string=${VERSION} "--name=${DESCRIPTION}"
          --include=${OUTPUT}.h2m --output=${OUTPUT}.tmp ${PROGRAM}
  RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "help2man failed on ${PROGRAM} (${status})")
endif()
file(READ ${OUTPUT}.tmp page)
# The programs begin their help with a lower-case "usage:" line, which
# help2man leaves in the description; it is the synopsis.
string(REGEX REPLACE "\n\\.SH DESCRIPTION\nusage: ([^\n]*)\n" "\n.SH SYNOPSIS\n\\1\n.SH DESCRIPTION\n" page "${page}")
# The build folder's path is no part of the page.
string(REPLACE "${PROGRAM}" "${NAME}" page "${page}")
file(WRITE ${OUTPUT} "${page}")
file(REMOVE ${OUTPUT}.tmp ${OUTPUT}.h2m)
