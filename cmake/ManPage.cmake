# Writes a man page from a program's --help text:
#   cmake -DPROGRAM=exe -DNAME=brtx-cli -DSUMMARY="..." -DVERSION=1.0 -DOUT=file.1
#         [-DEXTRA=file] -P ManPage.cmake
# The help text becomes the description, kept as it is laid out; EXTRA (troff) follows it.
# A line naming the data folder of the machine that builds the page is left out.
execute_process(COMMAND ${CMAKE_COMMAND} -E env QT_QPA_PLATFORM=offscreen ${PROGRAM} --help
                OUTPUT_VARIABLE help RESULT_VARIABLE rc ERROR_QUIET)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "${PROGRAM} --help failed: ${rc}")
endif()
string(TOUPPER "${NAME}" upper)
set(page ".TH ${upper} 1 \"\" \"brtx ${VERSION}\" \"User Commands\"\n")
string(APPEND page ".SH NAME\n${NAME} \\- ${SUMMARY}\n.SH DESCRIPTION\n.nf\n")
string(REPLACE ";" "\\;" help "${help}")
string(REPLACE "\n" ";" lines "${help}")
foreach(line IN LISTS lines)
  if(line MATCHES "^Data folder in use:")
    continue()
  endif()
  string(REPLACE "\\" "\\e" line "${line}")
  string(REPLACE "-" "\\-" line "${line}")
  if(line MATCHES "^[.']")
    set(line "\\&${line}")
  endif()
  string(APPEND page "${line}\n")
endforeach()
string(APPEND page ".fi\n")
if(EXTRA)
  file(READ ${EXTRA} extra)
  string(APPEND page "${extra}")
endif()
file(WRITE ${OUT} "${page}")
