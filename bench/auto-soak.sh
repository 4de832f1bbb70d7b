#!/bin/bash
# SPDX-License-Identifier: GPL-2.0-or-later
# The automatic mode's soak: CYCLES plugs (default 1000) spread over 8 slots,
# each a fresh simulated board that serves one write, a quarter of them with
# a fault (silence, a wrong echo, a hang-up, a slow loader), plugged into
# the slot's folder as udev links a device, unplugged once the board is
# done, all under one qw735-write --auto. Then: exactly one record per plug
# and per board, the writer's descriptors and memory over the first
# hundred records (a tenth of the plugs, when fewer) against the last, no
# lock file left.
#   bench/auto-soak.sh [BUILD] [CYCLES]
set -eu
BUILD=$(realpath "${1:-build}")
CYCLES=${2:-1000}
SLOTS=8
work=$(mktemp -d)
sims=()
cleanup() {
    [ -n "${writer:-}" ] && kill "$writer" 2> /dev/null || true
    for pid in "${sims[@]}"; do kill "$pid" 2> /dev/null || true; done
    rm -rf "$work"
}
trap cleanup EXIT
mkdir -p "$work/by-path" "$work/boards"
printf 'S1130000000102030405060708090A0B0C0D0E0F74\nS1130010101112131415161718191A1B1C1D1E1F64\n' > "$work/p.mot"
head -c 64 /dev/urandom > "$work/loader.bin"

slots=()
for k in $(seq 1 $SLOTS); do slots+=("$work/by-path/usb-0:1.$k"); done
"$BUILD/cli/qw735-write" --auto --settle 100 --quiet --loader "$work/loader.bin" --report "$work/records.jsonl" \
    "${slots[@]}" "$work/p.mot" > "$work/results.txt" 2> "$work/errors.txt" &
writer=$!
records() { [ -f "$work/records.jsonl" ] && wc -l < "$work/records.jsonl" || echo 0; }
sample() { echo "$(records) $(ls /proc/$writer/fd | wc -l) $(awk '/^VmRSS:/ { print $2 }' /proc/$writer/status)"; }

# One slot's plugs: a board each time, with a fault one time in four.
plugs() {
    local k=$1 count=$2 i fault board pid
    for i in $(seq 1 "$count"); do
        board="$work/boards/b$k-$i"
        case $((RANDOM % 16)) in
            0) fault=--no-sync ;;
            1) fault="--echo-fault $((RANDOM % 60 + 1)):13" ;;
            2) fault="--hang-up-after $((RANDOM % 200 + 1))" ;;
            3) fault="--loader-start 300" ;;
            *) fault= ;;
        esac
        # shellcheck disable=SC2086
        "$BUILD/sim/qw735-target-sim" --link "$board" $fault > /dev/null 2>&1 &
        pid=$!
        while [ ! -L "$board" ]; do sleep 0.01; done
        ln -s "$(readlink "$board")" "$work/by-path/.#usb-0:1.$k"
        mv -T "$work/by-path/.#usb-0:1.$k" "$work/by-path/usb-0:1.$k"
        wait "$pid" || true  # the board ends after its write
        rm "$work/by-path/usb-0:1.$k"
        sleep "0.0$((RANDOM % 10))"
    done
}

start=$(date +%s)
workers=()
for k in $(seq 1 $SLOTS); do
    plugs "$k" $((CYCLES / SLOTS)) &
    workers+=($!)
done
# What the writer holds, five times a second, while the boards come and go.
(
    while kill -0 "$writer" 2> /dev/null; do
        sample >> "$work/samples"
        sleep 0.2
    done
) > /dev/null 2>&1 &
sampler=$!
wait "${workers[@]}"

wait_for=$((CYCLES / SLOTS * SLOTS))
# The last board's record, or 30 s: a plug without one shows in the count.
for _ in $(seq 150); do [ "$(records)" -ge "$wait_for" ] && break; sleep 0.2; done
kill "$sampler" 2> /dev/null || true
# SIGTERM: a shell's background job ignores SIGINT; both end the run alike.
kill -TERM "$writer"
pid=$writer
status=0
wait "$writer" || status=$?
writer=
elapsed=$(($(date +%s) - start))

total=$(records)
per_slot=$(for k in $(seq 1 $SLOTS); do grep -c "\"slot\":\"[^\"]*usb-0:1.$k\"" "$work/records.jsonl"; done | sort -u | tr '\n' ' ')
passed=$(grep -c '"exit_status":0,' "$work/records.jsonl" || true)
# Lock files that name the writer (its process id on their first line).
locks=$(for d in /var/lock /run/lock /tmp /var/tmp; do head -qn1 "$d"/LCK..* 2> /dev/null; done | grep -cx " *$pid" || true)
echo "plugs $wait_for  records $total  records per slot: $per_slot  passed $passed  failed $((total - passed))  elapsed ${elapsed}s  exit status $status"
early=$((CYCLES / 10 < 100 ? CYCLES / 10 : 100))
most() { awk -v from="$1" -v to="$2" '$1 >= from && $1 <= to { if ($2 > fd) fd = $2; if ($3 > rss) rss = $3 } END { print "descriptors at most " fd ", RSS at most " rss " kB" }' "$work/samples"; }
echo "records 0-$early:  $(most 0 "$early")"
echo "records $((total - early))-$total:  $(most $((total - early)) "$total")"
echo "lock files of the writer left: $locks"
tail -n $((SLOTS + 1)) "$work/results.txt"
