#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Times kvn on one and on two threads against the one-thread engine it replaced, bzip2, lbzip2
# and pbzip2, side by side in one run, and prints medians, ratios, CPU time and peak memory.
#
#   bench/parallel.sh [FILE...]
#
# Default files: FluidR3_GM.sf2 (Debian's fluid-soundfont-gm, 148 MB), TimGM6mb.sf2 (Debian's
# timgm6mb-soundfont) and 148 MB of silence (memory with blocks of runs). ROUNDS=N sets the
# rounds (default 5; three times as many for files under 32 MiB); THREADS=N the parallel thread
# count (default 2); BASELINE=REV the git revision whose kvn is "the one-thread engine" (default
# f039cb2, the last commit before the parallel passes; BASELINE= skips it). Commands alternate within each round, each round starting one
# command later, so a slow moment of the machine hits them all alike. The load average is
# printed before and after: run it on a quiet machine.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
rounds=${ROUNDS:-5}
threads=${THREADS:-2}
baseline=${BASELINE-f039cb2}

echo "load at start: $(uptime)"
bash "$root/scripts/setup.sh"
source "$root/bench/common.sh"
bench_install fluid-soundfont-gm timgm6mb-soundfont lbzip2 pbzip2 time
export CMAKE_BUILD_PARALLEL_LEVEL=${CMAKE_BUILD_PARALLEL_LEVEL:-2}
bash "$root/scripts/build.sh" "$root/build-release" -DCMAKE_BUILD_TYPE=Release \
  -DKAVRIN_BUILD_TESTS=OFF
kvn="$root/build-release/cli/kvn"

work=$(mktemp -d "${TMPDIR:-/tmp}/kavrin-parallel-XXXXXX")
trap 'rm -rf "$work"' EXIT

old=""
if [ -n "$baseline" ]; then
  old=$(bench_baseline "$baseline")
  [ -n "$old" ] || echo "note: could not build kvn of $baseline; no one-thread engine column"
fi

files=("$@")
if [ ${#files[@]} -eq 0 ]; then
  head -c 148398306 /dev/zero >"$work/silence.raw"
  files=(/usr/share/sounds/sf2/FluidR3_GM.sf2 /usr/share/sounds/sf2/TimGM6mb.sf2
         "$work/silence.raw")
fi

rec="$work/records"
row() {  # row LABEL NAME
  [ -f "$rec/$2" ] || return 0
  printf '  %-34s %9s %9s %9s\n' "$1" "$(seconds "$2")" "$(cpu "$2")" "$(peak "$2")"
}
ratio() { awk -v a="$(seconds "$1")" -v b="$(seconds "$2")" 'BEGIN {printf "%.3f", a / b}'; }

# one NAME: one timed run of the command NAME stands for, on $src and the archives in $out.
one() {
  case $1 in
    c-par) run c-par "$kvn" compress --no-progress -f -T "$threads" -m none -o "$out/par" "$src" ;;
    c-one) run c-one "$kvn" compress --no-progress -f -T 1 -m none -o "$out/one" "$src" ;;
    c-old) run c-old "$old" compress --no-progress -f -m none -o "$out/old" "$src" ;;
    c-bzip2) run c-bzip2 sh -c "bzip2 -9 -c '$src' >'$out/src.bz2'" ;;
    c-lbzip2) run c-lbzip2 sh -c "lbzip2 -9 -n $threads -c '$src' >'$out/src.lbz2'" ;;
    c-pbzip2) run c-pbzip2 sh -c "pbzip2 -9 -p$threads -c '$src' >'$out/src.pbz2'" ;;
    x-par) run x-par "$kvn" expand --no-progress -f -T "$threads" -o "$out/par-x" "$out/par/src.kvn" ;;
    x-one) run x-one "$kvn" expand --no-progress -f -T 1 -o "$out/one-x" "$out/par/src.kvn" ;;
    x-old) run x-old "$old" expand --no-progress -f -o "$out/old-x" "$out/par/src.kvn" ;;
    x-bzip2) run x-bzip2 sh -c "bzip2 -d -c '$out/src.bz2' >'$out/bzip2.out'" ;;
    x-lbzip2) run x-lbzip2 sh -c "lbzip2 -d -n $threads -c '$out/src.lbz2' >'$out/lbzip2.out'" ;;
    x-pbzip2) run x-pbzip2 sh -c "pbzip2 -d -p$threads -c '$out/src.pbz2' >'$out/pbzip2.out'" ;;
  esac
}

