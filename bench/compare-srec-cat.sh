#!/bin/sh
# SPDX-License-Identifier: GPL-2.0-or-later
# Loads a 128 KiB image from its S-record file with qw735-bench-parse and
# converts the same file to a 0xFF-filled binary with srec_cat, each as a
# whole process, RUNS times in the same run, and prints the mean times.
#   bench/compare-srec-cat.sh [BUILD] [RUNS]
set -eu
BUILD=${1:-build}
RUNS=${2:-50}
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
