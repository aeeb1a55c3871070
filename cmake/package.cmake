# cmake --build build --target package (or cpack in the build directory)
# writes quarnel-VERSION-Linux-ARCH.tar.gz (bin/ and share/man/ under one
# top directory) and quarnel_VERSION_ARCH.deb (/usr/bin and
# /usr/share/man/man1), ARCH being Debian's name for the architecture the
# stub was built for. Both carry what cmake --install puts under a prefix.

# A cross toolchain file names its Debian architecture; a native build asks
# dpkg, as CPack's own default would, but once, here.
if(QUARNEL_DEBIAN_ARCH)
  set(QUARNEL_PACKAGE_ARCH ${QUARNEL_DEBIAN_ARCH})
else()
  execute_process(COMMAND dpkg --print-architecture OUTPUT_VARIABLE QUARNEL_PACKAGE_ARCH
    OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
  if(NOT QUARNEL_PACKAGE_ARCH)
    set(QUARNEL_PACKAGE_ARCH ${CMAKE_SYSTEM_PROCESSOR})
  endif()
endif()

set(CPACK_GENERATOR TGZ DEB)
set(CPACK_PACKAGE_NAME quarnel)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_SYSTEM_NAME Linux-${QUARNEL_PACKAGE_ARCH})
set(CPACK_PACKAGE_CONTACT "Quarnel maintainers <maintainers@quarnel.invalid>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "self-extracting installer: builds packages and installs them")
set(CPACK_PACKAGE_DESCRIPTION "Quarnel is one static executable that is both the tool that builds installer
packages and the installer that unpacks them. A package is the program
followed by an MD5-checked tar archive; run, it checks the archive, unpacks
it with the host's tar into a fresh directory, runs the archive's install.sh
there and removes the directory.")
set(CPACK_STRIP_FILES OFF)  # the stub is linked stripped, see QUARNEL_STRIP

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE ${QUARNEL_PACKAGE_ARCH})
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# A static program: no shared libraries to depend on. tar, sh and chown,
# which it runs, are essential packages on every Debian system.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS OFF)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "")

include(CPack)
