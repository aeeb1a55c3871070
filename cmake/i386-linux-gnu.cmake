# Cross-builds a 32-bit x86 stub on a Debian amd64 host:
#   apt-get install crossbuild-essential-i386 libtomcrypt-dev:i386
#   (after dpkg --add-architecture i386)
#   cmake -S . -B build-i386 -DCMAKE_TOOLCHAIN_FILE=cmake/i386-linux-gnu.cmake
# The result is a static ELF32 executable that runs on amd64 hosts as well.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR i686)
set(CMAKE_C_COMPILER i686-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER i686-linux-gnu-g++)
# Debian's multiarch directory for i386 libraries (libtomcrypt.a lives there);
# the headers in /usr/include are shared by all architectures.
set(CMAKE_LIBRARY_ARCHITECTURE i386-linux-gnu)
set(CMAKE_FIND_ROOT_PATH /usr/i686-linux-gnu)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY BOTH)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE BOTH)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE BOTH)
# The test programs stay native: the amd64 suite runs against this stub
# through QUARNEL_STUB, so nothing needs an i386 GoogleTest.
set(QUARNEL_TESTS OFF CACHE BOOL "Build the test suite")
