#!/bin/sh
# SPDX-License-Identifier: GPL-2.0-or-later
# Writes a 64 KiB image with a 2 KiB loader into BOARDS simulated boards at
# once (each keeping a cable's time, --wire-time=light), in turns without
# and with a serial number taken from a counter file for each board, ROUNDS
# times each in the same run, and prints each run's elapsed time and the
# mean of each kind. The number lies in the last block the image has
# anyway, so both kinds send the same bytes but the number's.
#   bench/gang-numbering.sh [BUILD] [BOARDS] [ROUNDS]
set -eu
BUILD=${1:-build}
BOARDS=${2:-32}
ROUNDS=${3:-2}
work=$(mktemp -d)
sims=""
cleanup() {
    for pid in $sims; do kill "$pid" 2>/dev/null || true; done
    wait 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT

srec_cat -generate 0 0xFFF0 -random -o "$work/program.mot" -motorola -address-length=3
head -c 2048 /dev/urandom > "$work/loader.bin"
echo 1 > "$work/serial.txt"
# shellcheck source=bench/gang-boards.sh
. "$(dirname "$0")/gang-boards.sh"

plain=0
numbered=0
round=1
while [ "$round" -le "$ROUNDS" ]; do
    a=$(run)
    b=$(run --serial-at 0xFFF0 --serial-format u32le --serial-from "counter:$work/serial.txt")
    echo "round $round: without numbering $a s, with numbering $b s"
    plain=$(echo "$plain + $a" | bc)
    numbered=$(echo "$numbered + $b" | bc)
    round=$((round + 1))
done
echo "mean: without $(echo "scale=3; $plain / $ROUNDS" | bc) s, with $(echo "scale=3; $numbered / $ROUNDS" | bc) s," \
    "ratio $(echo "scale=4; $numbered / $plain" | bc); numbers taken: $(($(cat "$work/serial.txt") - 1))"
