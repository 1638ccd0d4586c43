#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Kavrin's main job on the built-in sample: sets up and builds, makes a few seconds of 16-bit
# stereo sound in a WAV file, compresses it with Auto, expands it into a scratch folder and
# checks that the restored file equals the original byte for byte.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
bash "$root/scripts/setup.sh"
bash "$root/scripts/build.sh" "$root/build"

scratch=$(mktemp -d "${TMPDIR:-/tmp}/kavrin-demo-XXXXXX")
trap 'rm -rf "$scratch"' EXIT
kvn="$root/build/cli/kvn"

"$root/build/tools/kavrin-sample" "$scratch/sample.wav" 5
echo "Compressing the built-in sample (5 s of 16-bit stereo) with Auto:"
"$kvn" compress -m auto "$scratch/sample.wav"
"$kvn" info "$scratch/sample.kvn"
echo "Expanding it into a scratch folder:"
"$kvn" expand -o "$scratch/restored" "$scratch/sample.kvn"
cmp "$scratch/sample.wav" "$scratch/restored/sample.wav"
echo "The restored file equals the original byte for byte."
