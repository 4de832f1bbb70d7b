#!/bin/sh
# SPDX-License-Identifier: GPL-2.0-or-later
# Builds the Debian package, installs it with dpkg, checks that the
# installed programs run, and removes it again.
set -eu
BUILD=${1:-build}
cd "$(dirname "$0")/.."
rm -f "$BUILD"/qw735_*.deb
(cd "$BUILD" && cpack -G DEB >/dev/null)
deb=$(ls "$BUILD"/qw735_*.deb)
echo "package: $deb"
dpkg-deb --info "$deb" | grep -E 'Depends|Version'
dpkg -i "$deb" >/dev/null
trap 'dpkg -r qw735 >/dev/null' EXIT
for file in /usr/bin/qw735 /usr/bin/qw735-write /usr/bin/qw735-target-sim \
            /usr/share/applications/qw735.desktop /usr/share/qw735/README; do
    test -e "$file" || { echo "missing after install: $file"; exit 1; }
done
info=$(/usr/bin/qw735-write --info examples/sample.mot)
echo "$info"
echo "$info" | grep -q "transfer size           3136 bytes, 49 blocks of 64"
echo "package check passed"
