#!/bin/sh
# SPDX-License-Identifier: GPL-2.0-or-later
# The Quick start: writes the sample program through a simulated board on a
# pseudo-terminal, with progress and the result message, as on a real bench.
set -eu
BUILD=${1:-build}
port=$(mktemp -u /tmp/qw735-demo-port.XXXXXX)
"$BUILD/sim/qw735-target-sim" --link "$port" --wire-time --save-image "$BUILD/demo-received.bin" >/dev/null &
board=$!
trap 'kill $board 2>/dev/null || true' EXIT
while [ ! -e "$port" ]; do sleep 0.05; done
echo "Writing examples/sample.mot through the simulated board at $port"
"$BUILD/cli/qw735-write" --loader examples/tqw735-sample.bin "$port" examples/sample.mot
wait $board
trap - EXIT
