#!/bin/sh
# SPDX-License-Identifier: GPL-2.0-or-later
# Builds the Debian packages with dpkg-buildpackage and checks them as a
# packager and an administrator would: lintian (pedantic, informational
# notes included) has nothing to say; the programs are hardened; the
# command-line package installs alone without any widget library, OpenGL or
# font, here and on a bare system; its programs write its example to the
# simulated board, and find the machine's loader folder; the window package
# installs on top; and purging both leaves /usr as it was. Needs root (it
# installs the packages).
#
# The packages are built from a copy of the tree in a scratch folder
# (dpkg-buildpackage writes them next to the source, in its parent), so
# neither the tree nor its parent gets anything; the folder is removed at
# the end, also on failure.
set -eu
cd "$(dirname "$0")/.."
tree=$(pwd)

fail() {
    echo "package check failed: $*" >&2
    exit 1
}

installed_packages() {
    dpkg-query -W -f='${db:Status-Abbrev} ${Package}\n' | awk '$1 == "ii" { print $2 }' | sort
}

# The check ends by purging the packages, so it must find none installed.
for package in qw735 qw735-cli qw735-dbgsym qw735-cli-dbgsym; do
    if dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed"; then
        fail "$package is installed already; remove it first (apt-get purge $package)"
    fi
done

