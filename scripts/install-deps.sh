#!/usr/bin/env bash
# Installs, on Debian 12, every package the project needs to build, test and
# run its programs on the simulated chip. Run as root (or through sudo).
#
#   install-deps.sh               the build machine's own packages
#   install-deps.sh --armhf DIR   also those of the 32-bit ARM cross build
set -euo pipefail

packages=(
  build-essential cmake pkg-config git
  libusb-1.0-0-dev
  umockdev libumockdev-dev
  libgtest-dev libgmock-dev libbenchmark-dev
  clang clang-format clang-tidy libclang-rt-14-dev
  valgrind binutils
  dpkg-dev ccache
  doxygen groff-base man-db
)

SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
APT=($SUDO env DEBIAN_FRONTEND=noninteractive apt-get -o DPkg::Lock::Timeout=600)

# Installs those of the packages named that are not installed yet.
install_missing() {
  local missing=() p
  for p in "$@"; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
      missing+=("$p")
    fi
  done
  if [ ${#missing[@]} -eq 0 ]; then
    echo "install-deps: all packages present"
    return 0
  fi
  echo "install-deps: installing ${missing[*]}"
  "${APT[@]}" update
  "${APT[@]}" install -y --no-install-recommends "${missing[@]}"
}

# The armhf cross build: Debian's cross toolchain, the armhf libraries as
# multiarch packages beside the build machine's, and qemu to run the tests.
# umockdev's armhf preload library and development files cannot be installed
# as packages (umockdev:armhf and libumockdev-dev:armhf would replace the
# build machine's), so the preload library is unpacked into DIR/lib and DIR/
# pkgconfig gets a pkg-config file for the cross build: DIR/pkgconfig goes
# into FTD2XX_ARMHF_PKG_CONFIG_PATH, DIR/lib into the emulated programs'
# LD_LIBRARY_PATH.
install_armhf() {
  local dir=$1 tmp version
  if ! dpkg --print-foreign-architectures | grep -qx armhf; then
    $SUDO dpkg --add-architecture armhf
    "${APT[@]}" update
  fi
  install_missing crossbuild-essential-armhf qemu-user \
    libstdc++6:armhf libusb-1.0-0-dev:armhf libglib2.0-dev:armhf libumockdev0:armhf \
    libgtest-dev:armhf libgmock-dev:armhf
  if [ -e "$dir/lib/libumockdev-preload.so.0" ] && [ -e "$dir/pkgconfig/umockdev-1.0.pc" ]; then
    return 0
  fi
  tmp=$(mktemp -d)
  chmod 777 "$tmp" # apt-get download fetches as the _apt user
  (cd "$tmp" && apt-get download umockdev:armhf)
  dpkg-deb -x "$tmp"/umockdev_*_armhf.deb "$tmp/root"
  mkdir -p "$dir/lib" "$dir/pkgconfig"
  cp -a "$tmp"/root/usr/lib/arm-linux-gnueabihf/libumockdev-preload.so* "$dir/lib/"
  rm -rf "$tmp"
  # The headers are the build machine's (libumockdev-dev, same version), the
  # library libumockdev0:armhf's.
  ln -sf /usr/lib/arm-linux-gnueabihf/libumockdev.so.0 "$dir/pkgconfig/libumockdev.so"
  version=$(dpkg-query -W -f='${Version}' libumockdev0:armhf)
  {
    echo "Name: umockdev"
    echo "Description: umockdev for the armhf cross build"
    echo "Version: ${version%-*}"
    echo "Requires: glib-2.0, gobject-2.0"
    echo "Libs: -L$dir/pkgconfig -lumockdev"
    echo "Cflags: -I/usr/include/umockdev-1.0"
  } >"$dir/pkgconfig/umockdev-1.0.pc"
}

install_missing "${packages[@]}"
if [ "${1:-}" = "--armhf" ]; then
  install_armhf "$(realpath -m "${2:?usage: install-deps.sh --armhf DIR}")"
fi
