#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Times kvn against the bzip2 program on the same files, in one run, several rounds each, and
# prints median times, ratios and peak memory.
#
#   bench/engine.sh [FILE...]
#
# Default files: TimGM6mb.sf2 (Debian's timgm6mb-soundfont) and a 2-minute generated sound.
# ROUNDS=N sets the rounds (default 5). BASELINE=REV also times the kvn of git revision REV
# (compress -m none and expand), with the ratios of this kvn to it. Commands alternate within
# each round, so a slow moment of the machine hits them all alike.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
rounds=${ROUNDS:-5}

bash "$root/scripts/setup.sh"
source "$root/bench/common.sh"
bench_install timgm6mb-soundfont time
bash "$root/scripts/build.sh" "$root/build-release" -DCMAKE_BUILD_TYPE=Release \
  -DKAVRIN_BUILD_TESTS=OFF
kvn="$root/build-release/cli/kvn"

work=$(mktemp -d "${TMPDIR:-/tmp}/kavrin-bench-XXXXXX")
trap 'rm -rf "$work"' EXIT
old=""
if [ -n "${BASELINE:-}" ]; then
  old=$(bench_baseline "$BASELINE")
  [ -n "$old" ] || echo "note: could not build kvn of $BASELINE"
fi
files=("$@")
if [ ${#files[@]} -eq 0 ]; then
  "$root/build-release/tools/kavrin-sample" "$work/long-sound.wav" 120
  files=(/usr/share/sounds/sf2/TimGM6mb.sf2 "$work/long-sound.wav")
fi

for file in "${files[@]}"; do
  name=$(basename "$file")
  size=$(stat -c %s "$file")
  out="$work/out"
  mkdir -p "$out"
  cp "$file" "$work/src.${name#*.}"   # the same name rules for every run
  src="$work/src.${name#*.}"
  rm -f "$work"/k-* "$work"/b-* "$work"/o-*
  for ((i = 0; i < rounds; i++)); do
    run k-none "$kvn" compress --no-progress -f -m none -o "$out/none" "$src"
    if [ -n "$old" ]; then
      run o-none "$old" compress --no-progress -f -m none -o "$out/old" "$src"
      run o-exp "$old" expand --no-progress -f -o "$out/old-restored" "$out/none/src.kvn"
    fi
    run b-comp sh -c "bzip2 -9 -c '$src' >'$out/src.bz2'"
    run k-16 "$kvn" compress --no-progress -f -m 16 -o "$out/16" "$src"
    run k-auto "$kvn" compress --no-progress -f -m auto -o "$out/auto" "$src"
    run k-exp "$kvn" expand --no-progress -f -o "$out/restored" "$out/none/src.kvn"
    run b-exp sh -c "bzip2 -d -c '$out/src.bz2' >'$out/restored.bz2.out'"
  done
  cmp "$src" "$out/restored/$(basename "$src")"

  printf '\n%s (%s bytes), median of %s rounds\n' "$name" "$size" "$rounds"
  printf '  %-28s %9s %9s %9s\n' "command" "seconds" "MiB peak" "output"
  printf '  %-28s %9s %9s %9s\n' "kvn compress -m none" "$(seconds k-none)" "$(peak k-none)" \
    "$(stat -c %s "$out/none/src.kvn")"
  printf '  %-28s %9s %9s %9s\n' "kvn compress -m 16" "$(seconds k-16)" "$(peak k-16)" \
    "$(stat -c %s "$out/16/src.kvn")"
  printf '  %-28s %9s %9s %9s\n' "kvn compress -m auto" "$(seconds k-auto)" "$(peak k-auto)" \
    "$(stat -c %s "$out/auto/src.kvn")"
  printf '  %-28s %9s %9s %9s\n' "bzip2 -9 -c" "$(seconds b-comp)" "$(peak b-comp)" \
    "$(stat -c %s "$out/src.bz2")"
  printf '  %-28s %9s %9s\n' "kvn expand" "$(seconds k-exp)" "$(peak k-exp)"
  printf '  %-28s %9s %9s\n' "bzip2 -d -c" "$(seconds b-exp)" "$(peak b-exp)"
  if [ -n "$old" ]; then
    printf '  %-28s %9s %9s\n' "kvn $BASELINE compress -m none" "$(seconds o-none)" "$(peak o-none)"
    printf '  %-28s %9s %9s\n' "kvn $BASELINE expand" "$(seconds o-exp)" "$(peak o-exp)"
    awk -v kn="$(seconds k-none)" -v on="$(seconds o-none)" -v ke="$(seconds k-exp)" \
        -v oe="$(seconds o-exp)" -v rev="$BASELINE" 'BEGIN {
      printf "  compress -m none: this kvn / %s:  %.3f\n", rev, kn / on
      printf "  expand: this kvn / %s:            %.3f\n", rev, ke / oe
    }'
  fi
  awk -v kn="$(seconds k-none)" -v bc="$(seconds b-comp)" -v ke="$(seconds k-exp)" \
      -v bd="$(seconds b-exp)" -v ka="$(seconds k-auto)" -v k16="$(seconds k-16)" 'BEGIN {
    printf "  compress -m none / bzip2 -9:  %.3f\n", kn / bc
    printf "  expand / bzip2 -d:            %.3f\n", ke / bd
    printf "  auto - fixed 16-bit:          %+.3f s\n", ka - k16
  }'
done
