#!/bin/sh
# SPDX-License-Identifier: GPL-2.0-or-later
# Builds the Debian package and checks it as a packager and an administrator
# would: lintian finds nothing to say, the version is the same everywhere,
# the debug package matches the stripped programs, the installed programs
# run and their manual pages open, and removing the package leaves nothing
# behind under /usr. Needs root (it installs the package).
set -eu
BUILD=${1:-build}
cd "$(dirname "$0")/.."

fail() {
    echo "package check failed: $*" >&2
    exit 1
}

# The check ends by removing the package, so it must not find one installed.
if dpkg-query -W -f='${Status}' qw735 2>/dev/null | grep -q "install ok installed"; then
    fail "qw735 is installed already; remove it first (dpkg --purge qw735)"
fi

rm -f "$BUILD"/qw735_*.deb "$BUILD"/qw735-dbgsym_*.ddeb
(cd "$BUILD" && cpack -G DEB >/dev/null)
deb=$(ls "$BUILD"/qw735_*.deb)
ddeb=$(ls "$BUILD"/qw735-dbgsym_*.ddeb)
version=$(dpkg-deb --field "$deb" Version)
echo "package: $deb, version $version"
echo "debug symbols: $ddeb"

# Any error or warning fails; an override would go in the package with a
# comment saying why (there is none). Lintian's note that it runs as root is
# left out of the output.
if ! lintian_output=$(lintian --fail-on error,warning "$deb" "$ddeb" 2>&1); then
    echo "$lintian_output" | grep -v '^running with root privileges' >&2
    fail "lintian"
fi
echo "lintian: nothing to report"

before=$(mktemp)
after=$(mktemp)
trap 'dpkg --purge qw735 >/dev/null 2>&1 || true; rm -f "$before" "$after"' EXIT
find /usr -xdev | sort >"$before"

dpkg -i "$deb" >/dev/null
for file in /usr/bin/qw735 /usr/bin/qw735-write /usr/bin/qw735-target-sim \
            /usr/share/applications/qw735.desktop /usr/share/qw735/README \
            /usr/share/icons/hicolor/scalable/apps/qw735.svg /usr/share/icons/hicolor/48x48/apps/qw735.png \
            /usr/share/doc/qw735/copyright /usr/share/doc/qw735/changelog.gz \
            /usr/share/man/man1/qw735.1.gz /usr/share/man/man1/qw735-write.1.gz \
            /usr/share/man/man1/qw735-target-sim.1.gz; do
    test -e "$file" || fail "missing after install: $file"
done

# The debug package holds the debug information of each installed program,
# found by its build ID as gdb looks for it.
debug_files=$(dpkg-deb --contents "$ddeb")
for program in qw735 qw735-write qw735-target-sim; do
    id=$(LC_ALL=C readelf -n "/usr/bin/$program" | sed -n 's/.*Build ID: *//p')
    [ -n "$id" ] || fail "$program has no build ID"
    echo "$debug_files" | grep -q -F "./usr/lib/debug/.build-id/$(echo "$id" | cut -c1-2)/$(echo "$id" | cut -c3-).debug" \
        || fail "$ddeb has no debug information for $program (build ID $id)"
done

# One version: the package's, its changelog's newest entry, and each
# program's --version (the window program answers without a display).
changelog_version=$(zcat /usr/share/doc/qw735/changelog.gz | dpkg-parsechangelog -l - -S Version)
[ "$changelog_version" = "$version" ] || fail "the changelog's newest entry is $changelog_version, the package is $version"
for program in qw735 qw735-write qw735-target-sim; do
    answer=$(env -u DISPLAY -u WAYLAND_DISPLAY "/usr/bin/$program" --version)
    echo "$answer"
    [ "$answer" = "$program $version" ] || fail "$program --version says '$answer', the package is $version"
done

page=$(MANWIDTH=80 man --pager=cat qw735-write 2>&1) || fail "man qw735-write: $page"
for text in "EXIT STATUS" "Not Found TQW735.BIN" "/usr/share/qw735/tqw735.bin" "ttyUSB0" "COM1"; do
    echo "$page" | grep -q -F "$text" || fail "man qw735-write does not mention $text"
done
echo "man qw735-write: $(echo "$page" | wc -l) lines"

info=$(/usr/bin/qw735-write --info examples/sample.mot)
echo "$info"
echo "$info" | grep -q "transfer size           3136 bytes, 49 blocks of 64" || fail "qw735-write --info"

dpkg --purge qw735 >/dev/null
if dpkg -L qw735 >/dev/null 2>&1; then
    fail "dpkg still lists qw735 after removing it"
fi
find /usr -xdev | sort >"$after"
if ! diff "$before" "$after" >&2; then
    fail "removing the package left /usr changed (above: < gone, > left behind)"
fi
echo "package check passed"
