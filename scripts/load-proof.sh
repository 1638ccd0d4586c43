#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Runs the README's test command (scripts/test.sh) N times in a row while two CPU-bound
# processes (stress-ng --cpu 2) run beside it, as on a busy machine, and prints each run's
# result and time. Exits 1 if any run failed; each run's output is kept in
# build-load-proof/run-N.log.
#   scripts/load-proof.sh [N]      (default 3)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
runs=${1:-3}

bash "$root/scripts/setup.sh"
if ! command -v stress-ng >/dev/null; then
  sudo=""; [ "$(id -u)" -eq 0 ] || sudo="sudo"
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq stress-ng >/dev/null
fi
logs="$root/build-load-proof"
mkdir -p "$logs"

# The load ends with this script, whatever way it ends; the timeout only backs that up.
stress-ng --cpu 2 --timeout 6h --quiet &
stress=$!
trap 'kill "$stress" 2>/dev/null || true; wait "$stress" 2>/dev/null || true' EXIT

failed=0
for ((i = 1; i <= runs; i++)); do
  start=$(date +%s)
  if bash "$root/scripts/test.sh" >"$logs/run-$i.log" 2>&1; then result=passed; else
    result=FAILED
    failed=1
  fi
  printf 'run %d under stress-ng --cpu 2: %s in %d s (load %s)\n' "$i" "$result" \
    "$(($(date +%s) - start))" "$(cut -d' ' -f1-3 /proc/loadavg)"
  [ "$result" = passed ] || grep -E 'Failed|\*\*\*|FAILED' "$logs/run-$i.log" | head -20 || true
done
exit "$failed"