for file in "${files[@]}"; do
  echo "load before $(basename "$file"): $(uptime)"
  name=$(basename "$file")
  src="$work/src.${name#*.}"
  cp "$file" "$src"
  out="$work/out"
  rm -rf "$out" "$rec"
  mkdir -p "$out" "$rec"
  # One round runs every command once; each round starts one command later, so that no
  # command always follows the same one. Small files get three times the rounds.
  commands=(c-par c-one c-old c-bzip2 c-lbzip2 c-pbzip2 x-par x-one x-old x-bzip2 x-lbzip2 x-pbzip2)
  [ -n "$old" ] || commands=(c-par c-one c-bzip2 c-lbzip2 c-pbzip2 x-par x-one x-bzip2 x-lbzip2
                             x-pbzip2)
  n=$rounds
  [ "$(stat -c %s "$file")" -ge 33554432 ] || n=$((rounds * 3))
  # Archives to expand first, so that any command may come first.
  "$kvn" compress --no-progress -f -T "$threads" -m none -o "$out/par" "$src" >/dev/null
  bzip2 -9 -c "$src" >"$out/src.bz2"
  lbzip2 -9 -n "$threads" -c "$src" >"$out/src.lbz2"
  pbzip2 -9 -p"$threads" -c "$src" >"$out/src.pbz2"
  for ((i = 0; i < n; i++)); do
    for ((k = 0; k < ${#commands[@]}; k++)); do
      one "${commands[$(((i + k) % ${#commands[@]}))]}"
    done
  done
  # The same archive whatever the thread count, and exactly what bzip2 makes.
  cmp "$out/par/src.kvn" "$out/one/src.kvn"
  [ -z "$old" ] || cmp "$out/par/src.kvn" "$out/old/src.kvn"
  header=$(( $(stat -c %s "$out/par/src.kvn") - $(stat -c %s "$out/src.bz2") + 4 ))
  cmp <(tail -c +$((header + 1)) "$out/par/src.kvn") <(tail -c +5 "$out/src.bz2")
  cmp "$src" "$out/par-x/$(basename "$src")"
  cmp "$src" "$out/one-x/$(basename "$src")"

  printf '\n%s (%s bytes), median of %s rounds, %s threads\n' "$name" "$(stat -c %s "$file")" \
    "$n" "$threads"
  printf '  %-34s %9s %9s %9s\n' "command" "seconds" "CPU s" "MiB peak"
  row "kvn compress -T $threads -m none" c-par
  row "kvn compress -T 1 -m none" c-one
  row "one-thread engine ($baseline)" c-old
  row "bzip2 -9" c-bzip2
  row "lbzip2 -9 -n $threads" c-lbzip2
  row "pbzip2 -9 -p$threads" c-pbzip2
  row "kvn expand -T $threads" x-par
  row "kvn expand -T 1" x-one
  row "one-thread engine ($baseline)" x-old
  row "bzip2 -d" x-bzip2
  row "lbzip2 -d -n $threads" x-lbzip2
  row "pbzip2 -d -p$threads" x-pbzip2
  echo "  ratios"
  echo "    compress -T $threads / bzip2 -9:          $(ratio c-par c-bzip2)"
  echo "    compress -T $threads / lbzip2 -9 -n $threads:    $(ratio c-par c-lbzip2)"
  echo "    compress -T 1 / -T $threads:              $(ratio c-one c-par)"
  [ -z "$old" ] || echo "    compress -T 1 / one-thread engine:   $(ratio c-one c-old)"
  echo "    expand -T $threads / bzip2 -d:            $(ratio x-par x-bzip2)"
  echo "    expand -T 1 / -T $threads:                $(ratio x-one x-par)"
  [ -z "$old" ] || echo "    expand -T 1 / one-thread engine:     $(ratio x-one x-old)"
done
echo
echo "load after: $(uptime)"
