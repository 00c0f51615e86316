# Installation beyond the two programs, and the Debian package that `./scripts/package` builds
# from it. Included by the top-level CMakeLists.txt after GNUInstallDirs and the programs'
# install rules.
#
# Destinations follow GNU and Debian practice. With the prefix /usr the configuration goes to
# /etc and the unit to /lib/systemd/system (absolute, staged through DESTDIR). With any other
# prefix both stay under it, as relative destinations, so that `cmake --install --prefix DIR`
# puts everything below DIR. The unit's ExecStart names the daemon under the prefix given at
# configure time. The daemon itself always reads /etc/zarn-dwel-utils.d/config.json.

if(CMAKE_INSTALL_FULL_SYSCONFDIR STREQUAL "${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_SYSCONFDIR}")
  set(zd_sysconfdir ${CMAKE_INSTALL_SYSCONFDIR})
else()
  set(zd_sysconfdir ${CMAKE_INSTALL_FULL_SYSCONFDIR})
endif()
if(NOT DEFINED ZD_SYSTEMD_UNITDIR)
  if(CMAKE_INSTALL_PREFIX STREQUAL "/usr")
    set(ZD_SYSTEMD_UNITDIR /lib/systemd/system)
  else()
    set(ZD_SYSTEMD_UNITDIR lib/systemd/system)
  endif()
endif()

# Manual pages go out compressed, as Debian ships them; gzip -n keeps the archive free of
# time stamps so that two builds of one tree give the same package.
find_program(ZD_GZIP gzip REQUIRED)
set(zd_man_pages zarn-dwel-forwarder.8 prefix-check.1)
set(zd_man_outputs)
foreach(page ${zd_man_pages})
  set(out ${CMAKE_BINARY_DIR}/man/${page}.gz)
  add_custom_command(OUTPUT ${out}
    COMMAND ${CMAKE_COMMAND} -E copy ${CMAKE_SOURCE_DIR}/docs/man/${page} ${CMAKE_BINARY_DIR}/man/${page}
    COMMAND ${ZD_GZIP} -9nf ${CMAKE_BINARY_DIR}/man/${page}
    DEPENDS ${CMAKE_SOURCE_DIR}/docs/man/${page}
    COMMENT "Compressing manual page ${page}")
  list(APPEND zd_man_outputs ${out})
  string(REGEX MATCH "[0-9]$" section ${page})
  install(FILES ${out} DESTINATION ${CMAKE_INSTALL_MANDIR}/man${section})
endforeach()
add_custom_target(man_pages ALL DEPENDS ${zd_man_outputs})

# The licence and the changelog. CHANGELOG.md is the one changelog kept by hand; the package's
# changelog.Debian.gz is made from it, with the project version as the package's, and the
# build stops while its newest entry names another version. Under the prefix /usr they go in
# Debian's form (a machine-readable copyright file that points at the system's copy of the
# licence, the Debian changelog, the lintian overrides); under any other they go as they are.
set(ZD_PACKAGE_NAME zarn-dwel)
set(ZD_PACKAGE_REVISION 1)
set(ZD_MAINTAINER "zarn-dwel developers <zarn-dwel@example.org>")
find_program(PYTHON3 NAMES python3 REQUIRED)
set(zd_changelog ${CMAKE_BINARY_DIR}/packaging/changelog.Debian)
add_custom_command(OUTPUT ${zd_changelog}.gz
  COMMAND ${PYTHON3} ${CMAKE_SOURCE_DIR}/packaging/debian-changelog.py
    ${CMAKE_SOURCE_DIR}/CHANGELOG.md ${ZD_PACKAGE_NAME} ${PROJECT_VERSION} ${ZD_PACKAGE_REVISION}
    ${ZD_MAINTAINER} ${zd_changelog}
  COMMAND ${ZD_GZIP} -9nf ${zd_changelog}
  DEPENDS ${CMAKE_SOURCE_DIR}/CHANGELOG.md ${CMAKE_SOURCE_DIR}/packaging/debian-changelog.py
  COMMENT "Making the Debian changelog from CHANGELOG.md" VERBATIM)
add_custom_target(changelog ALL DEPENDS ${zd_changelog}.gz)
if(CMAKE_INSTALL_PREFIX STREQUAL "/usr")
  install(FILES ${CMAKE_SOURCE_DIR}/packaging/debian/copyright ${zd_changelog}.gz
    DESTINATION ${CMAKE_INSTALL_DOCDIR})
  install(FILES ${CMAKE_SOURCE_DIR}/packaging/debian/lintian-overrides
    DESTINATION ${CMAKE_INSTALL_DATADIR}/lintian/overrides RENAME ${ZD_PACKAGE_NAME})
