# Manual pages, and the Debian packages built by CPack from one install, split as Debian splits them:
#   zeb-privileged     the daemon, its system root with the tool stand-ins, zebctl, zeb-codesign,
#                      the systemd units and the documentation;
#   libzeb-client0     the client library;  libzeb-client-dev  its headers, .pc, CMake files, zeb_client(3);
#   libferrix0         libFerrix;           libferrix-dev      its headers, .pc and CMake files;
#   ferrix             the ferrix command.
# `cmake --build build --target deb` writes them all into build/packages. Each package is one cpack
# run over the whole install (CPackConfig-NAME.cmake); a script run before packing
# (cmake/PackagingSplit.cmake) keeps only that package's files and sets every file's mode.
set(ZEB_MAN_DIR ${PROJECT_SOURCE_DIR}/docs/man)
install(FILES ${ZEB_MAN_DIR}/zebctl.1 ${ZEB_MAN_DIR}/zeb-codesign.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
install(FILES ${ZEB_MAN_DIR}/com.orvel.tessel.zeb.privileged.8 DESTINATION ${CMAKE_INSTALL_MANDIR}/man8)
install(FILES ${ZEB_MAN_DIR}/zeb_client.3 DESTINATION ${CMAKE_INSTALL_MANDIR}/man3 COMPONENT libzeb-client-dev)
if(ZEB_BUILD_TRANSFER)
  install(FILES ${ZEB_MAN_DIR}/ferrix.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT ferrix)
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
# The packages other than the helper's: name, section, files (patterns below the prefix), Depends
# ("shlibdeps": computed from the libraries its binaries need), summary, description.
set(V ${PROJECT_VERSION})
set(ZEB_PACKAGES
  "libzeb-client0|libs|lib/libzeb-client.so.*|shlibdeps|client library of the ZEB privileged helper|libzeb-client connects an app to the privileged helper
com.orvel.tessel.zeb.privileged: it answers the helper's challenge, sends
the requests as typed calls and hands the callbacks to a delegate, with
typed results and errors. C++ and C interfaces."
  "libzeb-client-dev|libdevel|lib/libzeb-client.so,include/ZEB,lib/pkgconfig/zeb-client.pc,lib/cmake/ZEBClient,share/man/man3|libzeb-client0 (= ${V})|client library of the ZEB privileged helper (development files)|Headers (ZEB/Client.h for C++17, ZEB/zeb_client.h for C), the pkg-config
file zeb-client, the CMake package ZEBClient and the manual page zeb_client(3)."
  "libferrix0|libs|lib/libFerrix.so.*|shlibdeps|SFTP file transfers over libssh2 (library)|libFerrix moves files over SFTP with libssh2 in blocking mode,
reporting progress and speed to a delegate. By default it accepts any
host key unless a known-hosts file or a fingerprint is set."
  "libferrix-dev|libdevel|lib/libFerrix.so,include/Ferrix,lib/pkgconfig/ferrix.pc,lib/cmake/Ferrix|libferrix0 (= ${V})|SFTP file transfers over libssh2 (development files)|Headers, the pkg-config file ferrix and the CMake package Ferrix of libFerrix."
  "ferrix|net|bin/ferrix,share/man/man1/ferrix.1|libferrix0 (= ${V}), libc6, libgcc-s1, libstdc++6|SFTP file transfers over libssh2 (command)|The ferrix command: uploads and downloads files over SFTP with libFerrix.")
set(ZEB_PACKAGE_CONFIGS ${CMAKE_BINARY_DIR}/CPackConfig.cmake)
set(other_files)
foreach(entry ${ZEB_PACKAGES})
  string(FIND "${entry}" "|" p0)
  string(SUBSTRING "${entry}" 0 ${p0} name)
  math(EXPR p0 "${p0} + 1")
  string(SUBSTRING "${entry}" ${p0} -1 rest)
  string(FIND "${rest}" "|" p)
  string(SUBSTRING "${rest}" 0 ${p} section)
  math(EXPR p "${p} + 1")
  string(SUBSTRING "${rest}" ${p} -1 rest)
  string(FIND "${rest}" "|" p)
  string(SUBSTRING "${rest}" 0 ${p} files)
  string(REPLACE "," ";" files "${files}")
  math(EXPR p "${p} + 1")
  string(SUBSTRING "${rest}" ${p} -1 rest)
  string(FIND "${rest}" "|" p)
  string(SUBSTRING "${rest}" 0 ${p} depends)
  math(EXPR p "${p} + 1")
  string(SUBSTRING "${rest}" ${p} -1 rest)
  string(FIND "${rest}" "|" p)
  string(SUBSTRING "${rest}" 0 ${p} summary)
  math(EXPR p "${p} + 1")
  string(SUBSTRING "${rest}" ${p} -1 description)
  if(NOT ZEB_BUILD_TRANSFER AND name MATCHES "ferrix")
    continue()
  endif()
  if(depends STREQUAL "shlibdeps")
    set(depends_lines "set(CPACK_DEBIAN_PACKAGE_DEPENDS \"\")\nset(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)")
  else()
    set(depends_lines "set(CPACK_DEBIAN_PACKAGE_DEPENDS \"${depends}\")\nset(CPACK_DEBIAN_PACKAGE_SHLIBDEPS OFF)")
  endif()
  set(extra "")
  if(section STREQUAL "libs")
    set(extra "${PROJECT_SOURCE_DIR}/packaging/debian/shlib/triggers")
  endif()
  file(WRITE ${CMAKE_BINARY_DIR}/CPackConfig-${name}.cmake "include(\"${CMAKE_BINARY_DIR}/CPackConfig.cmake\")
set(CPACK_PACKAGE_NAME ${name})
set(CPACK_DEBIAN_PACKAGE_NAME ${name})
set(CPACK_PACKAGE_FILE_NAME ${name}-${V}-Linux)
set(CPACK_DEBIAN_PACKAGE_SECTION ${section})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY \"${summary}\")
set(CPACK_PACKAGE_DESCRIPTION \"${description}\")
${depends_lines}
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS \"\")
set(CPACK_DEBIAN_PACKAGE_SUGGESTS \"\")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA \"${extra}\")
set(CPACK_INSTALL_CMAKE_PROJECTS \"${CMAKE_BINARY_DIR};zeb;${name};/\")
set(CPACK_ZEB_KEEP \"${files}\")
")
  list(APPEND ZEB_PACKAGE_CONFIGS ${CMAKE_BINARY_DIR}/CPackConfig-${name}.cmake)
  list(APPEND other_files ${files})
endforeach()
# The helper's package keeps what no other package takes: the default component.
set(CPACK_INSTALL_CMAKE_PROJECTS "${CMAKE_BINARY_DIR};zeb;zeb-privileged;/")
set(CPACK_ZEB_DROP "${other_files}")
include(CPack)

set(deb_commands)
foreach(config ${ZEB_PACKAGE_CONFIGS})
  list(APPEND deb_commands COMMAND ${CMAKE_CPACK_COMMAND} --config ${config})
endforeach()
add_custom_target(deb ${deb_commands}
  WORKING_DIRECTORY ${CMAKE_BINARY_DIR}
  COMMENT "Building the Debian packages into ${CMAKE_BINARY_DIR}/packages"
  VERBATIM)
# Only what the packages hold is built for them.
foreach(target com.orvel.tessel.zeb.privileged zebctl zeb-codesign system_profiler zeb-client Ferrix ferrix)
  if(TARGET ${target})
    add_dependencies(deb ${target})
  endif()
endforeach()
