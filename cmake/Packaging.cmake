# Install rules and the Debian packages (cpack -G DEB in the build folder, or scripts/package.sh).
#
# An installed copy finds its read-only files in ../share/brtx beside its bin/ folder and keeps
# its data in the user's data folder (base/Paths.h). Packages:
#   brtx      the window, brtx-cli and brtx-sim with their data, menu entry, icons, man pages
#   brtx-pdf  the PDF converter built on Qt WebEngine, when that target is built; apart so that
#             the main package does not pull in a web engine
include(GNUInstallDirs)

set(BRTX_APP_ID io.github.brtx.Brtx)
set(_pkg ${PROJECT_SOURCE_DIR}/packaging)
set(_share ${CMAKE_INSTALL_DATADIR}/brtx)
set(_gen ${CMAKE_BINARY_DIR}/packaging)

install(TARGETS brtx brtx-cli brtx-sim RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT brtx)
install(FILES ${PROJECT_SOURCE_DIR}/assets/Language.ini ${PROJECT_SOURCE_DIR}/assets/failer.jpg
              ${PROJECT_SOURCE_DIR}/assets/report/report.css
              ${PROJECT_SOURCE_DIR}/assets/report/logo.png
        DESTINATION ${_share} COMPONENT brtx)
# The report's bootstrap style sheet stays Debian's (libjs-bootstrap4, a dependency): a link.
file(MAKE_DIRECTORY ${_gen})
file(CREATE_LINK /usr/share/javascript/bootstrap4/css/bootstrap.min.css
     ${_gen}/bootstrap.min.css SYMBOLIC)
install(FILES ${_gen}/bootstrap.min.css DESTINATION ${_share} COMPONENT brtx)

install(FILES ${_pkg}/${BRTX_APP_ID}.desktop DESTINATION ${CMAKE_INSTALL_DATADIR}/applications
        COMPONENT brtx)
configure_file(${_pkg}/${BRTX_APP_ID}.metainfo.xml ${_gen}/${BRTX_APP_ID}.metainfo.xml @ONLY)
install(FILES ${_gen}/${BRTX_APP_ID}.metainfo.xml DESTINATION ${CMAKE_INSTALL_DATADIR}/metainfo
        COMPONENT brtx)
foreach(_size 48 128 256)
  install(FILES ${PROJECT_SOURCE_DIR}/assets/icons/${BRTX_APP_ID}-${_size}.png
          DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/${_size}x${_size}/apps
          RENAME ${BRTX_APP_ID}.png COMPONENT brtx)
endforeach()
install(FILES ${PROJECT_SOURCE_DIR}/assets/icons/${BRTX_APP_ID}.svg
        DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps COMPONENT brtx)
# The station's service, a systemd user unit, installed disabled.
# ExecStart names the program where the package puts it (the package's prefix is /usr).
set(BRTX_UNIT_BINDIR /usr/${CMAKE_INSTALL_BINDIR})
configure_file(${_pkg}/brtx-watch.service.in ${_gen}/brtx-watch.service @ONLY)
install(FILES ${_gen}/brtx-watch.service DESTINATION lib/systemd/user
        COMPONENT brtx)
install(FILES ${_pkg}/brtx-cli.bash-completion
        DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions RENAME brtx-cli
        COMPONENT brtx)

# Man pages: the window's is written by hand, the others come from the programs' --help.
set(_man ${_gen}/man)
add_custom_command(
  OUTPUT ${_man}/brtx.1.gz
  COMMAND ${CMAKE_COMMAND} -DSOURCE=${_pkg}/man/brtx.1 -DOUT=${_man}/brtx.1.gz
          -P ${PROJECT_SOURCE_DIR}/cmake/ManPage.cmake
  DEPENDS ${_pkg}/man/brtx.1 ${PROJECT_SOURCE_DIR}/cmake/ManPage.cmake
  COMMENT "Man page brtx.1" VERBATIM)