scratch=$(mktemp -d /tmp/qw735-package.XXXXXX)
# apt reads the local .debs as its own unprivileged user.
chmod 755 "$scratch"
came_in=""
cleanup() {
    # Whatever the check installed goes again, also when it failed half way.
    installed=""
    for package in qw735 qw735-cli $came_in; do
        if dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed"; then
            installed="$installed $package"
        fi
    done
    if [ -n "$installed" ]; then
        DEBIAN_FRONTEND=noninteractive apt-get purge -y -qq $installed >/dev/null 2>&1 || true
    fi
    if [ -n "${board:-}" ]; then
        kill "$board" 2>/dev/null || true
    fi
    if [ -n "${made_admin_folder:-}" ]; then
        rm -rf "$made_admin_folder"
    fi
    rm -rf "$scratch"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

# The source: what git tracks plus new files not ignored, so that no build
# folder comes along and the copy is as clean as a fresh clone.
mkdir "$scratch/qw735"
if git -C "$tree" rev-parse --git-dir >/dev/null 2>&1; then
    git -C "$tree" ls-files -z --cached --others --exclude-standard \
        | (cd "$tree" && tar --null --files-from=- --ignore-failed-read -cf - 2>/dev/null) \
        | tar -xf - -C "$scratch/qw735"
else
    tar -C "$tree" --exclude='./build*' --exclude='./obj-*' -cf - . | tar -xf - -C "$scratch/qw735"
fi

# The suite has run already (make check); the package build leaves it out.
started=$(date +%s)
echo "building the packages with dpkg-buildpackage in $scratch"
if ! (cd "$scratch/qw735" && DEB_BUILD_OPTIONS="nocheck ${DEB_BUILD_OPTIONS:-}" \
        dpkg-buildpackage -b -us -uc -Pnocheck -J"$(nproc)") >"$scratch/build.log" 2>&1; then
    tail -n 60 "$scratch/build.log" >&2
    fail "dpkg-buildpackage (above: the end of its output)"
fi
echo "built in $(($(date +%s) - started)) s:"
changes=$(ls "$scratch"/qw735_*.changes)
cli_deb=$(ls "$scratch"/qw735-cli_*.deb)
window_deb=$(ls "$scratch"/qw735_*.deb)
ls "$scratch" | grep '\.deb$' | sed 's/^/    /'
version=$(dpkg-deb --field "$cli_deb" Version)
for debug_package in qw735-cli-dbgsym qw735-dbgsym; do
    ls "$scratch/${debug_package}_${version}"_*.deb >/dev/null 2>&1 || fail "no $debug_package package"
done

# Lintian, pedantic, on every package of the build (the .changes lists
# them, the -dbgsym ones too). Anything it says fails the check, down to an
# informational note: one that is to stay goes in debian/PACKAGE.lintian-overrides
# with a comment saying why (there is none).
lintian_output=$(lintian --pedantic -I --fail-on error,warning,info,pedantic "$changes" 2>&1) || {
    echo "$lintian_output" | grep -v '^running with root privileges' >&2
    fail "lintian"
}
echo "lintian --pedantic -I: nothing to report"

# Nothing a widget, OpenGL or font package provides may come with the
# command-line package, on this machine (where the build put them all
# already) nor on a bare one. The bare one is what apt would install for
# the essential packages and apt itself on an empty system (a minimal
# Debian), written as a dpkg status of its own, against which apt then
# plans the install of the package.
not_for_cli='^(libqt6(widgets|gui|opengl|xcb)|libgl1|libglx|libglvnd|libglapi|libgles|libegl|libopengl|libgbm|libdrm|libx11|libxcb|libxkb|libwayland|libfontconfig|fontconfig|libfreetype|fonts-|qt6-qpa|qt6-gtk)'
# The plans need apt's package lists, which a machine set up from an image
# may have had cleared.
if ! ls /var/lib/apt/lists/*_Packages* >/dev/null 2>&1; then
    apt-get update -qq
fi
essential=$(dpkg-query -W -f='${db:Status-Abbrev} ${Essential} ${Package}\n' | awk '$1 == "ii" && $2 == "yes" { print $3 }')
: >"$scratch/empty-status"
apt-get install -s --no-install-recommends -o Dir::State::status="$scratch/empty-status" $essential apt \
    >"$scratch/bare-plan" 2>&1 || { cat "$scratch/bare-plan" >&2; fail "apt-get cannot plan a bare system"; }
sed -n 's/^Inst \([^ ]*\) (\([^ ]*\) .*/\1=\2/p' "$scratch/bare-plan" \
    | xargs apt-cache show --no-all-versions \
    | awk 'BEGIN { RS = ""; ORS = "\n\n" } { sub(/\n/, "\nStatus: install ok installed\n"); print }' \
    >"$scratch/bare-status"
apt-get install -s --no-install-recommends -o Dir::State::status="$scratch/bare-status" "$cli_deb" \
    >"$scratch/cli-plan" 2>&1 || { cat "$scratch/cli-plan" >&2; fail "apt-get cannot plan $cli_deb on a bare system"; }
bare=$(sed -n 's/^Inst \([^ ]*\) .*/\1/p' "$scratch/cli-plan" | grep -v -x qw735-cli | sort)
echo "qw735-cli on a bare system brings $(echo "$bare" | wc -l) packages: $(echo "$bare" | tr '\n' ' ')"
if echo "$bare" | grep -E "$not_for_cli"; then
    fail "the above would come with qw735-cli on a bare system"
fi

find /usr -xdev | sort >"$scratch/usr-before"
installed_packages >"$scratch/packages-before"
apt-get install -y -qq --no-install-recommends "$cli_deb" >"$scratch/apt.log" 2>&1 \
    || { cat "$scratch/apt.log" >&2; fail "apt-get install $cli_deb"; }
installed_packages >"$scratch/packages-after"
came_in=$(comm -13 "$scratch/packages-before" "$scratch/packages-after" | grep -v -x -e qw735-cli || true)
echo "qw735-cli on this machine brought: ${came_in:-nothing else}"
if echo "$came_in" | grep -E "$not_for_cli"; then
    fail "the above came with qw735-cli"
fi
for file in /usr/bin/qw735 /usr/share/applications/qw735.desktop /usr/share/man/man1/qw735.1.gz /usr/share/qw735 \
            /usr/bin/qw735-station /usr/share/applications/qw735-station.desktop /usr/share/man/man1/qw735-station.1.gz; do
    test ! -e "$file" || fail "qw735-cli installed $file, which is not its"
done

examples=/usr/share/doc/qw735-cli/examples
for file in /usr/bin/qw735-write /usr/bin/qw735-target-sim \
            /usr/share/man/man1/qw735-write.1.gz /usr/share/man/man1/qw735-target-sim.1.gz \
            /usr/share/doc/qw735-cli/copyright /usr/share/doc/qw735-cli/changelog.gz \
            /usr/share/doc/qw735-cli/README.loader; do
    test -e "$file" || fail "missing after installing qw735-cli: $file"
done
cmp "$examples/sample.mot" examples/sample.mot || fail "$examples/sample.mot"
cmp "$examples/tqw735-sample.bin" examples/tqw735-sample.bin || fail "$examples/tqw735-sample.bin"

# Hardened: stack protector, fortified functions, read-only relocations
# bound at start, position independent. Control-flow protection is not
# asked for: it is not among the flags Debian 12's dpkg-buildflags gives
# for hardening=+all.
hardened() {
    hardening-check --nocfprotection "/usr/bin/$1" >"$scratch/hardening" 2>&1 || {
        cat "$scratch/hardening" >&2
        fail "$1 is not built with the hardening flags"
    }
}
for program in qw735-write qw735-target-sim; do
    hardened "$program"
done
echo "hardening-check: qw735-write, qw735-target-sim hardened"

# The debug packages hold the debug information of each installed program,
# found by its build ID as gdb looks for it.
debug_id() {
    id=$(LC_ALL=C readelf -n "/usr/bin/$1" | sed -n 's/.*Build ID: *//p')
    [ -n "$id" ] || fail "$1 has no build ID"
    dpkg-deb --contents "$2" >"$scratch/debug-files"
    grep -q -F "./usr/lib/debug/.build-id/$(echo "$id" | cut -c1-2)/$(echo "$id" | cut -c3-).debug" "$scratch/debug-files" \
        || fail "$2 has no debug information for $1 (build ID $id)"
}
for program in qw735-write qw735-target-sim; do
    debug_id "$program" "$scratch/qw735-cli-dbgsym_${version}"_*.deb
done

# One version: the package's (its changelog's newest entry) and each
# program's --version (which is CMake's).
for program in qw735-write qw735-target-sim; do
    answer=$("/usr/bin/$program" --version)
    echo "$answer"
    [ "$answer" = "$program $version" ] || fail "$program --version says '$answer', the package is $version"
done

page=$(MANWIDTH=80 man --pager=cat qw735-write 2>&1) || fail "man qw735-write: $page"
for text in "EXIT STATUS" "Not Found TQW735.BIN" "/usr/local/share/qw735/tqw735.bin" "ttyUSB0" "COM1"; do
    echo "$page" | grep -q -F "$text" || fail "man qw735-write does not mention $text"
done
page=$(MANWIDTH=80 man --pager=cat qw735-target-sim 2>&1) || fail "man qw735-target-sim: $page"
echo "$page" | grep -q -F "qw735-write --loader tqw735-sample.bin /tmp/board sample.mot" \
    || fail "man qw735-target-sim does not show the demo with the installed examples"

info=$(cd "$examples" && qw735-write --info sample.mot)
echo "$info"
echo "$info" | grep -q "transfer size           3136 bytes, 49 blocks of 64" || fail "qw735-write --info"

# A write of the installed example to the installed simulated board, on a
# pseudo-terminal linked as $port; the arguments go before the port.
# Sets $written to the writer's standard output.
port="$scratch/board"
write_example() {
    (cd "$examples" && exec qw735-target-sim --link "$port" >/dev/null 2>"$scratch/board.err") &
    board=$!
    tries=0
    while [ ! -L "$port" ]; do
        tries=$((tries + 1))
        [ $tries -le 100 ] || fail "qw735-target-sim made no $port in 5 s: $(cat "$scratch/board.err")"
        sleep 0.05
    done
    written=$(cd "$examples" && qw735-write "$@" "$port" sample.mot 2>"$scratch/write.err") \
        || fail "qw735-write $* to the simulated board: '$written' $(cat "$scratch/write.err")"
    wait "$board" || fail "qw735-target-sim: $(cat "$scratch/board.err")"
    board=
    [ "$(echo "$written" | tail -n 1)" = "O.K." ] || fail "qw735-write $* ended in '$written'"
    grep -q "write completed" "$scratch/board.err" || fail "the board says: $(cat "$scratch/board.err")"
}

# The demo of qw735-target-sim(1), from the installed examples (the link
# is in the scratch folder, not /tmp/board).
write_example --loader tqw735-sample.bin
echo "qw735-write to qw735-target-sim: $(echo "$written" | tail -n 1); the board: $(cat "$scratch/board.err")"

# The machine's loader, where an administrator puts it, is found without
# --loader (with no user's own in the way, and the data directories left
# to their default). Skipped where that folder is in use already: it is
# not this check's to touch then.
admin_folder=/usr/local/share/qw735
if [ -e "$admin_folder" ]; then
    echo "$admin_folder exists already: the search of the machine's loader folder is not tried"
else
    made_admin_folder=$admin_folder
    install -D -m 644 "$examples/tqw735-sample.bin" "$admin_folder/tqw735.bin"
    XDG_DATA_HOME="$scratch/data-home" && export XDG_DATA_HOME && unset XDG_DATA_DIRS
    write_example
    rm -r "$admin_folder"
    made_admin_folder=
    echo "qw735-write with the loader in $admin_folder: $(echo "$written" | tail -n 1)"
fi

# The window package, on top.
installed_packages >"$scratch/packages-before-window"
apt-get install -y -qq --no-install-recommends "$window_deb" >"$scratch/apt.log" 2>&1 \
    || { cat "$scratch/apt.log" >&2; fail "apt-get install $window_deb"; }
installed_packages >"$scratch/packages-after"
window_came_in=$(comm -13 "$scratch/packages-before-window" "$scratch/packages-after" | grep -v -x -e qw735 || true)
came_in=$(comm -13 "$scratch/packages-before" "$scratch/packages-after" | grep -v -x -e qw735 -e qw735-cli || true)
echo "qw735 on this machine brought: ${window_came_in:-nothing else}"
for file in /usr/bin/qw735 /usr/share/applications/qw735.desktop /usr/share/man/man1/qw735.1.gz \
            /usr/bin/qw735-station /usr/share/applications/qw735-station.desktop /usr/share/man/man1/qw735-station.1.gz \
            /usr/share/icons/hicolor/scalable/apps/qw735.svg /usr/share/icons/hicolor/48x48/apps/qw735.png \
            /usr/share/doc/qw735/copyright /usr/share/doc/qw735/changelog.gz; do
    test -e "$file" || fail "missing after installing qw735: $file"
done
for program in qw735 qw735-station; do
    hardened "$program"
    debug_id "$program" "$scratch/qw735-dbgsym_${version}"_*.deb
    # The window programs answer --version without a display.
    answer=$(env -u DISPLAY -u WAYLAND_DISPLAY "/usr/bin/$program" --version)
    echo "$answer"
    [ "$answer" = "$program $version" ] || fail "$program --version says '$answer', the package is $version"
done

# Purge both and exactly what came with them (not whatever else apt would
# call unneeded on this machine), then /usr must be as it was.
DEBIAN_FRONTEND=noninteractive apt-get purge -y -qq qw735 qw735-cli $came_in >"$scratch/apt.log" 2>&1 \
    || { cat "$scratch/apt.log" >&2; fail "apt-get purge"; }
came_in=
installed_packages >"$scratch/packages-after"
diff "$scratch/packages-before" "$scratch/packages-after" >&2 || fail "the purge left the installed packages changed"
find /usr -xdev | sort >"$scratch/usr-after"
if ! diff "$scratch/usr-before" "$scratch/usr-after" >&2; then
    fail "purging the packages left /usr changed (above: < gone, > left behind)"
fi
echo "package check passed in $(($(date +%s) - started)) s"
