#!/bin/sh
# SPDX-License-Identifier: GPL-2.0-or-later
# Peak memory of qw735-write --info on a file of about 100 MB in each text
# format (made by srec_cat from 42 MB of random bytes, so nearly all of it
# lies past the program area), and on an ELF file of those 42 MB linked by
# ld (its section headers at the end, read from a pipe too), against a
# 128 KiB file, as /usr/bin/time -v reports it.
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
    (cd "$work" && objcopy -I binary -O elf32-i386 -B i386 --rename-section .data=.text,alloc,load,readonly,code,contents \
        "$size.bin" "$size.o" && ld -m elf_i386 -Ttext=0x8000 -e 0x8000 "$size.o" -o "$size.elf")
done
peak() {
    if [ "${2:-}" = pipe ]; then
        /usr/bin/time -v sh -c '"$0" --info /dev/stdin < "$1"' "$BUILD/cli/qw735-write" "$1" 2> "$work/time" > /dev/null
    else
        /usr/bin/time -v "$BUILD/cli/qw735-write" --info "$1" 2> "$work/time" > /dev/null
    fi
    kib=$(sed -n 's/.*Maximum resident set size (kbytes): //p' "$work/time")
    seconds=$(sed -n 's/.*Elapsed (wall clock) time (h:mm:ss or m:ss): //p' "$work/time")
    printf '  %-10s %-5s %8s MB %10s KiB peak %10s elapsed\n' "$(basename "$1")" "${2:-}" "$(($(stat -c %s "$1") / 1000000))" "$kib" "$seconds"
}
echo "qw735-write --info, whole process:"
for file in small.hex big.hex small.mot big.mot small.elf big.elf; do
    peak "$work/$file"
done
peak "$work/big.elf" pipe
