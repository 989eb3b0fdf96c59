# Manual pages: docs/man/NAME.SECTION.scd becomes roff (build/man/NAME.SECTION) and its gzipped
# form, which is what gets installed. Without scdoc the pages are left out and the build says so.
find_program(SCDOC_EXECUTABLE scdoc)
find_program(GZIP_EXECUTABLE gzip)

set(DATALOGGER_MAN_SOURCES
    datalogger.8.scd
    datalogger-ctl.8.scd
    datalogger-storage.conf.5.scd
    datalogger-poll.5.scd)
set(DATALOGGER_MAN_PAGES "")

if(NOT SCDOC_EXECUTABLE OR NOT GZIP_EXECUTABLE)
  message(STATUS "scdoc or gzip not found: manual pages are not built (scripts/setup installs them)")
  return()
endif()

set(_man_dir ${PROJECT_BINARY_DIR}/man)
set(_man_outputs "")
foreach(_source IN LISTS DATALOGGER_MAN_SOURCES)
  string(REGEX REPLACE "\\.scd$" "" _page ${_source})
  string(REGEX REPLACE "^.*\\.([0-9])$" "\\1" _section ${_page})
  set(_roff ${_man_dir}/${_page})
  # -n: no name or time stamp in the archive, so the package's bytes do not depend on the build.
  add_custom_command(
    OUTPUT ${_roff} ${_roff}.gz
    COMMAND ${CMAKE_COMMAND} -E make_directory ${_man_dir}
    COMMAND sh -c "\"$0\" < \"$1\" > \"$2\"" ${SCDOC_EXECUTABLE}
            ${PROJECT_SOURCE_DIR}/docs/man/${_source} ${_roff}
    COMMAND sh -c "\"$0\" -9n -c \"$1\" > \"$1.gz\"" ${GZIP_EXECUTABLE} ${_roff}
    DEPENDS ${PROJECT_SOURCE_DIR}/docs/man/${_source}
    COMMENT "Manual page ${_page}"
    VERBATIM)
  list(APPEND _man_outputs ${_roff} ${_roff}.gz)
  list(APPEND DATALOGGER_MAN_PAGES ${_roff})
  install(FILES ${_roff}.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man${_section})
endforeach()
add_custom_target(manpages ALL DEPENDS ${_man_outputs})
