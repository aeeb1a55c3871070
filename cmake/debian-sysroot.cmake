# Shared by the cross toolchain files: the compiler comes from Debian's
# crossbuild-essential-<arch>, the libraries the stub links statically from
# a private tree of that architecture's -dev packages made by
#   scripts/sysroot <arch>
# under $QUARNEL_SYSROOTS (default /var/cache/quarnel/sysroots), so nothing
# of the host's own libraries or headers is picked up by mistake.
# The including file sets QUARNEL_DEBIAN_ARCH, the compiler prefix
# QUARNEL_CROSS_PREFIX and CMAKE_LIBRARY_ARCHITECTURE (the multiarch
# directory under usr/lib).
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_C_COMPILER ${QUARNEL_CROSS_PREFIX}-gcc)
set(CMAKE_CXX_COMPILER ${QUARNEL_CROSS_PREFIX}-g++)

if(DEFINED ENV{QUARNEL_SYSROOTS} AND NOT "$ENV{QUARNEL_SYSROOTS}" STREQUAL "")
  set(quarnel_sysroots "$ENV{QUARNEL_SYSROOTS}")
else()
  set(quarnel_sysroots /var/cache/quarnel/sysroots)
endif()
set(QUARNEL_SYSROOT "${quarnel_sysroots}/${QUARNEL_DEBIAN_ARCH}" CACHE PATH
  "Tree of ${QUARNEL_DEBIAN_ARCH} static libraries and headers (scripts/sysroot ${QUARNEL_DEBIAN_ARCH})")
if(NOT EXISTS "${QUARNEL_SYSROOT}/.packages")
  message(FATAL_ERROR "No ${QUARNEL_DEBIAN_ARCH} library tree at ${QUARNEL_SYSROOT}: "
    "run scripts/sysroot ${QUARNEL_DEBIAN_ARCH} first (or set QUARNEL_SYSROOTS)")
endif()

set(CMAKE_FIND_ROOT_PATH "${QUARNEL_SYSROOT}")
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
# The test programs stay native: the amd64 suite runs against a cross stub
# through QUARNEL_STUB (scripts/matrix), so no foreign GoogleTest is needed.
set(QUARNEL_TESTS OFF CACHE BOOL "Build the test suite")
