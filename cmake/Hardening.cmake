# Debian's hardening flags for every target, as dpkg-buildflags gives them with hardening=+all
# (fortify, stack protector, format checks, relro and bindnow), and PIE executables. Only the
# hardening flags are taken: optimization and debug information follow the build type. Builds
# without optimization (Debug, the sanitizer builds) can't fortify and go without.
option(ZEB_HARDENING "Build with Debian's hardening flags" ON)
cmake_policy(SET CMP0083 NEW)
include(CheckPIESupported)
check_pie_supported(LANGUAGES C CXX)
find_program(ZEB_DPKG_BUILDFLAGS dpkg-buildflags)
if(ZEB_HARDENING AND ZEB_DPKG_BUILDFLAGS AND NOT ZEB_SANITIZE AND NOT ZEB_FUZZ AND NOT CMAKE_BUILD_TYPE STREQUAL "Debug")
  foreach(kind CPPFLAGS CXXFLAGS LDFLAGS)
    execute_process(COMMAND ${CMAKE_COMMAND} -E env DEB_BUILD_MAINT_OPTIONS=hardening=+all ${ZEB_DPKG_BUILDFLAGS} --get ${kind}
      OUTPUT_VARIABLE flags OUTPUT_STRIP_TRAILING_WHITESPACE COMMAND_ERROR_IS_FATAL ANY)
    separate_arguments(flags UNIX_COMMAND "${flags}")
    list(FILTER flags EXCLUDE REGEX "^-(g|O[0-9s]?|ffile-prefix-map=.*|fdebug-prefix-map=.*)$")
    if(kind STREQUAL "LDFLAGS")
      add_link_options(${flags})
    else()
      add_compile_options(${flags})
    endif()
    list(APPEND ZEB_HARDENING_FLAGS ${flags})
  endforeach()
  list(REMOVE_DUPLICATES ZEB_HARDENING_FLAGS)
  message(STATUS "Hardening: ${ZEB_HARDENING_FLAGS}")
endif()
