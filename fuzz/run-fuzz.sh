#!/bin/sh
# SPDX-License-Identifier: GPL-2.0-or-later
# Builds the S-record fuzz target with clang-16 into build-fuzz/ (next to
# fuzz/) and runs it. Argument: a time limit in seconds (default 60) or a
# libFuzzer run limit such as -runs=10000000. Exits non-zero on a crash,
# leaving the crashing input in build-fuzz/.
set -eu

root=$(cd "$(dirname "$0")/.." && pwd)
build="$root/build-fuzz"
limit=${1:-60}
case "$limit" in
    -runs=*) limitFlag=$limit ;;
    *[!0-9]*|'') echo "usage: $0 [SECONDS|-runs=N]" >&2; exit 2 ;;
    *) limitFlag=-max_total_time=$limit ;;
esac

compiler=${CXX_FUZZ:-clang++-16}
cmake -S "$root/fuzz" -B "$build" -DCMAKE_CXX_COMPILER="$compiler" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" --parallel

# New inputs go to the build tree; the seed corpus in fuzz/corpus stays as committed.
mkdir -p "$build/corpus"
exec "$build/SRecordFuzz" "$limitFlag" -max_len=4096 -print_final_stats=1 \
    -artifact_prefix="$build/" "$build/corpus" "$root/fuzz/corpus"
