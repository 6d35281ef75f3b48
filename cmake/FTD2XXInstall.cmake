# Everything installed beside the library and the programs, and the Debian
# package built from the installed tree.
include(CMakePackageConfigHelpers)

set(FTD2XX_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/ftd2xx)
set(FTD2XX_DOC_DIR ${CMAKE_INSTALL_DATAROOTDIR}/doc/libftd2xx)
# Under the prefix: /usr/lib/udev/rules.d for /usr, which udev reads (on
# Debian 12 /lib is /usr/lib), /usr/local/lib/udev/rules.d for /usr/local.
set(FTD2XX_UDEV_RULES_DIR lib/udev/rules.d CACHE STRING
  "Where the udev rule is installed (relative to the prefix, or absolute)")

# --- CMake package: ftd2xx::ftd2xx, ftd2xx::ftd2xx_static ------------------
install(EXPORT ftd2xx-shared-targets NAMESPACE ftd2xx:: DESTINATION ${FTD2XX_CMAKE_DIR})
install(EXPORT ftd2xx-static-targets NAMESPACE ftd2xx:: DESTINATION ${FTD2XX_CMAKE_DIR})
configure_package_config_file(${CMAKE_CURRENT_LIST_DIR}/ftd2xxConfig.cmake.in
  ${CMAKE_CURRENT_BINARY_DIR}/ftd2xxConfig.cmake
  INSTALL_DESTINATION ${FTD2XX_CMAKE_DIR})
write_basic_package_version_file(${CMAKE_CURRENT_BINARY_DIR}/ftd2xxConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/ftd2xxConfig.cmake
  ${CMAKE_CURRENT_BINARY_DIR}/ftd2xxConfigVersion.cmake
  DESTINATION ${FTD2XX_CMAKE_DIR})

# --- pkg-config: libftd2xx.pc ------------------------------------------------
# The prefix is filled in at install time, so that the file names the
# directory actually installed to (cmake --install <dir> --prefix <stage>).
foreach(dir LIBDIR INCLUDEDIR)
  if(IS_ABSOLUTE "${CMAKE_INSTALL_${dir}}")
    set(FTD2XX_PC_${dir} "${CMAKE_INSTALL_${dir}}")
  else()
    set(FTD2XX_PC_${dir} "\${prefix}/${CMAKE_INSTALL_${dir}}")
  endif()
endforeach()
set(FTD2XX_PC_PREFIX "@FTD2XX_PC_PREFIX@")
configure_file(${CMAKE_CURRENT_LIST_DIR}/libftd2xx.pc.in
  ${CMAKE_CURRENT_BINARY_DIR}/libftd2xx.pc.in.configured @ONLY)
install(CODE "
  set(FTD2XX_PC_PREFIX \"\${CMAKE_INSTALL_PREFIX}\")
  configure_file(\"${CMAKE_CURRENT_BINARY_DIR}/libftd2xx.pc.in.configured\"
    \"${CMAKE_CURRENT_BINARY_DIR}/libftd2xx.pc\" @ONLY)
")
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/libftd2xx.pc
  DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)

# --- udev rule and documentation ----------------------------------------------
install(FILES ${PROJECT_SOURCE_DIR}/packaging/60-libftd2xx.rules
  DESTINATION ${FTD2XX_UDEV_RULES_DIR})
install(FILES ${PROJECT_SOURCE_DIR}/README.md
  ${PROJECT_SOURCE_DIR}/packaging/doc/wg_output.md
  ${PROJECT_SOURCE_DIR}/packaging/doc/wg_input.md
  DESTINATION ${FTD2XX_DOC_DIR})
# The README's links into docs/ hold in the installed tree too.
install(DIRECTORY ${PROJECT_SOURCE_DIR}/docs/ DESTINATION ${FTD2XX_DOC_DIR}/docs
  FILES_MATCHING PATTERN "*.md" PATTERN "man" EXCLUDE)
if(TARGET docs)
  install(DIRECTORY ${PROJECT_BINARY_DIR}/docs/api/html/ DESTINATION ${FTD2XX_DOC_DIR}/api)
endif()

# --- manual pages ----------------------------------------------------------------
# ftdisim-run(1) describes the launcher of a source build, which the
# programs' own pages point to for running without hardware.
install(FILES ${PROJECT_SOURCE_DIR}/docs/man/wg_output.1 ${PROJECT_SOURCE_DIR}/docs/man/wg_input.1
  ${PROJECT_SOURCE_DIR}/docs/man/ftdisim-run.1
  DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
install(FILES ${PROJECT_SOURCE_DIR}/docs/man/ftd2xx.cfg.5 DESTINATION ${CMAKE_INSTALL_MANDIR}/man5)

# --- Debian package ------------------------------------------------------------
# cmake -S . -B build-deb -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX=/usr \
#   -DFTD2XX_BUILD_TESTS=OFF -DFTD2XX_BUILD_BENCH=OFF && cmake --build build-deb --target package
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME libftd2xx)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "libftd2xx developers <libftd2xx@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
  "D2XX interface for FTDI USB serial chips on libusb-1.0, and the Wiegand converter consoles")
set(CPACK_PACKAGE_DESCRIPTION
  "User-space implementation of the D2XX device interface (FT_* and FT_W32_* functions) \
for FTDI USB serial chips, built on libusb-1.0: shared and static library, C header, \
pkg-config file and CMake package, a udev rule giving the plugdev group access to the \
chips, and the console programs wg_output and wg_input for Tavrin Wiegand converters.")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION libs)
# Dependencies from the binaries themselves (libusb-1.0-0, libc6, libstdc++6...),
# and a shlibs file plus the ldconfig trigger for libftd2xx.so.1.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_SUGGESTS "libusb-1.0-0-dev, pkgconf")
set(CPACK_STRIP_FILES ON)
include(CPack)
