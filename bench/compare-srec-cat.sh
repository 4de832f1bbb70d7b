#!/bin/sh
# SPDX-License-Identifier: GPL-2.0-or-later
# Loads a 128 KiB image from its S-record file with qw735-bench-parse and
# converts the same file to a 0xFF-filled binary with srec_cat, each as a
# whole process, RUNS times in the same run, and prints the mean times.
# Then summarises the same 128 KiB program with qw735-write --info in every
# format it reads, beside srec_info and srec_cat on the same file (neither
# reads ELF), and, when BASELINE names another qw735-write (an older build),
# that one's --info on the S-record file.
#   bench/compare-srec-cat.sh [BUILD] [RUNS] [BASELINE]
set -eu
BUILD=${1:-build}
RUNS=${2:-50}
BASELINE=${3:-}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

head -c 131072 /dev/urandom > "$work/image.bin"
srec_cat "$work/image.bin" -binary -o "$work/image.mot" -motorola -address-length=3
lines=$(wc -l < "$work/image.mot")

mean_ms() {
    start=$(date +%s%N)
    i=0
    while [ $i -lt "$RUNS" ]; do
        "$@" > /dev/null 2>&1
        i=$((i + 1))
    done
    end=$(date +%s%N)
    echo "scale=2; ($end - $start) / 1000000 / $RUNS" | bc
}

ours=$(mean_ms "$BUILD/bench/qw735-bench-parse" "$work/image.mot")
theirs=$(mean_ms srec_cat "$work/image.mot" -motorola -fill 0xFF 0 0x20000 -o "$work/out.bin" -binary)
echo "128 KiB image, $lines S2 lines, $RUNS runs each, whole processes:"
echo "  qw735-bench-parse  $ours ms per run"
echo "  srec_cat           $theirs ms per run"

# The same program in every format: Intel HEX, UTF-16 Intel HEX, and an
# ELF file linked to address 0.
srec_cat "$work/image.bin" -binary -o "$work/image.hex" -intel
iconv -f ASCII -t UTF-16 "$work/image.hex" > "$work/image16.hex"
objcopy -I binary -O elf32-i386 -B i386 "$work/image.bin" "$work/image.o"
printf 'SECTIONS { .text 0 : AT(0) { *(.data) } /DISCARD/ : { *(*) } }\n' > "$work/image.ld"
ld -m elf_i386 -n -T "$work/image.ld" "$work/image.o" -o "$work/image.elf"

write="$BUILD/cli/qw735-write"
echo
echo "--info on the same 128 KiB program, $RUNS runs each, ms per run:"
printf '  %-22s %14s %10s %10s\n' format "qw735-write" srec_info srec_cat
row() {
    name=$1 file=$2 srecFormat=$3
    shift 3
    info=$(mean_ms "$write" --info "$@" "$file")
    if [ -n "$srecFormat" ]; then
        srecInfo=$(mean_ms srec_info "$file" "$srecFormat")
        srecCat=$(mean_ms srec_cat "$file" "$srecFormat" -fill 0xFF 0 0x20000 -o "$work/out.bin" -binary)
    else
        srecInfo=- srecCat=-
    fi
    printf '  %-22s %14s %10s %10s\n' "$name" "$info" "$srecInfo" "$srecCat"
}
[ -n "$BASELINE" ] && printf '  %-22s %14s\n' "S-record, baseline" "$(mean_ms "$BASELINE" --info "$work/image.mot")"
row S-record "$work/image.mot" -motorola
row "Intel HEX" "$work/image.hex" -intel
row "Intel HEX, UTF-16" "$work/image16.hex" ""
row ELF "$work/image.elf" ""
row binary "$work/image.bin" -binary --binary-at 0
