# What `cmake --install` puts where, and the Debian package made from it
# by `cpack -G DEB`.  Included at the end of the top-level CMakeLists.txt so
# that every program's target exists by now: kelvo-web and kelvo-mqtt are
# installed, with their pages and units, whenever their folders are built.
#
# Installed: the programs, their man pages, the systemd units, the
# sysusers.d file for the kelvo user, the settings files the units read
# (conffiles in the package, everything in them commented out), and the
# copyright and changelog.  Not installed: the static libraries the
# programs are made of, tests, benchmarks and fuzz targets.
include(GNUInstallDirs)

# systemd reads units from /usr/local/lib/systemd/system and sysusers.d
# files from /usr/local/lib/sysusers.d as well as from the distribution's
# places, so an install under another prefix keeps to that prefix; under
# /usr the units go where this system's systemd says.
set(_unitdir "${CMAKE_INSTALL_PREFIX}/lib/systemd/system")
if(CMAKE_INSTALL_PREFIX STREQUAL "/usr")
  pkg_get_variable(_systemd_unitdir systemd systemdsystemunitdir)
  if(_systemd_unitdir)
    set(_unitdir "${_systemd_unitdir}")
  endif()
endif()
set(KELVO_SYSTEMD_UNITDIR "${_unitdir}" CACHE PATH
  "Where the systemd units are installed")
set(KELVO_SYSUSERSDIR "${CMAKE_INSTALL_PREFIX}/lib/sysusers.d" CACHE PATH
  "Where the sysusers.d file for the kelvo user is installed")

# Each program with its page and, for the daemons, its unit.  The units
# name the programs by their installed path; all three are configured, also
# for a program not built here, so that packaging/check.sh checks them all.
set(KELVO_BINDIR "${CMAKE_INSTALL_FULL_BINDIR}")
# /etc/default under /usr, PREFIX/etc/default elsewhere: where the units
# look for their settings files.
set(KELVO_DEFAULTDIR "${CMAKE_INSTALL_FULL_SYSCONFDIR}/default")
set(_services kelvo kelvo-web kelvo-mqtt kelvo-matter kelvo-fleet)
foreach(_u IN LISTS _services)
  configure_file(${PROJECT_SOURCE_DIR}/systemd/${_u}.service.in
    ${PROJECT_BINARY_DIR}/systemd/${_u}.service @ONLY)
