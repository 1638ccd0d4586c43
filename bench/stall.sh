#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# The window's responsiveness: drops a folder of small files on the queue and compresses them
# with Stop and Start pressed at random (bench/WindowStall.cpp), and reports the longest stall
# of the event loop while adding and while processing, against the goal of 100 ms. Run it on a
# quiet machine: a busy one stalls every program.
#
#   bench/stall.sh [FILES]
#
# FILES defaults to 10000. ROUNDS=N sets the rounds (default 3). Exits 1 when the worst round
# misses the goal.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
rounds=${ROUNDS:-3}
files=${1:-10000}

bash "$root/scripts/setup.sh"
bash "$root/scripts/build.sh" "$root/build-release" -DCMAKE_BUILD_TYPE=Release \
  -DKAVRIN_BUILD_TESTS=OFF
bench="$root/build-release/bench/kavrin-bench-window-stall"

work=$(mktemp -d "${TMPDIR:-/tmp}/kavrin-bench-XXXXXX")
trap 'rm -rf "$work"' EXIT
printf 'longest event-loop stall, %s files, %s rounds (load before: %s)\n' "$files" "$rounds" \
  "$(cut -d' ' -f1-3 /proc/loadavg)"
printf '  %-7s %12s %14s\n' round "adding ms" "processing ms"
for ((i = 1; i <= rounds; i++)); do
  TMPDIR="$work" "$bench" "$files" >"$work/out" || [ $? -eq 1 ] || { cat "$work/out"; exit 2; }
  adding=$(awk '/^adding:/ {print $2}' "$work/out")
  processing=$(awk '/^processing:/ {print $2}' "$work/out")
  printf '  %-7s %12s %14s\n' "$i" "$adding" "$processing"
  echo "$adding $processing" >>"$work/all"
done
goal=$(awk '/^goal:/ {print $2}' "$work/out")
awk -v goal="$goal" '{ if ($1 > w) w = $1; if ($2 > w) w = $2 }
  END { printf "  worst: %d ms, goal %d ms: %s\n", w, goal, (w <= goal ? "met" : "missed");
        exit (w <= goal ? 0 : 1) }' "$work/all"
