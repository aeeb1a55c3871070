# Cross-builds a static stub for 64-bit IBM Z, a big-endian host, on a
# Debian amd64 host:
#   apt-get install crossbuild-essential-s390x
#   scripts/sysroot s390x
#   cmake -S . -B build-s390x -DCMAKE_TOOLCHAIN_FILE=cmake/s390x-linux-gnu.cmake
# It runs on the host under qemu-user-static through binfmt_misc.
set(CMAKE_SYSTEM_PROCESSOR s390x)
set(QUARNEL_DEBIAN_ARCH s390x)
set(QUARNEL_CROSS_PREFIX s390x-linux-gnu)
set(CMAKE_LIBRARY_ARCHITECTURE s390x-linux-gnu)
include(${CMAKE_CURRENT_LIST_DIR}/debian-sysroot.cmake)
