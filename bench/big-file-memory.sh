#!/bin/sh
# SPDX-License-Identifier: GPL-2.0-or-later
# Peak memory of qw735-write --info on a file of about 100 MB in each text
# format (made by srec_cat from 42 MB of random bytes, so nearly all of it
# lies past the program area), against a 128 KiB file, as /usr/bin/time -v
# reports it.
#   bench/big-file-memory.sh [BUILD]
set -eu
BUILD=${1:-build}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

head -c 42000000 /dev/urandom > "$work/big.bin"
head -c 131072 "$work/big.bin" > "$work/small.bin"
for size in big small; do
    srec_cat "$work/$size.bin" -binary -o "$work/$size.hex" -intel
    srec_cat "$work/$size.bin" -binary -o "$work/$size.mot" -motorola -address-length=4
done
peak() {
    /usr/bin/time -v "$BUILD/cli/qw735-write" --info "$1" 2> "$work/time" > /dev/null
    kib=$(sed -n 's/.*Maximum resident set size (kbytes): //p' "$work/time")
    seconds=$(sed -n 's/.*Elapsed (wall clock) time (h:mm:ss or m:ss): //p' "$work/time")
    printf '  %-10s %8s MB %10s KiB peak %10s elapsed\n' "$(basename "$1")" "$(($(stat -c %s "$1") / 1000000))" "$kib" "$seconds"
}
echo "qw735-write --info, whole process:"
for file in small.hex big.hex small.mot big.mot; do
    peak "$work/$file"
done