endforeach()
set(_shipped "")
set(_conffiles "")
foreach(_p kelvo kelvo-panel kelvo-web kelvo-mqtt kelvo-ctl kelvo-matter
    kelvo-fleet)
  if(NOT TARGET ${_p})
    continue()
  endif()
  list(APPEND _shipped ${_p})
  if(_p STREQUAL "kelvo-matter")
    # One JavaScript file that nodejs runs (its first line says so).
    install(PROGRAMS ${KELVO_MATTER_JS} DESTINATION ${CMAKE_INSTALL_BINDIR}
      RENAME kelvo-matter)
  else()
    install(TARGETS ${_p} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  endif()
  # Pages go out compressed, as Debian's do.
  add_custom_command(OUTPUT ${PROJECT_BINARY_DIR}/man/${_p}.1.gz
    COMMAND ${CMAKE_COMMAND} -E make_directory ${PROJECT_BINARY_DIR}/man
    COMMAND gzip -9nc ${PROJECT_SOURCE_DIR}/man/${_p}.1
      > ${PROJECT_BINARY_DIR}/man/${_p}.1.gz
    DEPENDS ${PROJECT_SOURCE_DIR}/man/${_p}.1 VERBATIM)
  add_custom_target(${_p}-man ALL DEPENDS ${PROJECT_BINARY_DIR}/man/${_p}.1.gz)
  install(FILES ${PROJECT_BINARY_DIR}/man/${_p}.1.gz
    DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
  if(_p IN_LIST _services)
    install(FILES ${PROJECT_BINARY_DIR}/systemd/${_p}.service
      DESTINATION ${KELVO_SYSTEMD_UNITDIR})
  endif()
  # Settings may hold a token or a password, so they are to be root's
  # alone (systemd reads them before the unit drops to the kelvo user):
  # shipped 0644 as Debian wants, made 0600 by the package's postinst.
  if(EXISTS ${PROJECT_SOURCE_DIR}/packaging/default/${_p})
    install(FILES ${PROJECT_SOURCE_DIR}/packaging/default/${_p}
      DESTINATION ${KELVO_DEFAULTDIR})
    list(APPEND _conffiles ${KELVO_DEFAULTDIR}/${_p})
  endif()
endforeach()
install(FILES ${PROJECT_SOURCE_DIR}/systemd/kelvo.sysusers
  DESTINATION ${KELVO_SYSUSERSDIR} RENAME kelvo.conf)

# Debian's place for them; the changelog compressed, as Debian's are.
set(_docdir ${CMAKE_INSTALL_DATAROOTDIR}/doc/kelvo)
add_custom_command(OUTPUT ${PROJECT_BINARY_DIR}/doc/changelog.gz
  COMMAND ${CMAKE_COMMAND} -E make_directory ${PROJECT_BINARY_DIR}/doc
  COMMAND gzip -9nc ${PROJECT_SOURCE_DIR}/packaging/changelog
    > ${PROJECT_BINARY_DIR}/doc/changelog.gz
  DEPENDS ${PROJECT_SOURCE_DIR}/packaging/changelog VERBATIM)
add_custom_target(kelvo-changelog ALL
  DEPENDS ${PROJECT_BINARY_DIR}/doc/changelog.gz)
install(FILES ${PROJECT_SOURCE_DIR}/packaging/copyright
  ${PROJECT_BINARY_DIR}/doc/changelog.gz DESTINATION ${_docdir})

# The Debian package: one package, kelvo, version from project().
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME kelvo)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(KELVO_MAINTAINER "kelvo maintainers <maintainers@kelvo.invalid>"
  CACHE STRING "The Debian package's Maintainer field")
set(CPACK_PACKAGE_CONTACT "${KELVO_MAINTAINER}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
  "thermostat simulator for user interface work")
# The programs' list, wrapped: a description line is at most 80 columns.
set(_line "Programs:")
set(_shipped_text "")
foreach(_p IN LISTS _shipped)
  string(LENGTH "${_line} ${_p}," _len)
  if(_len GREATER 72)
    string(APPEND _shipped_text "${_line}\n")
    set(_line "${_p},")
  else()
    string(APPEND _line " ${_p},")
  endif()
endforeach()
string(REGEX REPLACE ",$" "." _line "${_line}")
string(APPEND _shipped_text "${_line}")
set(CPACK_PACKAGE_DESCRIPTION
"kelvo simulates a household thermostat and the heating and cooling plant
behind it, and publishes its state through two PPS objects, so that user
interfaces have a real thermostat to show and operate.
.
${_shipped_text}
With their manual pages, systemd units and a sysusers.d entry for the
kelvo user.  No unit is enabled on installation.")
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION misc)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# The page's chart is Debian's Chart.js, served by kelvo-web from where
# that package puts it; kelvo-matter is run by Debian's nodejs.
set(_depends "")
if(TARGET kelvo-web)
  list(APPEND _depends "libjs-chart.js")
endif()
if(TARGET kelvo-matter)
  list(APPEND _depends "nodejs (>= 20)")
endif()
list(JOIN _depends ", " CPACK_DEBIAN_PACKAGE_DEPENDS)
# dpkg keeps a conffile the administrator changed across upgrades.
list(JOIN _conffiles "\n" _conffiles_text)
file(WRITE ${PROJECT_BINARY_DIR}/packaging/conffiles "${_conffiles_text}\n")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
  ${PROJECT_SOURCE_DIR}/packaging/postinst
  ${PROJECT_SOURCE_DIR}/packaging/prerm
  ${PROJECT_SOURCE_DIR}/packaging/postrm
  ${PROJECT_BINARY_DIR}/packaging/conffiles)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
include(CPack)
