# SPDX-License-Identifier: GPL-2.0-or-later
# Sourced by the gang benchmarks: BOARDS simulated boards that keep a
# cable's time (--wire-time=light), linked as $work/slotN, their pids added
# to $sims and their ports to $ports; and run, which writes
# $work/program.mot with $work/loader.bin into all of them with the options
# given and prints the elapsed seconds (a failed board ends the script).
ports=""
i=1
while [ "$i" -le "$BOARDS" ]; do
    "$BUILD/sim/qw735-target-sim" --link "$work/slot$i" --wire-time=light --keep-serving > /dev/null 2>&1 &
    sims="$sims $!"
    ports="$ports $work/slot$i"
    i=$((i + 1))
done
i=1
while [ "$i" -le "$BOARDS" ]; do
    while [ ! -e "$work/slot$i" ]; do sleep 0.1; done
    i=$((i + 1))
done

run() {
    start=$(date +%s%N)
    # shellcheck disable=SC2086
    "$BUILD/cli/qw735-write" -q --loader "$work/loader.bin" "$@" $ports "$work/program.mot" > "$work/out.txt"
    end=$(date +%s%N)
    echo "scale=3; ($end - $start) / 1000000000" | bc
}
