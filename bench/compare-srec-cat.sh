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
# One line per command: row, column, command. Every run goes through all of
# them in turn, so that a busy moment of the machine costs each the same.
: > "$work/commands"
add() {
    echo "$1|$2|$3" >> "$work/commands"
}
[ -n "$BASELINE" ] && add "S-record, baseline" qw735-write "$BASELINE --info $work/image.mot"
for row in "S-record|image.mot|-motorola" "Intel HEX|image.hex|-intel" "Intel HEX, UTF-16|image16.hex|" "ELF|image.elf|" \
           "binary|image.bin|-binary"; do
    name=${row%%|*} rest=${row#*|}
    file=$work/${rest%%|*} srecFormat=${rest#*|}
    options=
    [ "$srecFormat" = -binary ] && options="--binary-at 0"
    add "$name" qw735-write "$write --info $options $file"
    if [ -n "$srecFormat" ]; then
        add "$name" srec_info "srec_info $file $srecFormat"
        add "$name" srec_cat "srec_cat $file $srecFormat -fill 0xFF 0 0x20000 -o $work/out.bin -binary"
    fi
done
: > "$work/times"
i=0
while [ $i -lt "$RUNS" ]; do
    while IFS='|' read -r name column command; do
        start=$(date +%s%N)
        $command > /dev/null 2>&1
        end=$(date +%s%N)
        echo "$name|$column|$((end - start))" >> "$work/times"
    done < "$work/commands"
    i=$((i + 1))
done
echo
echo "--info on the same 128 KiB program, $RUNS runs each (taken in turn), ms per run:"
awk -F'|' -v runs="$RUNS" '
    !($1 in seen) { seen[$1] = 1; order[++rows] = $1 }
    { total[$1 "|" $2] += $3 }
    END {
        printf "  %-22s %12s %10s %10s\n", "format", "qw735-write", "srec_info", "srec_cat"
        for (r = 1; r <= rows; ++r) {
            line = sprintf("  %-22s", order[r])
            split("qw735-write srec_info srec_cat", columns, " ")
            for (c = 1; c <= 3; ++c) {
                key = order[r] "|" columns[c]
                line = line sprintf(c == 1 ? " %12s" : " %10s", key in total ? sprintf("%.2f", total[key] / runs / 1000000) : "-")
            }
            print line
        }
    }' "$work/times"
