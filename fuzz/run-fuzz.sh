#!/bin/sh
# SPDX-License-Identifier: GPL-2.0-or-later
# Builds the fuzz targets with clang-19 into build-fuzz/ (next to fuzz/) and
# runs each in turn: SRecordFuzz (the S-record loader), IntelHexFuzz and
# ElfFuzz (the Intel HEX and ELF readers), TelnetFuzz (what a remote
# port's server sends) and JobFuzz (the job file reader). First argument:
# a time limit in seconds for each target (default 60) or a libFuzzer run
# limit such as -runs=10000000; further arguments name the targets to run
# (default: all). Exits non-zero on a crash, leaving the crashing input in
# build-fuzz/.
set -eu

root=$(cd "$(dirname "$0")/.." && pwd)
build="$root/build-fuzz"
limit=${1:-60}
case "$limit" in
    -runs=*) limitFlag=$limit ;;
    *[!0-9]*|'') echo "usage: $0 [SECONDS|-runs=N] [SRecordFuzz|IntelHexFuzz|ElfFuzz|TelnetFuzz|JobFuzz...]" >&2; exit 2 ;;
    *) limitFlag=-max_total_time=$limit ;;
esac
[ $# -gt 0 ] && shift
targets=${*:-SRecordFuzz IntelHexFuzz ElfFuzz TelnetFuzz JobFuzz}

compiler=${CXX_FUZZ:-clang++-19}
cmake -S "$root/fuzz" -B "$build" -DCMAKE_CXX_COMPILER="$compiler" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" --parallel

for target in $targets; do
    case "$target" in
        SRecordFuzz) seeds="$root/fuzz/corpus"; maxLen=4096 ;;
        IntelHexFuzz) seeds="$root/fuzz/hex-corpus"; maxLen=4096 ;;
        ElfFuzz) seeds="$root/fuzz/elf-corpus"; maxLen=4096 ;;
        TelnetFuzz) seeds="$root/fuzz/telnet-corpus"; maxLen=1024 ;;
        JobFuzz) seeds="$root/fuzz/job-corpus"; maxLen=4096 ;;
        *) echo "$0: no fuzz target $target" >&2; exit 2 ;;
    esac
    # New inputs go to the build tree; the seed corpora stay as committed.
    mkdir -p "$build/corpus-$target"
    echo "== $target" >&2
    "$build/$target" "$limitFlag" -max_len=$maxLen -print_final_stats=1 \
        -artifact_prefix="$build/$target-" "$build/corpus-$target" "$seeds"
done
