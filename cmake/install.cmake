# What `cmake --install` puts where, and the Debian package made from it
# by `cpack -G DEB`.  Included at the end of the top-level CMakeLists.txt so
# that every program's target exists by now: kelvo-web and kelvo-mqtt are
# installed, with their pages and units, whenever their folders are built.
#
# Installed: the programs, their man pages, the systemd units and the
# sysusers.d file for the kelvo user.  Not installed: the static libraries
# the programs are made of, tests, benchmarks and fuzz targets.
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
set(_services kelvo kelvo-web kelvo-mqtt)
foreach(_u IN LISTS _services)
  configure_file(${PROJECT_SOURCE_DIR}/systemd/${_u}.service.in
    ${PROJECT_BINARY_DIR}/systemd/${_u}.service @ONLY)
endforeach()
set(_shipped "")
foreach(_p kelvo kelvo-panel kelvo-web kelvo-mqtt kelvo-ctl)
  if(NOT TARGET ${_p})
    continue()
  endif()
  list(APPEND _shipped ${_p})
  install(TARGETS ${_p} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
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
endforeach()
install(FILES ${PROJECT_SOURCE_DIR}/systemd/kelvo.sysusers
  DESTINATION ${KELVO_SYSUSERSDIR} RENAME kelvo.conf)

# The Debian package: one package, kelvo, version from project().
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME kelvo)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(KELVO_MAINTAINER "kelvo maintainers <maintainers@kelvo.invalid>"
  CACHE STRING "The Debian package's Maintainer field")
set(CPACK_PACKAGE_CONTACT "${KELVO_MAINTAINER}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
  "thermostat simulator for user interface work")
list(JOIN _shipped ", " _shipped_text)
set(CPACK_PACKAGE_DESCRIPTION
"kelvo simulates a household thermostat and the heating and cooling plant
behind it, and publishes its state through two PPS objects, so that user
interfaces have a real thermostat to show and operate.
.
Programs: ${_shipped_text}.
With their manual pages, systemd units and a sysusers.d entry for the
kelvo user.  No unit is enabled on installation.")
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION misc)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# The page's chart is Debian's Chart.js, served by kelvo-web from where
# that package puts it.
if(TARGET kelvo-web)
  set(CPACK_DEBIAN_PACKAGE_DEPENDS "libjs-chart.js")
endif()
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
  ${PROJECT_SOURCE_DIR}/packaging/postinst
  ${PROJECT_SOURCE_DIR}/packaging/prerm
  ${PROJECT_SOURCE_DIR}/packaging/postrm)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
include(CPack)
