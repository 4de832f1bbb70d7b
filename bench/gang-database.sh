#!/bin/sh
# SPDX-License-Identifier: GPL-2.0-or-later
# Writes a 64 KiB image with a 2 KiB loader into BOARDS simulated boards at
# once (each keeping a cable's time, --wire-time=light), in turns recording
# to a JSON Lines file and to a PostgreSQL server started here on 127.0.0.1
# (as nobody when run as root), ROUNDS times each in the same run, and
# prints each run's elapsed time and the mean of each kind. Then it spools
# SPOOLED records and times --send-records, in rows per second.
#   bench/gang-database.sh [BUILD] [BOARDS] [ROUNDS] [SPOOLED]
set -eu
BUILD=${1:-build}
BOARDS=${2:-32}
ROUNDS=${3:-2}
SPOOLED=${4:-20000}
PGBIN=${PGBIN:-/usr/lib/postgresql/15/bin}
work=$(mktemp -d)
chmod 755 "$work"
sims=""
as_owner() {
    if [ "$(id -u)" -eq 0 ]; then setpriv --reuid=nobody --regid=nogroup --clear-groups "$@"; else "$@"; fi
}
cleanup() {
    for pid in $sims; do kill "$pid" 2>/dev/null || true; done
    as_owner "$PGBIN/pg_ctl" -D "$work/pg/data" -m immediate stop > /dev/null 2>&1 || true
    wait 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT

mkdir -p "$work/pg/data" "$work/state"
[ "$(id -u)" -ne 0 ] || chown -R nobody:nogroup "$work/pg"
as_owner "$PGBIN/initdb" -D "$work/pg/data" -U qw735 --auth=trust --no-sync > /dev/null
port=$(shuf -i 20000-60000 -n 1)
as_owner "$PGBIN/pg_ctl" -D "$work/pg/data" -l "$work/pg/log" -w -o "-c listen_addresses=127.0.0.1 -p $port -k $work/pg" start > /dev/null
"$PGBIN/psql" -X -q -h "$work/pg" -p "$port" -U qw735 -d postgres -c 'CREATE DATABASE line'
url="postgresql://qw735@127.0.0.1:$port/line"
export XDG_STATE_HOME="$work/state"
"$BUILD/cli/qw735-write" --init-database "$url" > /dev/null

srec_cat -generate 0 0xFFF0 -random -o "$work/program.mot" -motorola -address-length=3
head -c 2048 /dev/urandom > "$work/loader.bin"
# shellcheck source=bench/gang-boards.sh
. "$(dirname "$0")/gang-boards.sh"

file=0
database=0
round=1
while [ "$round" -le "$ROUNDS" ]; do
    a=$(run --report "$work/records.jsonl")
    b=$(run --report "$url")
    echo "round $round: JSON Lines $a s, PostgreSQL $b s"
    file=$(echo "$file + $a" | bc)
    database=$(echo "$database + $b" | bc)
    round=$((round + 1))
done
rows=$("$PGBIN/psql" -X -q -A -t -h "$work/pg" -p "$port" -U qw735 -d line -c 'SELECT count(*) FROM qw735_records')
echo "mean: JSON Lines $(echo "scale=3; $file / $ROUNDS" | bc) s, PostgreSQL $(echo "scale=3; $database / $ROUNDS" | bc) s," \
    "ratio $(echo "scale=4; $database / $file" | bc); rows $rows, records in the file $(wc -l < "$work/records.jsonl")"

# The spool: one real record, SPOOLED times under write ids of its own.
mkdir -p "$work/state/qw735/spool"
head -n 1 "$work/records.jsonl" | awk -v n="$SPOOLED" '{
    for (i = 1; i <= n; i++) {
        line = $0
        sub(/^\{/, sprintf("{\"station\":\"bench\",\"write_id\":\"%08x-0000-4000-8000-%012x\",", i, i), line)
        print line
    }
}' > "$work/state/qw735/spool/records.jsonl"
start=$(date +%s%N)
"$BUILD/cli/qw735-write" --send-records "$url"
end=$(date +%s%N)
echo "spool replay: $SPOOLED records in $(echo "scale=3; ($end - $start) / 1000000000" | bc) s," \
    "$(echo "$SPOOLED * 1000000000 / ($end - $start)" | bc) rows/s"
