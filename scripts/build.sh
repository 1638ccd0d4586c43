#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Configures and builds Kavrin into a build folder.
#   scripts/build.sh [BUILD_DIR [extra cmake options...]]
# KAVRIN_WERROR=ON turns warnings into errors (CI does this).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build}
shift || true
cmake -S "$root" -B "$build" -G Ninja -DKAVRIN_WERROR="${KAVRIN_WERROR:-OFF}" "$@" >/dev/null
cmake --build "$build" -- --quiet
