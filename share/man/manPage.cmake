# SPDX-License-Identifier: MIT
# Makes one man page with help2man from PROGRAM --help, adding INCLUDE. Run
# with cmake -P; see ../CMakeLists.txt for the variables.

get_filename_component(folder ${OUTPUT} DIRECTORY)
file(MAKE_DIRECTORY ${folder})
execute_process(
  COMMAND ${HELP2MAN} --no-info --version-string=${VERSION} "--name=${DESCRIPTION}"
          --include=${INCLUDE} --output=${OUTPUT}.tmp ${PROGRAM}
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
file(REMOVE ${OUTPUT}.tmp)
