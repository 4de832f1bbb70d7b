#!/bin/sh
# SPDX-License-Identifier: GPL-2.0-or-later
# Writes CHANGELOG.md as changelog.gz in the Debian changelog format, which
# a native package's usr/share/doc/PACKAGE/changelog.gz must have. Every
# "## VERSION (YYYY-MM-DD)" heading starts an entry, each "- " item becomes
# a "  * " line and its continuation lines (two blanks) follow it; the
# entry is signed by MAINTAINER at noon UTC of its day, so the same file
# always gives the same changelog. Lines before the first heading are the
# file's own preface and are left out.
# usage: debian-changelog.sh CHANGELOG.md PACKAGE "Name <address>" OUTPUT.gz
set -eu
if [ $# -ne 4 ]; then
    echo "usage: $0 CHANGELOG.md PACKAGE 'Name <address>' OUTPUT.gz" >&2
    exit 64
fi
source=$1
package=$2
maintainer=$3
output=$4

number=0
fail() {
    echo "$source:$number: $1" >&2
    exit 1
}

# Debian's changelog checks flag lines over 80 columns.
emit() {
    [ ${#1} -le 80 ] || fail "too long for the Debian changelog (over 80 columns with its indent)"
    printf '%s\n' "$1"
}

convert() {
    signature=
    while IFS= read -r line || [ -n "$line" ]; do
        number=$((number + 1))
        line=$(printf '%s' "$line" | tr -d '`')
        case $line in
        "## "*)
            heading=${line#"## "}
            version=${heading%% *}
            day=${heading#"$version"}
            case $version in
            "" | *[!0-9A-Za-z.+~]*) fail "a heading is '## VERSION (YYYY-MM-DD)'" ;;
            esac
            case $day in
            " ("[0-9][0-9][0-9][0-9]-[0-9][0-9]-[0-9][0-9]")") day=${day#" ("} day=${day%")"} ;;
            *) fail "a heading is '## VERSION (YYYY-MM-DD)'" ;;
            esac
            stamp=$(LC_ALL=C date -u -R -d "$day 12:00" 2>/dev/null) || fail "$day is no date"
            if [ -n "$signature" ]; then
                printf '\n%s\n\n' "$signature"
            fi
            printf '%s (%s) unstable; urgency=medium\n\n' "$package" "$version"
            signature=" -- $maintainer  $stamp"
            ;;
        *)
            [ -n "$signature" ] || continue
            case $line in
            "- "*) emit "  * ${line#"- "}" ;;
            "  "*) emit "    ${line#"  "}" ;;
            "") ;;
            *) fail "in an entry, a line is an item ('- ') or goes on with two blanks" ;;
            esac
            ;;
        esac
    done <"$source"
    [ -n "$signature" ] || fail "no '## VERSION (YYYY-MM-DD)' heading"
    printf '\n%s\n' "$signature"
}

# -n keeps the build time out of the file, so the package is reproducible.
convert >"$output.txt"
gzip -9n <"$output.txt" >"$output"
rm "$output.txt"
