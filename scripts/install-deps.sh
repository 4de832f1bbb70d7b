#!/bin/sh
# SPDX-License-Identifier: GPL-2.0-or-later
# Installs everything needed to build, test, fuzz and package QW735 on
# Debian 12. Safe to run again: it does nothing when all is present.
set -eu

PACKAGES="
  build-essential cmake make pkg-config dpkg-dev file
  debhelper devscripts
  help2man librsvg2-bin lintian man-db
  qt6-base-dev qt6-serialport-dev libgl-dev
  libgtest-dev googletest
  srecord binutils binutils-powerpc-linux-gnu
  ser2net openssl libqt6network6
  clang-19 libclang-rt-19-dev
  xvfb xauth x11-apps fonts-ipafont-gothic
"

missing=""
for package in $PACKAGES; do
    if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed"; then
        missing="$missing $package"
    fi
done

if [ -z "$missing" ]; then
    exit 0
fi

if [ "$(id -u)" -ne 0 ]; then
    SUDO=sudo
else
    SUDO=
fi
echo "Installing:$missing" >&2
$SUDO apt-get update -qq
DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends $missing >&2
