# Cross-builds a static 32-bit ARM (hard-float) stub on a Debian amd64 host:
#   apt-get install crossbuild-essential-armhf
#   scripts/sysroot armhf
#   cmake -S . -B build-armhf -DCMAKE_TOOLCHAIN_FILE=cmake/arm-linux-gnueabihf.cmake
# It runs on the host under qemu-user-static through binfmt_misc.
set(CMAKE_SYSTEM_PROCESSOR arm)
set(QUARNEL_DEBIAN_ARCH armhf)
set(QUARNEL_CROSS_PREFIX arm-linux-gnueabihf)
set(CMAKE_LIBRARY_ARCHITECTURE arm-linux-gnueabihf)
include(${CMAKE_CURRENT_LIST_DIR}/debian-sysroot.cmake)
