#!/bin/sh
# SPDX-License-Identifier: GPL-2.0-or-later
# Installs what QW735 needs on Debian 12, by what is to be done:
#   demo     build qw735-write and qw735-target-sim (and their manual
#            pages) and write the sample through the simulated board
#            (make demo)
#   build    build everything: the window program, the manual pages, the
#            test suite and the benchmarks (make build)
#   check    and run the suite (make check, make check-sanitize)
#   fuzz     build and run the fuzzers (make fuzz-smoke)
#   package  build and check the Debian packages (make package-check)
#   all      all of these, and what the screenshots of the windows are
#            taken with; the default, as CI runs everything
# Each set holds the ones before it. Safe to run again: it does nothing when
# all is present.
set -eu

# toml++ reads job files; it is header-only, so the programs need nothing
# of it at run time. libpq is the client of the line's database.
DEMO="g++ make cmake pkg-config qt6-base-dev qt6-serialport-dev libtomlplusplus-dev libpq-dev help2man"
BUILD="$DEMO pkg-config librsvg2-bin libgl-dev libgtest-dev googletest"
# The tests' oracles and peers: srec_cat, objcopy and ld (also for a
# big-endian ELF), ser2net with openssl for the remote ports, PostgreSQL's
# server for the records and numbers in a database (the tests start their
# own, as nobody when run as root), and the fonts the windows are laid out
# with.
CHECK="$BUILD srecord binutils binutils-powerpc-linux-gnu ser2net openssl postgresql libqt6network6 fonts-ipafont-gothic"
FUZZ="$CHECK clang-19 libclang-rt-19-dev"
PACKAGE="$CHECK build-essential dpkg-dev file debhelper devscripts lintian man-db"
ALL="$FUZZ $PACKAGE xvfb xauth x11-apps"

packages=""
for set in ${*:-all}; do
    case $set in
        demo) packages="$packages $DEMO" ;;
        build) packages="$packages $BUILD" ;;
        check) packages="$packages $CHECK" ;;
        fuzz) packages="$packages $FUZZ" ;;
        package) packages="$packages $PACKAGE" ;;
        all) packages="$packages $ALL" ;;
        *)
            echo "install-deps.sh: no package set '$set'; the sets are demo, build, check, fuzz, package and all" >&2
            exit 64
            ;;
    esac
done

missing=""
for package in $(echo "$packages" | tr ' ' '\n' | sort -u); do
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
