# Manual pages, and the two Debian packages built by CPack from one install:
#   zeb-privileged  the daemon, its system root with the tool stand-ins, zebctl, zeb-codesign,
#                   the systemd units and the documentation;
#   ferrix          libFerrix, its headers, pkg-config and CMake files, and the ferrix command.
# `cmake --build build --target deb` writes both into build/packages (scripts/package does the same).
# Each package is one cpack run over the whole install; a script run before packing
# (cmake/PackagingSplit.cmake) keeps only that package's files.

set(ZEB_MAN_DIR ${PROJECT_SOURCE_DIR}/docs/man)
install(FILES ${ZEB_MAN_DIR}/zebctl.1 ${ZEB_MAN_DIR}/zeb-codesign.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
install(FILES ${ZEB_MAN_DIR}/com.orvel.tessel.zeb.privileged.8 DESTINATION ${CMAKE_INSTALL_MANDIR}/man8)
if(ZEB_BUILD_TRANSFER)
  install(FILES ${ZEB_MAN_DIR}/ferrix.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
endif()

# CPack installs after building the preinstall target, which would otherwise build everything (the
# tests and benchmarks too); the deb target below names what the packages need.
set(CMAKE_SKIP_INSTALL_ALL_DEPENDENCY TRUE)
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "Orvel Tessel <packages@orvel.invalid>")
set(CPACK_PACKAGE_VENDOR "Orvel Tessel")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_SECTION admin)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_PACKAGE_DIRECTORY ${CMAKE_BINARY_DIR}/packages)
set(CPACK_OUTPUT_CONFIG_FILE ${CMAKE_BINARY_DIR}/CPackConfig.cmake)
set(CPACK_SOURCE_OUTPUT_CONFIG_FILE ${CMAKE_BINARY_DIR}/CPackSourceConfig.cmake)
set(CPACK_PRE_BUILD_SCRIPTS ${PROJECT_SOURCE_DIR}/cmake/PackagingSplit.cmake)
set(CPACK_ZEB_SOURCE_DIR ${PROJECT_SOURCE_DIR})
# The helper's package by default; CPackConfigFerrix.cmake (below) switches to Ferrix's.
set(CPACK_PACKAGE_NAME zeb-privileged)
set(CPACK_DEBIAN_PACKAGE_NAME zeb-privileged)
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "privileged helper that runs diagnostic tools for signed clients")
set(CPACK_PACKAGE_DESCRIPTION "A root daemon started on demand by systemd socket activation.
It admits only clients whose executable carries a code signature that
satisfies its requirement, runs Linux stand-ins of the diagnostic tools
(reports are redacted and carry a manifest), gathers root-only logs, and
answers every request with one callback. Includes zebctl and zeb-codesign.")
# zip builds the archives; setpriv (util-linux) and perl-base, both essential, drop to a user and redact.
set(CPACK_DEBIAN_PACKAGE_DEPENDS "zip, procps, iproute2")
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "sosreport, systemd")
set(CPACK_DEBIAN_PACKAGE_SUGGESTS "elfutils, lintian")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
  ${PROJECT_SOURCE_DIR}/packaging/debian/postinst ${PROJECT_SOURCE_DIR}/packaging/debian/prerm
  ${PROJECT_SOURCE_DIR}/packaging/debian/postrm)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
include(CPack)

add_custom_target(deb
  COMMAND ${CMAKE_CPACK_COMMAND} --config ${CMAKE_BINARY_DIR}/CPackConfig.cmake
  COMMAND ${CMAKE_CPACK_COMMAND} --config ${CMAKE_BINARY_DIR}/CPackConfigFerrix.cmake
  WORKING_DIRECTORY ${CMAKE_BINARY_DIR}
  COMMENT "Building the Debian packages into ${CMAKE_BINARY_DIR}/packages"
  VERBATIM)
# Only what the packages hold is built for them.
foreach(target com.orvel.tessel.zeb.privileged zebctl zeb-codesign system_profiler Ferrix ferrix)
  if(TARGET ${target})
    add_dependencies(deb ${target})
  endif()
endforeach()

# Ferrix's package: the same install, the other half of the files.
file(WRITE ${CMAKE_BINARY_DIR}/CPackConfigFerrix.cmake "include(\"${CMAKE_BINARY_DIR}/CPackConfig.cmake\")
set(CPACK_PACKAGE_NAME ferrix)
set(CPACK_DEBIAN_PACKAGE_NAME ferrix)
set(CPACK_PACKAGE_FILE_NAME ferrix-${PROJECT_VERSION}-Linux)
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY \"SFTP file transfers over libssh2 (library and command)\")
set(CPACK_PACKAGE_DESCRIPTION \"libFerrix moves files over SFTP with libssh2 in blocking mode,
reporting progress and speed to a delegate. Includes its headers, pkg-config
and CMake package files, and the ferrix command. By default it accepts any
host key unless a known-hosts file or a fingerprint is set.\")
set(CPACK_DEBIAN_PACKAGE_DEPENDS \"libssh2-1-dev\")
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS \"\")
set(CPACK_DEBIAN_PACKAGE_SUGGESTS \"\")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA \"${PROJECT_SOURCE_DIR}/packaging/debian/ferrix/triggers\")
")
