# npm packages for the build tree: `npm ci` from a committed package.json and lock file, so
# every build gets exactly the locked versions and nothing runs from the packages' own scripts.
find_program(NPM_EXECUTABLE npm)

# Installs the packages locked in SOURCE_DIR into BINARY_DIR/node_modules and sets STAMP_VAR to
# a file that is newer than both lock inputs once that is done.
function(datalogger_npm_ci SOURCE_DIR BINARY_DIR STAMP_VAR)
  set(stamp ${BINARY_DIR}/npm-ci.stamp)
  file(MAKE_DIRECTORY ${BINARY_DIR})
  add_custom_command(
    OUTPUT ${stamp}
    COMMAND ${CMAKE_COMMAND} -E copy_if_different
            ${SOURCE_DIR}/package.json ${SOURCE_DIR}/package-lock.json ${BINARY_DIR}
    COMMAND ${NPM_EXECUTABLE} ci --ignore-scripts --no-audit --no-fund --loglevel=error
    COMMAND ${CMAKE_COMMAND} -E touch ${stamp}
    WORKING_DIRECTORY ${BINARY_DIR}
    DEPENDS ${SOURCE_DIR}/package.json ${SOURCE_DIR}/package-lock.json
    COMMENT "npm ci in ${BINARY_DIR}"
    VERBATIM)
  set(${STAMP_VAR} ${stamp} PARENT_SCOPE)
endfunction()
