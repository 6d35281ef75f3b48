# Cross build for 32-bit ARM (armhf) with Debian's cross toolchain
# (crossbuild-essential-armhf) and armhf libraries installed as multiarch
# packages, e.g. libusb-1.0-0-dev:armhf:
#
#   cmake -S . -B build-armhf -DCMAKE_TOOLCHAIN_FILE=cmake/armhf-linux-gnueabihf.cmake
#
# The programs built run on the board, or here under qemu user emulation:
# CTest starts every test through qemu-arm when it is installed (qemu-user,
# with libstdc++6:armhf).
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR arm)
set(CMAKE_LIBRARY_ARCHITECTURE arm-linux-gnueabihf)

set(CMAKE_C_COMPILER arm-linux-gnueabihf-gcc)
set(CMAKE_CXX_COMPILER arm-linux-gnueabihf-g++)

# Libraries, headers and CMake packages come from the multiarch directories
# (/usr/lib/arm-linux-gnueabihf); programs found at configure time are the
# build machine's own.
set(CMAKE_FIND_ROOT_PATH /usr/arm-linux-gnueabihf)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY BOTH)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE BOTH)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE BOTH)

# pkg-config reads the armhf .pc files only, plus any directories the caller
# puts in FTD2XX_ARMHF_PKG_CONFIG_PATH (searched first).
set(_ftd2xx_pc_dirs /usr/lib/arm-linux-gnueabihf/pkgconfig /usr/share/pkgconfig)
if(DEFINED ENV{FTD2XX_ARMHF_PKG_CONFIG_PATH})
  string(REPLACE ":" ";" _ftd2xx_extra "$ENV{FTD2XX_ARMHF_PKG_CONFIG_PATH}")
  list(PREPEND _ftd2xx_pc_dirs ${_ftd2xx_extra})
endif()
list(JOIN _ftd2xx_pc_dirs ":" _ftd2xx_pc_libdir)
set(ENV{PKG_CONFIG_LIBDIR} "${_ftd2xx_pc_libdir}")
unset(ENV{PKG_CONFIG_PATH})

# The emulated programs load the armhf libraries installed as multiarch
# packages (libc6:armhf, libstdc++6:armhf, libusb-1.0-0:armhf...) through
# /lib/ld-linux-armhf.so.3. Not the cross toolchain's copies in
# /usr/arm-linux-gnueabihf (qemu-arm -L): their C library may be another
# build than the multiarch one, and a mix of the two crashes.
find_program(FTD2XX_QEMU_ARM qemu-arm)
if(FTD2XX_QEMU_ARM)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${FTD2XX_QEMU_ARM})
endif()

# A Debian package built from this tree (--target package) is for armhf.
set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE armhf)
