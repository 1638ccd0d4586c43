#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Times kvn on a file of 4 GiB or more (the 64-bit header) against the bzip2 program on the same
# file, and prints seconds per GiB and the ratios to bzip2 -9 and bzip2 -d.
#
#   bench/big_file.sh [FILE]
#
# Default file: 5 GiB made sparse (holes, with 64 KiB of real bytes at its start, across the
# 4 GiB mark and at its end), which costs no disk; its archive is small. Expansions go to
# /dev/null. ROUNDS=N sets the rounds (default 1); THREADS=N kvn's -T (default: kvn's own);
# KVN=PATH times that kvn instead of building a release one. Commands alternate within each
# round.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
rounds=${ROUNDS:-1}

source "$root/bench/common.sh"
kvn=${KVN:-}
if [ -z "$kvn" ]; then
  bash "$root/scripts/setup.sh"
  bench_install time bzip2
  bash "$root/scripts/build.sh" "$root/build-release" -DCMAKE_BUILD_TYPE=Release \
    -DKAVRIN_BUILD_TESTS=OFF
  kvn="$root/build-release/cli/kvn"
fi
threads=()
[ -n "${THREADS:-}" ] && threads=(-T "$THREADS")

work=$(mktemp -d "${TMPDIR:-/tmp}/kavrin-bench-XXXXXX")
trap 'rm -rf "$work"' EXIT
file=${1:-}
if [ -z "$file" ]; then
  file=$work/big.raw
  size=$((5 << 30))
  truncate -s "$size" "$file"
  seq 1 20000 >"$work/pattern" && truncate -s 65536 "$work/pattern"
  for at in 0 $(((4 << 30) - 30000)) $((size - 65536)); do
    dd if="$work/pattern" of="$file" bs=65536 seek="$at" oflag=seek_bytes conv=notrunc \
      status=none
  done
fi
size=$(stat -c %s "$file")
name=$(basename "$file")
mkdir -p "$work/arc"

for ((round = 1; round <= rounds; round++)); do
  rm -f "$work/arc/"*
  run kvn-compress "$kvn" compress -q "${threads[@]}" -o "$work/arc" "$file"
  run bzip2-compress sh -c 'bzip2 -9 -c "$1" >"$2"' sh "$file" "$work/file.bz2"
  run kvn-expand bash -c '"$1" expand -c -q "${@:3}" "$2" >/dev/null' sh "$kvn" \
    "$work/arc/${name%.*}.kvn" "${threads[@]}"
  run bzip2-expand sh -c 'bzip2 -d -c "$1" >/dev/null' sh "$work/file.bz2"
done

gib=$(awk -v s="$size" 'BEGIN {printf "%.3f", s / 1073741824}')
echo "file: $name, $size bytes ($gib GiB); archive $(stat -c %s "$work/arc/"*.kvn) bytes;" \
  "load $(cut -d' ' -f1-3 /proc/loadavg)"
per() { awk -v t="$(seconds "$1")" -v g="$gib" 'BEGIN {printf "%.2f", t / g}'; }
ratio() { awk -v a="$(seconds "$1")" -v b="$(seconds "$2")" 'BEGIN {printf "%.2f", a / b}'; }
printf '%-16s %10s %10s\n' "" "s/GiB" "x bzip2"
printf '%-16s %10s %10s\n' "kvn compress" "$(per kvn-compress)" \
  "$(ratio kvn-compress bzip2-compress)"
printf '%-16s %10s %10s\n' "bzip2 -9" "$(per bzip2-compress)" "1.00"
printf '%-16s %10s %10s\n' "kvn expand" "$(per kvn-expand)" "$(ratio kvn-expand bzip2-expand)"
printf '%-16s %10s %10s\n' "bzip2 -d" "$(per bzip2-expand)" "1.00"
