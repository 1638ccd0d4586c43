#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Times a whole folder of small and medium sound files (Debian's freepats: 128 patch files,
# 33 MB): kvn process -j 2 against bzip2 -9 run file by file and lbzip2 -9 -n 2 on each file,
# in one run, several rounds each, and prints median times, total output sizes and ratios.
#
#   bench/batch.sh [FOLDER]    (default: the .pat files of /usr/share/midi/freepats)
#
# ROUNDS=N sets the rounds (default 5). BASELINE=REV also times `kvn process -j 2` of git
# revision REV, with the ratio of this kvn to it. The commands alternate within each round, so a slow
# moment of the machine hits them all alike. Every tool reads the same copy of the folder and
# writes its own output tree; outputs are removed between rounds, outside the timing.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
rounds=${ROUNDS:-5}

bash "$root/scripts/setup.sh"
source "$root/bench/common.sh"
bench_install freepats lbzip2 bzip2 time
bash "$root/scripts/build.sh" "$root/build-release" -DCMAKE_BUILD_TYPE=Release \
  -DKAVRIN_BUILD_TESTS=OFF
kvn="$root/build-release/cli/kvn"
folder=${1:-/usr/share/midi/freepats}
keep='*'
[ $# -gt 0 ] || keep='*.pat'  # the patches themselves, not their short text notes

work=$(mktemp -d "${TMPDIR:-/tmp}/kavrin-batch-XXXXXX")
trap 'rm -rf "$work"' EXIT
old=""
if [ -n "${BASELINE:-}" ]; then
  old=$(bench_baseline "$BASELINE")
  [ -n "$old" ] || echo "note: could not build kvn of $BASELINE"
fi
# Only the regular files, in a tree of our own: every tool sees exactly the same inputs.
cp -a "$folder/." "$work/src"
find "$work/src" \( -name '.*' -o ! -type f ! -type d -o -type f ! -name "$keep" \) -delete
files=$(find "$work/src" -type f | wc -l)
bytes=$(find "$work/src" -type f -printf '%s\n' | awk '{s += $1} END {print s}')

total() { find "$1" -type f -printf '%s\n' | awk '{s += $1} END {print s + 0}'; }

# A tool that works in place gets a fresh copy of the tree, made before the clock starts.
fresh() { rm -rf "$work/$1"; cp -a "$work/src" "$work/$1"; }

declare -A size
for ((i = 0; i < rounds; i++)); do
  rm -rf "$work/k2" && run t-k2 "$kvn" process -q --no-progress -j 2 -r -o "$work/k2" "$work/src"
  fresh b && run t-bz sh -c "find '$work/b' -type f -print0 | xargs -0 bzip2 -9"
  fresh l && run t-lb sh -c "find '$work/l' -type f -print0 | xargs -0 lbzip2 -9 -n 2"
  rm -rf "$work/k1" && run t-k1 "$kvn" process -q --no-progress -j 1 -r -o "$work/k1" "$work/src"
  rm -rf "$work/kn" &&
    run t-kn "$kvn" process -q --no-progress -j 2 -m none -r -o "$work/kn" "$work/src"
  if [ -n "$old" ]; then
    rm -rf "$work/ko" && run t-ko "$old" process -q --no-progress -j 2 -r -o "$work/ko" "$work/src"
  fi
done
for name in k2 b l k1 kn; do size[$name]=$(total "$work/$name"); done

# The archives restore the folder exactly.
"$kvn" process -q --no-progress -r -o "$work/back" "$work/k2"
diff -r "$work/src" "$work/back" >/dev/null

printf '\n%s: %s files, %s bytes; median of %s rounds; load before: %s\n' "$folder" "$files" \
  "$bytes" "$rounds" "$(cut -d' ' -f1-3 /proc/loadavg)"
row() { printf '  %-32s %9s %9s %9s %11s\n' "$@"; }
row "command" "seconds" "cpu s" "MiB peak" "output"
row "kvn process -j 2 (auto)" "$(seconds t-k2)" "$(cpu t-k2)" "$(peak t-k2)" "${size[k2]}"
row "kvn process -j 1 (auto)" "$(seconds t-k1)" "$(cpu t-k1)" "$(peak t-k1)" "${size[k1]}"
row "kvn process -j 2 -m none" "$(seconds t-kn)" "$(cpu t-kn)" "$(peak t-kn)" "${size[kn]}"
row "bzip2 -9, file by file" "$(seconds t-bz)" "$(cpu t-bz)" "$(peak t-bz)" "${size[b]}"
row "lbzip2 -9 -n 2, on each file" "$(seconds t-lb)" "$(cpu t-lb)" "$(peak t-lb)" "${size[l]}"
if [ -n "$old" ]; then
  row "kvn $BASELINE process -j 2" "$(seconds t-ko)" "$(cpu t-ko)" "$(peak t-ko)" "$(total "$work/ko")"
  awk -v k2="$(seconds t-k2)" -v ko="$(seconds t-ko)" -v rev="$BASELINE" \
    'BEGIN { printf "  kvn -j 2: this kvn / %s:          %.3f\n", rev, k2 / ko }'
fi
awk -v k2="$(seconds t-k2)" -v k1="$(seconds t-k1)" -v bz="$(seconds t-bz)" -v lb="$(seconds t-lb)" \
    -v kn="$(seconds t-kn)" -v ck2="$(cpu t-k2)" -v ckn="$(cpu t-kn)" -v cbz="$(cpu t-bz)" \
    -v clb="$(cpu t-lb)" -v ks="${size[k2]}" -v kns="${size[kn]}" -v bs="${size[b]}" \
    -v ls="${size[l]}" 'BEGIN {
  fastest = bz < lb ? bz : lb
  printf "  kvn -j 2 / bzip2 -9 file by file:   %.3f  (goal <= 0.6)\n", k2 / bz
  printf "  kvn -j 2 / lbzip2 -9 -n 2:          %.3f\n", k2 / lb
  printf "  kvn -j 2 / fastest of them:         %.3f  (goal <= 1)\n", k2 / fastest
  printf "  kvn -j 1 / kvn -j 2:                %.3f\n", k1 / k2
  printf "  kvn -j 2 -m none / bzip2 -9:        %.3f\n", kn / bz
  printf "  kvn -j 2 -m none / lbzip2 -9 -n 2:  %.3f\n", kn / lb
  printf "  cpu: kvn auto / bzip2:              %.3f\n", ck2 / cbz
  printf "  cpu: kvn -m none / bzip2:           %.3f\n", ckn / cbz
  printf "  cpu: lbzip2 / bzip2:                %.3f\n", clb / cbz
  printf "  output kvn / bzip2:                 %.3f  (goal <= 1)\n", ks / bs
  printf "  output kvn / lbzip2:                %.3f\n", ks / ls
  printf "  output kvn -m none / bzip2:         %.5f\n", kns / bs
}'
