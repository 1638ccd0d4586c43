#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Times libkavrin side by side with what a program uses without it, and prints medians and
# ratios against the goals:
#
#   random 64 KiB read through the library (median)   <= the same reads through kvn mount (the
#                                                         library pays no FUSE round trip)
#   sequential read through kavrin.open in Python      <= 1.1 x kvn expand -T 1 to /dev/null
#
#   bench/library.sh [FILE]
#
# Default FILE: FluidR3_GM.sf2 (Debian's fluid-soundfont-gm, 148 MB). Both random runs read the
# same offsets (SEED 17) after their index is there: the mount's kept from a first open, the
# library's built by its first read away from the start (timed apart, with the open). ROUNDS=N sets the sequential rounds (default 3),
# READS=N the random reads (default 200). BUILD=DIR uses a build folder that already holds kvn,
# libkavrin, the Python module and the benchmark programs instead of building build-release.
# Needs /dev/fuse. Run it on a quiet machine; the load is printed.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
rounds=${ROUNDS:-3}
reads=${READS:-200}

echo "load at start: $(uptime)"
bash "$root/scripts/setup.sh"
source "$root/bench/common.sh"
bench_install fluid-soundfont-gm time
build=${BUILD:-}
if [ -z "$build" ]; then
  build="$root/build-release"
  cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DKAVRIN_BUILD_TESTS=OFF \
    -DKAVRIN_BUILD_GUI=OFF >/dev/null
  cmake --build "$build" --target kvn _kavrin kavrin-bench-mount kavrin-bench-library -- --quiet
fi
kvn="$build/cli/kvn"
file=${1:-/usr/share/sounds/sf2/FluidR3_GM.sf2}
python=$(sed -n 's/^Python_EXECUTABLE:[A-Z]*=//p' "$build/CMakeCache.txt")

work=$(mktemp -d "${TMPDIR:-/tmp}/kavrin-library-XXXXXX")
mp="$work/mp"
mkdir -p "$mp"
cleanup() {
  mountpoint -q "$mp" 2>/dev/null && fusermount3 -u -z "$mp" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT
export XDG_CACHE_HOME="$work/cache"
rec="$work/records"
mkdir -p "$rec"
add() { cat >>"$rec/$1"; }
med() { median <"$rec/$1"; }
ms() { awk -v us="$1" 'BEGIN {printf "%.2f", us / 1000}'; }

name=$(basename "$file")
mkdir -p "$work/one"
cp "$file" "$work/one/$name"
"$kvn" compress -q --no-progress -T 2 -o "$work/arc" "$work/one/$name"
archive="$work/arc/${name%.*}.kvn"

# Random reads: the mount with its index kept, on a fresh mount; the library after its open.
"$kvn" mount "$work/arc" "$mp"; until mountpoint -q "$mp"; do sleep 0.05; done
head -c 1 "$mp/$name" >/dev/null
"$kvn" umount "$mp"; while mountpoint -q "$mp"; do sleep 0.05; done
"$kvn" mount "$work/arc" "$mp"; until mountpoint -q "$mp"; do sleep 0.05; done
"$build/bench/kavrin-bench-mount" reads "$mp/$name" "$reads" 65536 17 | add mount
"$kvn" umount "$mp"; while mountpoint -q "$mp"; do sleep 0.05; done
"$build/bench/kavrin-bench-library" reads "$archive" "$reads" 65536 17 2>"$rec/open" | add library

# Sequential reads of the whole file, alternating.
# read.py's second argument: the reader's decoding threads (0: its default, 2, which decodes
# ahead on a thread of the archive's own, as kavrin.open does; 1: all on the reading thread).
cat >"$work/read.py" <<'PY'
import sys, kavrin
buffer = bytearray(1 << 20)
with kavrin.Reader(0, int(sys.argv[2])).open(sys.argv[1]) as f:
    while f.readinto(buffer):
        pass
PY
for ((i = 0; i < rounds; i++)); do
  run python env PYTHONPATH="$build/python" "$python" "$work/read.py" "$archive" 0
  run expand "$kvn" expand -c -q --no-progress -T 1 "$archive"
  run python1 env PYTHONPATH="$build/python" "$python" "$work/read.py" "$archive" 1
done

printf '\n%s (%s bytes, archive %s bytes); sequential: median of %s rounds\n' "$name" \
  "$(stat -c %s "$file")" "$(stat -c %s "$archive")" "$rounds"
row() { printf '  %-52s %10s\n' "$1" "$2"; }
row "library open and index built (ms)" "$(ms "$(cat "$rec/open")")"
row "random 64 KiB read through the library, median (ms)" "$(ms "$(med library)")"
row "random 64 KiB read through kvn mount, median (ms)" "$(ms "$(med mount)")"
row "kavrin.open read in Python (s)" "$(seconds python)"
row "the same with one decoding thread (s)" "$(seconds python1)"
row "kvn expand -T 1 to /dev/null (s)" "$(seconds expand)"
awk -v l="$(med library)" -v m="$(med mount)" -v p="$(seconds python)" -v e="$(seconds expand)" \
  -v p1="$(seconds python1)" 'BEGIN {
  printf "  ratios:\n"
  printf "    library / mount, random read:  %.3f  (goal <= 1; the mount is %.2f x slower)\n", l / m, m / l
  printf "    Python / kvn expand -T 1:      %.3f  (goal <= 1.1)\n", p / e
  printf "    the same, one decoding thread: %.3f\n", p1 / e
}'
echo "load at end: $(uptime)"