set(_pages ${_man}/brtx.1.gz)
foreach(_entry "brtx-cli|download and browse instrument records on the command line"
               "brtx-sim|play a breath-alcohol test instrument on TCP for tests and demos")
  string(REPLACE "|" ";" _entry "${_entry}")
  list(GET _entry 0 _prog)
  list(GET _entry 1 _summary)
  # brtx-cli's page holds every command's synopsis, options and example from its help data.
  set(_commands "")
  if(_prog STREQUAL "brtx-cli")
    set(_commands -DCOMMANDS=1)
  endif()
  add_custom_command(
    OUTPUT ${_man}/${_prog}.1.gz
    COMMAND ${CMAKE_COMMAND} -DPROGRAM=$<TARGET_FILE:${_prog}> -DNAME=${_prog}
            "-DSUMMARY=${_summary}" -DVERSION=${PROJECT_VERSION} -DOUT=${_man}/${_prog}.1.gz
            ${_commands} -DEXTRA=${_pkg}/man/${_prog}.troff -P ${PROJECT_SOURCE_DIR}/cmake/ManPage.cmake
    DEPENDS ${_prog} ${PROJECT_SOURCE_DIR}/cmake/ManPage.cmake ${_pkg}/man/${_prog}.troff
    COMMENT "Man page ${_prog}.1" VERBATIM)
  list(APPEND _pages ${_man}/${_prog}.1.gz)
endforeach()
add_custom_target(brtx-man ALL DEPENDS ${_pages})
install(FILES ${_pages} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT brtx)

set(_components brtx)
if(TARGET brtx-pdf)
  install(TARGETS brtx-pdf RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT pdf)
  list(APPEND _components pdf)
endif()

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME brtx)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "brtx developers <brtx@example.org>")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_COMPONENTS_ALL ${_components})
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_SECTION science)
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE https://github.com/brtx/brtx)

set(CPACK_DEBIAN_BRTX_PACKAGE_NAME brtx)
set(CPACK_DEBIAN_BRTX_PACKAGE_DEPENDS libjs-bootstrap4)
# The PDF report needs a converter, the USB link adb: both optional, so the package installs
# where wkhtmltopdf no longer exists.
if(TARGET brtx-pdf)
  set(CPACK_DEBIAN_BRTX_PACKAGE_RECOMMENDS "brtx-pdf | wkhtmltopdf, adb")
else()
  set(CPACK_DEBIAN_BRTX_PACKAGE_RECOMMENDS "wkhtmltopdf, adb")
endif()
# Each description: the summary line, then the long text (an empty line between paragraphs).
set(CPACK_COMPONENT_BRTX_DESCRIPTION
    "breath-alcohol test instrument data manager
Desk-side companion of a portable breath-alcohol test instrument: links to
one instrument over Wi-Fi or USB (adb), downloads its test records and
photographs into a local database, sets its clock and device number, lists
a device's records over a date range and exports them to an .xls
spreadsheet or one record to a PDF test report.

Includes brtx-cli (the same work on the command line) and brtx-sim (an
instrument simulator for demonstrations and tests).")

set(CPACK_DEBIAN_PDF_PACKAGE_NAME brtx-pdf)
set(CPACK_DEBIAN_PDF_PACKAGE_DEPENDS "brtx (= ${PROJECT_VERSION})")
set(CPACK_DEBIAN_PDF_PACKAGE_SECTION science)
set(CPACK_COMPONENT_PDF_DESCRIPTION
    "PDF report converter for brtx
Converts brtx's HTML test reports to PDF with Qt WebEngine, in place of
wkhtmltopdf.")

include(CPack)

# The package built, its file list checked, its tree run against the simulator (not in the
# sanitizer builds: the package is made from the ordinary build).
if(BUILD_TESTING AND NOT BRTX_SANITIZE)
  find_program(DPKG_DEB dpkg-deb)
  if(DPKG_DEB)
    add_test(NAME package.deb
             COMMAND bash ${PROJECT_SOURCE_DIR}/scripts/check-package.sh ${CMAKE_BINARY_DIR})
    set_tests_properties(package.deb PROPERTIES TIMEOUT 300)
  endif()
endif()
