# Where the daemon and its neighbours expect each file, and the Debian package made of them.
# The daemon reads fixed paths under /etc, /run and /data and the bus daemon reads policies from
# /usr/share whatever the prefix; the prefix (default /usr) only moves the executable and the
# documentation.
include(GNUInstallDirs)

set(DATALOGGER_DOCDIR ${CMAKE_INSTALL_DATAROOTDIR}/doc/datalogger)
set(DATALOGGER_UNITDIR /lib/systemd/system CACHE PATH "Folder for the systemd unit")

install(TARGETS datalogger RUNTIME DESTINATION ${CMAKE_INSTALL_SBINDIR})

install(FILES ${PROJECT_SOURCE_DIR}/config/storage.conf DESTINATION /etc/datalogger)
install(FILES ${PROJECT_SOURCE_DIR}/config/default/datalogger DESTINATION /etc/default)
# Empty: the samples are examples, not active pollers.
install(DIRECTORY DESTINATION /etc/datalogger/poll)
install(DIRECTORY ${PROJECT_SOURCE_DIR}/config/poll/ DESTINATION ${DATALOGGER_DOCDIR}/examples/poll
        FILES_MATCHING PATTERN "*.conf")
install(FILES ${PROJECT_SOURCE_DIR}/README.md ${PROJECT_SOURCE_DIR}/docs/block-format.md
              ${PROJECT_SOURCE_DIR}/packaging/debian/copyright
        DESTINATION ${DATALOGGER_DOCDIR})
# A package without a Debian revision is native: its history is changelog.gz. The newest entry
# must name the version being packaged.
file(STRINGS ${PROJECT_SOURCE_DIR}/packaging/debian/changelog _changelog_top LIMIT_COUNT 1)
if(NOT _changelog_top MATCHES "^datalogger \\(${PROJECT_VERSION}\\) ")
  message(FATAL_ERROR "packaging/debian/changelog: the newest entry is not version ${PROJECT_VERSION}")
endif()
set(_changelog_gz ${PROJECT_BINARY_DIR}/debian/changelog.gz)
add_custom_command(
  OUTPUT ${_changelog_gz}
  COMMAND sh -c "gzip -9n -c \"$0\" > \"$1\"" ${PROJECT_SOURCE_DIR}/packaging/debian/changelog
          ${_changelog_gz}
  DEPENDS ${PROJECT_SOURCE_DIR}/packaging/debian/changelog
  VERBATIM)
add_custom_target(changelog ALL DEPENDS ${_changelog_gz})
install(FILES ${_changelog_gz} DESTINATION ${DATALOGGER_DOCDIR})

# The daemon reads them from /data/datalogger/dbscripts/sqlite, which the tmpfiles entry links
# here at every boot: /data may be a partition mounted over whatever the package put there.
install(DIRECTORY ${PROJECT_SOURCE_DIR}/dbscripts/sqlite/ DESTINATION /usr/share/datalogger/dbscripts/sqlite
        FILES_MATCHING PATTERN "migration_*.sql")
install(FILES ${PROJECT_SOURCE_DIR}/config/tmpfiles/datalogger.conf DESTINATION /usr/lib/tmpfiles.d)

install(FILES ${PROJECT_SOURCE_DIR}/config/dbus/com.quorix.datalogger.conf
        DESTINATION /usr/share/dbus-1/system.d)
install(FILES ${PROJECT_SOURCE_DIR}/config/lighttpd/10-datalogger-dfrm.conf
        DESTINATION /etc/lighttpd/conf-available)
# The live view page, at the fixed folder the lighttpd snippet's alias names.
if(TARGET liveview)
  install(DIRECTORY ${DATALOGGER_WWW_BUILD}/ DESTINATION /usr/share/datalogger/www)
endif()

set(SBINDIR ${CMAKE_INSTALL_FULL_SBINDIR})
set(DOCDIR ${CMAKE_INSTALL_PREFIX}/${DATALOGGER_DOCDIR})
configure_file(${PROJECT_SOURCE_DIR}/config/systemd/datalogger.service.in
               ${PROJECT_BINARY_DIR}/datalogger.service @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/datalogger.service DESTINATION ${DATALOGGER_UNITDIR})

# Debian package: `cpack -G DEB` in the build folder.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME datalogger)
set(CPACK_PACKAGE_VENDOR "Quorix")
set(CPACK_PACKAGE_CONTACT "Quorix controller software <controller-software@quorix.invalid>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Data logger daemon of the magnet system's controller")
# Lines of the long description stay under 80 characters.
set(CPACK_PACKAGE_DESCRIPTION
    "Keeps the controller's measured channels as time series in SQLite, takes values\nover D-Bus and by polling files and commands, and serves them over DfRM\n(FastCGI behind lighttpd).")
set(CPACK_PACKAGING_INSTALL_PREFIX ${CMAKE_INSTALL_PREFIX})
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION admin)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# The daemon owns its names on the system bus; the maintainer scripts create the producers'
# group with addgroup. Poll commands run with bash, which is essential and never named. The
# engineer's tools of the manual pages (sqlite3, gdbus, curl) are recommended beside the web
# server.
set(CPACK_DEBIAN_PACKAGE_DEPENDS "dbus, adduser")
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "lighttpd, sqlite3, libglib2.0-bin, curl")
if(CMAKE_CROSSCOMPILING)
  # dpkg-shlibdeps reads the host's package database, which knows nothing of the sysroot: the
  # libraries are named by hand (what it computes for the native package).
  set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE ${DATALOGGER_DEB_ARCHITECTURE})
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS OFF)
  string(APPEND CPACK_DEBIAN_PACKAGE_DEPENDS
         ", libboost-filesystem1.74.0 (>= 1.74.0+ds1), libc6 (>= 2.34), libfcgi0ldbl (>= 2.4.2)"
         ", libgcc-s1 (>= 3.5), libglib2.0-0 (>= 2.30.0), libglibmm-2.4-1v5 (>= 2.66.5)"
         ", libsigc++-2.0-0v5 (>= 2.2.0), libsqlite3-0 (>= 3.20.0), libstdc++6 (>= 12)"
         ", libsystemd0 (>= 209)")
endif()
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_STRIP_FILES ON)

# Everything under /etc is the administrator's once installed.
set(DATALOGGER_CONFFILES /etc/datalogger/storage.conf /etc/default/datalogger
    /etc/lighttpd/conf-available/10-datalogger-dfrm.conf)
list(JOIN DATALOGGER_CONFFILES "\n" _conffiles)
file(WRITE ${PROJECT_BINARY_DIR}/debian/conffiles "${_conffiles}\n")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
    ${PROJECT_BINARY_DIR}/debian/conffiles
    ${PROJECT_SOURCE_DIR}/packaging/debian/postinst
    ${PROJECT_SOURCE_DIR}/packaging/debian/prerm
    ${PROJECT_SOURCE_DIR}/packaging/debian/postrm)

include(CPack)
