# Cross-builds a static 64-bit ARM stub on a Debian amd64 host:
#   apt-get install crossbuild-essential-arm64
#   scripts/sysroot arm64
#   cmake -S . -B build-arm64 -DCMAKE_TOOLCHAIN_FILE=cmake/aarch64-linux-gnu.cmake
# It runs on the host under qemu-user-static through binfmt_misc.
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(QUARNEL_DEBIAN_ARCH arm64)
set(QUARNEL_CROSS_PREFIX aarch64-linux-gnu)
set(CMAKE_LIBRARY_ARCHITECTURE aarch64-linux-gnu)
include(${CMAKE_CURRENT_LIST_DIR}/debian-sysroot.cmake)
