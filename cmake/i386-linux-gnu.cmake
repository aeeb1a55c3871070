# Cross-builds a static 32-bit x86 stub on a Debian amd64 host:
#   apt-get install crossbuild-essential-i386
#   scripts/sysroot i386
#   cmake -S . -B build-i386 -DCMAKE_TOOLCHAIN_FILE=cmake/i386-linux-gnu.cmake
# The result is a static ELF32 executable that runs on amd64 hosts as well.
set(CMAKE_SYSTEM_PROCESSOR i686)
set(QUARNEL_DEBIAN_ARCH i386)
set(QUARNEL_CROSS_PREFIX i686-linux-gnu)
set(CMAKE_LIBRARY_ARCHITECTURE i386-linux-gnu)
include(${CMAKE_CURRENT_LIST_DIR}/debian-sysroot.cmake)