else()
  install(FILES ${CMAKE_SOURCE_DIR}/LICENSE ${CMAKE_SOURCE_DIR}/CHANGELOG.md
    DESTINATION ${CMAKE_INSTALL_DOCDIR})
endif()

set(ZD_SBINDIR ${CMAKE_INSTALL_FULL_SBINDIR})
set(ZD_DOCDIR ${CMAKE_INSTALL_FULL_DOCDIR})
configure_file(${CMAKE_SOURCE_DIR}/packaging/zarn-dwel-forwarder@.service.in
  ${CMAKE_BINARY_DIR}/packaging/zarn-dwel-forwarder@.service @ONLY)
install(FILES ${CMAKE_BINARY_DIR}/packaging/zarn-dwel-forwarder@.service
  DESTINATION ${ZD_SYSTEMD_UNITDIR})
install(FILES ${CMAKE_SOURCE_DIR}/packaging/config.json
  DESTINATION ${zd_sysconfdir}/zarn-dwel-utils.d)
install(FILES ${CMAKE_SOURCE_DIR}/README.md ${CMAKE_SOURCE_DIR}/docs/operations.md
  ${CMAKE_SOURCE_DIR}/docs/architecture.md DESTINATION ${CMAKE_INSTALL_DOCDIR})
install(FILES ${CMAKE_SOURCE_DIR}/packaging/zarn-dwel-forwarder.default
  DESTINATION ${CMAKE_INSTALL_DOCDIR}/examples)

# ---- Debian package (cpack -G DEB) ----
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME ${ZD_PACKAGE_NAME})
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT ${ZD_MAINTAINER})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "NFS-over-TLS forwarder daemon and prefix checker")
# Debian wants the extended description wrapped; CPack indents each line and marks the
# empty one.
set(CPACK_PACKAGE_DESCRIPTION
"zarn-dwel-forwarder carries a host's NFS traffic to a remote file server
over TLS. It listens with plain TCP on the four NFS client ports (rpcbind
111, mount 2048, nfs 2049, nlm 2050) inside a named network namespace and
pairs every accepted connection with one TLS client connection to the mount
target, whose certificate chain and name it verifies. A systemd template
unit runs one instance per network namespace, with readiness notification
and a watchdog fed by the thread that moves the data.

prefix-check validates an IPv4 /24 or IPv6 /64 network prefix for scripts.")
# Staging through DESTDIR keeps the absolute destinations (/etc, /lib/systemd/system) inside
# the package instead of the build host.
set(CPACK_SET_DESTDIR ON)
set(CPACK_PACKAGING_INSTALL_PREFIX ${CMAKE_INSTALL_PREFIX})
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_RELEASE ${ZD_PACKAGE_REVISION})
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# dpkg-shlibdeps reads the libraries the programs are linked against, so a library that the
# build adds (libseccomp for the sandbox) shows up in Depends without an edit here.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_SUGGESTS "nfs-common, iproute2")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
  ${CMAKE_SOURCE_DIR}/packaging/debian/conffiles
  ${CMAKE_SOURCE_DIR}/packaging/debian/postinst
  ${CMAKE_SOURCE_DIR}/packaging/debian/prerm
  ${CMAKE_SOURCE_DIR}/packaging/debian/postrm)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
# The programs go out stripped; their debug information goes to zarn-dwel-dbgsym (a .ddeb),
# one file per program under /usr/lib/debug/.build-id/, which gdb, addr2line and coredumpctl
# find by the build id the stripped program carries.
find_program(ZD_OBJCOPY objcopy REQUIRED)
find_program(ZD_STRIP strip REQUIRED)
find_program(ZD_READELF readelf REQUIRED)
set(CPACK_ZD_OBJCOPY ${ZD_OBJCOPY})
set(CPACK_ZD_STRIP ${ZD_STRIP})
set(CPACK_ZD_READELF ${ZD_READELF})
set(CPACK_ZD_PROGRAMS ${CMAKE_INSTALL_FULL_SBINDIR}/zarn-dwel-forwarder
  ${CMAKE_INSTALL_FULL_BINDIR}/prefix-check)
set(CPACK_PRE_BUILD_SCRIPTS ${CMAKE_SOURCE_DIR}/packaging/split-debug.cmake)
include(CPack)
