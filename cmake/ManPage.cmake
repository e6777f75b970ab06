# Writes a gzip-compressed man page OUT (name.1.gz), from a program's --help text:
#   cmake -DPROGRAM=exe -DNAME=brtx-cli -DSUMMARY="..." -DVERSION=1.0 -DOUT=file.1.gz
#         [-DCOMMANDS=1] [-DEXTRA=file] -P ManPage.cmake
# or from a page written by hand: cmake -DSOURCE=file.1 -DOUT=file.1.gz -P ManPage.cmake
# The help text becomes the description, kept as it is laid out. With COMMANDS, the troff that
# `PROGRAM help --man` prints (one subsection per command: synopsis, options, example) follows;
# then EXTRA (troff).
# A line naming the data folder of the machine that builds the page is left out.
string(REGEX REPLACE "\\.gz$" "" page_file "${OUT}")
if(SOURCE)
  configure_file(${SOURCE} ${page_file} COPYONLY)
  file(ARCHIVE_CREATE OUTPUT ${OUT} PATHS ${page_file} FORMAT raw COMPRESSION GZip)
  return()
endif()
# Leak reports of a sanitizer build have no place in a help text.
execute_process(COMMAND ${CMAKE_COMMAND} -E env QT_QPA_PLATFORM=offscreen ASAN_OPTIONS=detect_leaks=0
                        ${PROGRAM} --help
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
if(COMMANDS)
  execute_process(COMMAND ${CMAKE_COMMAND} -E env QT_QPA_PLATFORM=offscreen ASAN_OPTIONS=detect_leaks=0
                          ${PROGRAM} help --man
                  OUTPUT_VARIABLE commands_troff RESULT_VARIABLE rc ERROR_QUIET)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "${PROGRAM} help --man failed: ${rc}")
  endif()
  string(APPEND page "${commands_troff}")
endif()
if(EXTRA)
  file(READ ${EXTRA} extra)
  string(APPEND page "${extra}")
endif()
file(WRITE ${page_file} "${page}")
file(ARCHIVE_CREATE OUTPUT ${OUT} PATHS ${page_file} FORMAT raw COMPRESSION GZip)
