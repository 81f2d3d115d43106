# The Debian package (cpack -G DEB in the build folder): the daemon in
# /usr/sbin, its manual page, the copyright and changelog, and the sample
# settings and rsyslog snippet as examples. Included at the end of the
# top-level CMakeLists.txt.
set(CPACK_PACKAGE_NAME norvale-eventd)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "Norvale eventd maintainers <maintainers@users.noreply.c-seed-f6268765.example>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "event-notification daemon of Norvale routers")
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION "norvale-eventd reads the system log on its standard input, watches the
Ethernet links and notices reboots, and reports each event by SMS, e-mail
or SNMP trap or inform through the router's tools, as its settings say.
rsyslog starts it; the rsyslog snippet is installed as an example only.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION admin)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_STRIP_FILES ON)
# Folders the package shares with the system belong to it only by their files.
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
# A cross-build for the router's 32-bit ARM processor (hard-float ABI) is
# packaged for Debian's armhf, not for the building machine.
if(CMAKE_CROSSCOMPILING AND CMAKE_SYSTEM_PROCESSOR STREQUAL "arm")
  set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE armhf)
endif()
if(NORVALE_STATIC)
  install(FILES ${CMAKE_CURRENT_LIST_DIR}/../deploy/debian/lintian-overrides-static
          DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/lintian/overrides RENAME norvale-eventd)
endif()
include(CPack)
