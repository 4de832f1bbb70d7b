#!/bin/sh
# SPDX-License-Identifier: GPL-2.0-or-later
# Takes the README's picture of the station window: four slots of
# simulated boards (two that pass, one that never answers, one empty),
# written with Start all under a virtual X server, saved once every board
# has ended. Usage: scripts/station-screenshot.sh [BUILD [FILE]]
set -eu
BUILD=${1:-build}
FILE=${2:-docs/station.png}
xvfb-run --auto-servernum --server-args="-screen 0 1280x1024x24" \
    "$BUILD/station/qw735-station-demo" --screenshot "$FILE"
echo "$FILE"
