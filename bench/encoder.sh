#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Times kvn's compression (its own block encoder) against bzip2 -9 and lbzip2 -9 side by side,
# in one run, medians of ROUNDS rounds (default 3), as ratios; then the encoder stage by stage
# against libbz2 on the same blocks (kavrin-bench-encoder-stages).
#
#   bench/encoder.sh [FILE...]
#
# Default files: TimGM6mb.sf2 (Debian's timgm6mb-soundfont), 60 s of generated recorded-style
# sound, the same sound with its last third silent, and FluidR3_GM.sf2 (fluid-soundfont-gm,
# 148 MB). Commands alternate within each round, so a slow moment of the machine hits them all
# alike. kvn runs with -m none, so all programs compress the same bytes, and again with Auto
# (its trial of the filters included), against the same bzip2 -9 time. A folder of many small
# files is bench/batch.sh's.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
rounds=${ROUNDS:-3}

bash "$root/scripts/setup.sh"
work=$(mktemp -d "${TMPDIR:-/tmp}/kavrin-bench-XXXXXX")
trap 'rm -rf "$work"' EXIT
source "$root/bench/common.sh"
bench_install timgm6mb-soundfont fluid-soundfont-gm sox time
cmake -S "$root" -B "$root/build-release" -G Ninja -DCMAKE_BUILD_TYPE=Release \
  -DKAVRIN_BUILD_TESTS=OFF -DKAVRIN_BUILD_GUI=OFF >/dev/null
cmake --build "$root/build-release" --target kvn kavrin-sample kavrin-bench-encoder-stages -- --quiet
kvn="$root/build-release/cli/kvn"

files=("$@")
if [ ${#files[@]} -eq 0 ]; then
  "$root/build-release/tools/kavrin-sample" "$work/recorded.wav" 60
  "$root/build-release/tools/kavrin-sample" "$work/sound.wav" 40
  sox -n -r 44100 -c 2 -b 16 "$work/quiet.wav" trim 0 20
  sox "$work/sound.wav" "$work/quiet.wav" "$work/third-silent.wav"
  files=(/usr/share/sounds/sf2/TimGM6mb.sf2 "$work/recorded.wav" "$work/third-silent.wav"
         /usr/share/sounds/sf2/FluidR3_GM.sf2)
fi

for file in "${files[@]}"; do
  name=$(basename "$file")
  src="$work/src.${name##*.}"
  cp "$file" "$src"
  out="$work/out-$name"
  mkdir -p "$out"
  rec="$work/rec-$name"
  mkdir -p "$rec"
  for ((i = 0; i < rounds; i++)); do
    run k1 "$kvn" compress --no-progress -f -m none -T 1 -o "$out/k1" "$src"
    run b9 sh -c "bzip2 -9 -c '$src' >'$out/src.bz2'"
    run l1 sh -c "lbzip2 -9 -n 1 -c '$src' >'$out/src.l1.bz2'"
    run k2 "$kvn" compress --no-progress -f -m none -T 2 -o "$out/k2" "$src"
    run l2 sh -c "lbzip2 -9 -n 2 -c '$src' >'$out/src.l2.bz2'"
    run a1 "$kvn" compress --no-progress -f -T 1 -o "$out/a1" "$src"
    run a2 "$kvn" compress --no-progress -f -T 2 -o "$out/a2" "$src"
  done
  printf '\n%s (%s bytes), median of %s rounds\n' "$name" "$(stat -c %s "$file")" "$rounds"
  printf '  %-26s %9s %9s %9s\n' "command" "wall s" "cpu s" "MiB peak"
  for pair in "k1:kvn compress -T 1" "k2:kvn compress -T 2" "b9:bzip2 -9" \
              "l1:lbzip2 -9 -n 1" "l2:lbzip2 -9 -n 2" "a1:kvn compress -T 1 (Auto)" \
              "a2:kvn compress -T 2 (Auto)"; do
    printf '  %-26s %9s %9s %9s\n' "${pair#*:}" "$(seconds "${pair%%:*}")" "$(cpu "${pair%%:*}")" \
      "$(peak "${pair%%:*}")"
  done
  awk -v k1="$(seconds k1)" -v k2="$(seconds k2)" -v b9="$(seconds b9)" -v l1="$(seconds l1)" \
      -v l2="$(seconds l2)" -v a1="$(seconds a1)" -v a2="$(seconds a2)" 'BEGIN {
    printf "  -T 1 / bzip2 -9:       %.3f  (goal <= 0.4)\n", k1 / b9
    printf "  -T 1 / lbzip2 -n 1:    %.3f  (goal < 1)\n", k1 / l1
    printf "  -T 2 / bzip2 -9:       %.3f  (goal <= 0.22)\n", k2 / b9
    printf "  -T 2 / lbzip2 -n 2:    %.3f  (goal < 1)\n", k2 / l2
    printf "  Auto -T 1 / bzip2 -9:  %.3f\n", a1 / b9
    printf "  Auto -T 2 / bzip2 -9:  %.3f\n", a2 / b9
  }'
  "$root/build-release/bench/kavrin-bench-encoder-stages" "$src" "$rounds"
done
