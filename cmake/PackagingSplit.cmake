# Run by CPack after it installed everything into its staging folder and before it packs: keeps the
# files of the package being built (those matching CPACK_ZEB_KEEP, or for the helper's package those
# matching no CPACK_ZEB_DROP), compresses the manual pages, rewrites the pkg-config prefix to the
# packaging prefix, adds the copyright and changelog Debian expects, and sets every mode (0755 for
# folders and executables, 0644 for the rest), whatever the tree's or the builder's umask.
# Links are never followed: the system root's var/log leads to the host's /var/log.
cmake_policy(SET CMP0009 NEW)
set(stage "${CPACK_TEMPORARY_INSTALL_DIRECTORY}${CPACK_PACKAGING_INSTALL_PREFIX}")
if(NOT IS_DIRECTORY "${stage}")
  set(stage "${CPACK_TEMPORARY_INSTALL_DIRECTORY}")
endif()
if(CPACK_ZEB_KEEP)
  set(patterns ${CPACK_ZEB_KEEP})
else()
  set(patterns ${CPACK_ZEB_DROP})
endif()
file(GLOB_RECURSE everything LIST_DIRECTORIES false RELATIVE "${stage}" "${stage}/*")
foreach(f ${everything})
  # Only what lies inside the staging folder itself is ever removed.
  get_filename_component(parent "${stage}/${f}" DIRECTORY)
  file(REAL_PATH "${parent}" parent)
  file(REAL_PATH "${stage}" real_stage)
  string(FIND "${parent}/" "${real_stage}/" at)
  if(NOT at EQUAL 0)
    message(FATAL_ERROR "${f} lies outside the staging folder")
  endif()
  set(matches FALSE)
  foreach(pattern ${patterns})
    string(REPLACE "." "\\." regex "${pattern}")
    string(REPLACE "*" ".*" regex "^${regex}(/|$)")
    if(f MATCHES "${regex}")
      set(matches TRUE)
    endif()
  endforeach()
  if((CPACK_ZEB_KEEP AND NOT matches) OR (NOT CPACK_ZEB_KEEP AND matches))
    file(REMOVE "${stage}/${f}")
  endif()
endforeach()
# The manual pages' sources come along with docs/; the pages themselves are in share/man.
file(REMOVE_RECURSE "${stage}/share/doc/zeb/man")
# Folders left empty by the split, deepest first (but never the system root's own, which the
# daemon expects, in the helper's package).
file(GLOB_RECURSE dirs LIST_DIRECTORIES true "${stage}/*")
list(SORT dirs ORDER DESCENDING)
foreach(d ${dirs})
  if(IS_DIRECTORY "${d}" AND NOT IS_SYMLINK "${d}" AND (CPACK_ZEB_KEEP OR NOT d MATCHES "/root(/|$)"))
    file(GLOB contents "${d}/*")
    if(NOT contents)
      file(REMOVE_RECURSE "${d}")
    endif()
  endif()
endforeach()

foreach(pc ferrix zeb-client)
  if(EXISTS "${stage}/lib/pkgconfig/${pc}.pc")
    file(READ "${stage}/lib/pkgconfig/${pc}.pc" text)
    string(REGEX REPLACE "^prefix=[^\n]*" "prefix=${CPACK_PACKAGING_INSTALL_PREFIX}" text "${text}")
    file(WRITE "${stage}/lib/pkgconfig/${pc}.pc" "${text}")
  endif()
endforeach()

file(GLOB_RECURSE pages "${stage}/share/man/*")
foreach(page ${pages})
  execute_process(COMMAND gzip -9n "${page}" RESULT_VARIABLE failed)
  if(failed)
    message(FATAL_ERROR "gzip ${page} failed")
  endif()
endforeach()

set(doc "${stage}/share/doc/${CPACK_PACKAGE_NAME}")
file(MAKE_DIRECTORY "${doc}")
file(WRITE "${doc}/copyright" "Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/
Upstream-Name: ${CPACK_PACKAGE_NAME}
Source: ${CPACK_PACKAGE_VENDOR}

Files: *
Copyright: 2026 ${CPACK_PACKAGE_VENDOR}
License: proprietary
 All rights reserved.
")
string(TIMESTAMP when "%a, %d %b %Y %H:%M:%S +0000" UTC)
file(WRITE "${doc}/changelog" "${CPACK_PACKAGE_NAME} (${CPACK_PACKAGE_VERSION}) unstable; urgency=medium

  * Built by CPack from the project's own tree.

 -- ${CPACK_PACKAGE_CONTACT}  ${when}
")
execute_process(COMMAND gzip -9n "${doc}/changelog")

# The lintian warnings that remain, each with its reason.
set(overrides "${CPACK_ZEB_SOURCE_DIR}/packaging/debian/${CPACK_PACKAGE_NAME}.lintian-overrides")
if(EXISTS "${overrides}")
  file(MAKE_DIRECTORY "${stage}/share/lintian/overrides")
  file(COPY_FILE "${overrides}" "${stage}/share/lintian/overrides/${CPACK_PACKAGE_NAME}")
endif()

# Modes by kind, never by the tree: a tree from `git archive` has 0664 files, a builder's umask may
# be 002. Links are not followed (chmod -R skips those met on the way).
execute_process(COMMAND chmod -R u=rwX,go=rX "${CPACK_TEMPORARY_INSTALL_DIRECTORY}" RESULT_VARIABLE failed)
if(failed)
  message(FATAL_ERROR "chmod of the staging folder failed")
endif()
