#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Times kvn mount side by side with kvn expand -T 2 to /dev/null (kvn test -T 2) and with
# archivemount on a .tar.bz2 of the same file, and prints medians and ratios against the goals:
#
#   first open (index built)           <= 1.1 x kvn expand -T 2 to /dev/null
#   random 64 KiB read (median, p99)   <= the time of decoding one block; >= 20 x faster than
#                                         the same reads through archivemount
#   sequential read of the whole file  >= 0.9 x the throughput of kvn expand -T 2
#   index size                         <= 0.01 % of the archive
#   the mount's memory (peak)          <= the cache size + 16 MiB
#
# and for archives that restore far more than they hold: a 5-minute silent WAV (52.9 MB in a
# 173-byte archive) and a 4 GiB file of one byte repeated (a 3 KB archive of 93 blocks):
#
#   sequential read, index kept        <= 1.2 x kvn expand -T 2 to /dev/null
#   first open                         <= 1.1 x kvn expand -T 2 to /dev/null
#   the mount's memory with -T 64      <= the cache size + 16 MiB
#
# and for the engine's own block decoder, against libbz2 and the kvn of BASELINE (default
# 5f7c9d9, the last that decoded with libbz2; OLD_KVN=PATH gives a kvn built from it, an empty
# BASELINE leaves it out):
#
#   random 64 KiB read (median)        <= 0.55 x libbz2's mean time for one block of the archive
#   first open                         <= 0.6 x the first open of BASELINE's kvn mount
#
#   bench/mount.sh [FILE [FOLDER]]
#
# Defaults: FluidR3_GM.sf2 (Debian's fluid-soundfont-gm, 148 MB) and the patches of Debian's
# freepats (first open and sequential reads of every file). ROUNDS=N sets the rounds (default
# 3), READS=N the random reads (default 200), SLOW_READS=N the random reads through archivemount
# (default 8: each backward seek there decodes from the start), RUNS=0 leaves the 4 GiB run
# archive out (it takes a few minutes). Commands alternate within each round. Needs /dev/fuse.
# Run it on a quiet machine; the load is printed.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
rounds=${ROUNDS:-3}
reads=${READS:-200}
slowReads=${SLOW_READS:-8}

echo "load at start: $(uptime)"
bash "$root/scripts/setup.sh"
source "$root/bench/common.sh"
bench_install fluid-soundfont-gm freepats archivemount time
export CMAKE_BUILD_PARALLEL_LEVEL=${CMAKE_BUILD_PARALLEL_LEVEL:-2}
bash "$root/scripts/build.sh" "$root/build-release" -DCMAKE_BUILD_TYPE=Release \
  -DKAVRIN_BUILD_TESTS=OFF
kvn="$root/build-release/cli/kvn"
tool="$root/build-release/bench/kavrin-bench-mount"
file=${1:-/usr/share/sounds/sf2/FluidR3_GM.sf2}
folder=${2:-/usr/share/midi/freepats}

work=$(mktemp -d "${TMPDIR:-/tmp}/kavrin-mount-XXXXXX")
mp="$work/mp"
mkdir -p "$mp" "$work/am"
cleanup() {
  for point in "$mp" "$work/am"; do
    mountpoint -q "$point" 2>/dev/null && fusermount3 -u -z "$point" 2>/dev/null
  done
  rm -rf "$work"
}
trap cleanup EXIT
export XDG_CACHE_HOME="$work/cache"
rec="$work/records"
mkdir -p "$rec"

# The archives: the file and the folder's patches, and a .tar.bz2 of the file for archivemount.
name=$(basename "$file")
mkdir -p "$work/one" "$work/src"
cp "$file" "$work/one/$name"
"$kvn" compress -q --no-progress -T 2 -o "$work/arc" "$work/one/$name"
archive="$work/arc/${name%.*}.kvn"
tar -C "$work/one" -cjf "$work/one.tar.bz2" "$name"
(cd "$folder" && find . -name '*.pat' -exec cp --parents {} "$work/src" \;)
"$kvn" process -q --no-progress -r -o "$work/folder" "$work/src"

old=${OLD_KVN:-}
baseline=${BASELINE-5f7c9d9}
if [ -z "$old" ] && [ -n "$baseline" ]; then
  old=$(bench_baseline "$baseline")
  [ -n "$old" ] || echo "note: could not build kvn of $baseline; no baseline rows"
fi

kvn_mount() { "$kvn" mount "$@"; until mountpoint -q "$mp"; do sleep 0.05; done; }
kvn_umount() { "$kvn" umount "$mp"; while mountpoint -q "$mp"; do sleep 0.05; done; }
old_mount() { "$old" mount "$@"; until mountpoint -q "$mp"; do sleep 0.05; done; }
# Lines of microseconds in $rec/NAME.
add() { cat >>"$rec/$1"; }
timed() {  # timed NAME COMMAND...: wall microseconds of one run, appended to $rec/NAME
  local what=$1 start end; shift
  start=$(date +%s%N); "$@" >/dev/null 2>&1; end=$(date +%s%N)
  echo $(( (end - start) / 1000 )) >>"$rec/$what"
}
med() { median <"$rec/$1"; }
pct() { sort -n "$rec/$1" | awk -v p="$2" '{v[NR]=$1} END {i=int((NR-1)*p/100)+1; print v[i]}'; }
ms() { awk -v us="$1" 'BEGIN {printf "%.1f", us / 1000}'; }

first_file() { head -c 1 "$mp/$name"; }
first_folder() { find "$mp" -type f -exec head -c 1 {} + ; }
test_file() { "$kvn" test --no-progress -T 2 "$archive"; }
test_folder() { find "$work/folder" -name '*.kvn' -exec "$kvn" test --no-progress -T 2 {} + ; }
read_file() { cat "$mp/$name"; }
read_folder() { find "$mp" -type f -exec cat {} + ; }

for ((i = 0; i < rounds; i++)); do
  echo "round $((i + 1)) of $rounds, load $(cut -d' ' -f1-3 /proc/loadavg)"
  # First opens, each on a fresh mount with no index kept.
  rm -rf "$XDG_CACHE_HOME"; kvn_mount "$work/arc" "$mp"; timed open-file first_file; kvn_umount
  if [ -n "$old" ]; then
    rm -rf "$XDG_CACHE_HOME"; old_mount "$work/arc" "$mp"; timed open-old first_file; kvn_umount
  fi
  timed test-file test_file
  rm -rf "$XDG_CACHE_HOME"; kvn_mount "$work/folder" "$mp"; timed open-folder first_folder
  kvn_umount
  timed test-folder test_folder
  # Whole files in order, the indexes kept.
  kvn_mount "$work/arc" "$mp"; first_file >/dev/null; kvn_umount
  kvn_mount "$work/arc" "$mp"; timed seq-file read_file; kvn_umount
  kvn_mount "$work/folder" "$mp"; timed seq-folder read_folder; kvn_umount
done

# Archives that restore far more than they hold: silence, and 4 GiB of one byte (sparse, so it
# takes no disk).
mkdir -p "$work/silence" "$work/runs"
le() {  # le VALUE BYTES: VALUE as BYTES little-endian bytes
  local i
  for ((i = 0; i < $2; i++)); do printf "\\x$(printf %02x $((($1 >> (8 * i)) & 255)))"; done
}
n=$((300 * 44100 * 4))
{
  printf 'RIFF'; le $((36 + n)) 4; printf 'WAVEfmt '; le 16 4; le 1 2; le 2 2; le 44100 4
  le $((44100 * 4)) 4; le 4 2; le 16 2; printf 'data'; le $n 4; head -c $n /dev/zero
} >"$work/silence/silence.wav"
"$kvn" compress -q --no-progress -T 2 -o "$work/silence-arc" "$work/silence/silence.wav"
rm -f "$work/silence/silence.wav"
big=(silence)
if [ "${RUNS:-1}" != 0 ]; then
  truncate -s 4294967295 "$work/runs/runs.raw"
  "$kvn" compress -q --no-progress -T 2 -o "$work/runs-arc" "$work/runs/runs.raw"
  rm -f "$work/runs/runs.raw"
  big+=(runs)
fi
for ((i = 0; i < rounds; i++)); do
  echo "large outputs, round $((i + 1)) of $rounds, load $(cut -d' ' -f1-3 /proc/loadavg)"
  for what in "${big[@]}"; do
    out=$(basename "$work/$what-arc/"*.kvn .kvn)
    case $what in silence) out="$out.wav" ;; runs) out="$out.raw" ;; esac
    timed "test-$what" "$kvn" test --no-progress -T 2 "$work/$what-arc/"*.kvn
    rm -rf "$XDG_CACHE_HOME"; kvn_mount "$work/$what-arc" "$mp"
    timed "open-$what" head -c 1 "$mp/$out"; kvn_umount
    kvn_mount "$work/$what-arc" "$mp"; timed "seq-$what" cat "$mp/$out"; kvn_umount
  done
done
# Memory with 64 threads, the index built and every byte read.
for what in "${big[@]}"; do
  out=$(basename "$work/$what-arc/"*.kvn .kvn)
  case $what in silence) out="$out.wav" ;; runs) out="$out.raw" ;; esac
  rm -rf "$XDG_CACHE_HOME"
  /usr/bin/time -f '%M' -o "$work/peak-$what" "$kvn" mount -f -T 64 "$work/$what-arc" "$mp" \
    2>/dev/null &
  until mountpoint -q "$mp"; do sleep 0.05; done
  cat "$mp/$out" >/dev/null
  kvn_umount
  wait
done

# Random 64 KiB reads on a fresh mount with the index kept; lone block decodes; archivemount.
kvn_mount "$work/arc" "$mp"
"$tool" reads "$mp/$name" "$reads" 65536 17 | add random
kvn_umount
"$tool" blocks "$archive" | add block
for ((i = 0; i < rounds; i++)); do "$tool" libbz2 "$archive" | add libbz2; done
archivemount -o ro "$work/one.tar.bz2" "$work/am"
"$tool" reads "$work/am/$name" "$slowReads" 65536 17 | add slow
fusermount3 -u "$work/am"

# Memory: the mount's peak while it reads the whole file and the random reads.
rm -rf "$XDG_CACHE_HOME"
/usr/bin/time -f '%M' -o "$work/peak" "$kvn" mount -f "$work/arc" "$mp" 2>/dev/null &
until mountpoint -q "$mp"; do sleep 0.05; done
cat "$mp/$name" >/dev/null
"$tool" reads "$mp/$name" "$reads" 65536 18 >/dev/null
kvn_umount
wait
index=$(find "$XDG_CACHE_HOME/kavrin" -type f -printf '%s\n' | awk '{s += $1} END {print s + 0}')

size=$(stat -c %s "$file")
arcsize=$(stat -c %s "$archive")
printf '\n%s (%s bytes, archive %s bytes), %s (%s archives); median of %s rounds\n' "$name" \
  "$size" "$arcsize" "$folder" "$(find "$work/folder" -name '*.kvn' | wc -l)" "$rounds"
printf '  %-46s %12s\n' "measure" "value"
row() { printf '  %-46s %12s\n' "$1" "$2"; }
row "first open of $name (ms)" "$(ms "$(med open-file)")"
row "kvn expand -T 2 to /dev/null (ms)" "$(ms "$(med test-file)")"
row "first open of every file of the folder (ms)" "$(ms "$(med open-folder)")"
row "kvn expand -T 2 of the folder (ms)" "$(ms "$(med test-folder)")"
row "sequential read of $name (ms)" "$(ms "$(med seq-file)")"
row "sequential read of the folder (ms)" "$(ms "$(med seq-folder)")"
row "random 64 KiB read, median of $reads (ms)" "$(ms "$(med random)")"
row "random 64 KiB read, 99th percentile (ms)" "$(ms "$(pct random 99)")"
row "one block decoded alone, median (ms)" "$(ms "$(med block)")"
row "libbz2's mean time for one block (ms)" "$(ms "$(med libbz2)")"
[ -f "$rec/open-old" ] && row "first open of $name, kvn of $baseline (ms)" "$(ms "$(med open-old)")"
row "archivemount random 64 KiB read, median of $slowReads (ms)" "$(ms "$(med slow)")"
row "index size (bytes)" "$index"
row "mount's peak memory (MiB), cache 64 MiB" "$(awk -v k="$(cat "$work/peak")" 'BEGIN {printf "%.1f", k / 1024}')"
echo "  ratios"
awk -v of="$(med open-file)" -v tf="$(med test-file)" -v od="$(med open-folder)" \
    -v td="$(med test-folder)" -v sf="$(med seq-file)" -v sd="$(med seq-folder)" \
    -v rm="$(med random)" -v r99="$(pct random 99)" -v bl="$(med block)" -v sl="$(med slow)" \
    -v ix="$index" -v as="$arcsize" -v pk="$(cat "$work/peak")" -v lb="$(med libbz2)" 'BEGIN {
  printf "    first open / expand, file:             %.3f  (goal <= 1.1)\n", of / tf
  printf "    first open / expand, folder:           %.3f  (goal <= 1.1)\n", od / td
  printf "    random read median / one block:        %.3f  (goal <= 1)\n", rm / bl
  printf "    random read p99 / one block:           %.3f\n", r99 / bl
  printf "    random read median / libbz2 block:     %.3f  (goal <= 0.55)\n", rm / lb
  printf "    archivemount / kvn mount, random read: %.1f  (goal >= 20)\n", sl / rm
  printf "    sequential throughput / expand, file:  %.3f  (goal >= 0.9)\n", tf / sf
  printf "    sequential throughput / expand, folder:%.3f  (goal >= 0.9)\n", td / sd
  printf "    index / archive:                       %.5f %%  (goal <= 0.01 %%)\n", 100 * ix / as
  printf "    peak memory - 64 MiB cache:            %.1f MiB  (goal <= 16)\n", pk / 1024 - 64
}'
if [ -f "$rec/open-old" ]; then
  awk -v of="$(med open-file)" -v oo="$(med open-old)" \
    'BEGIN {printf "    first open / the kvn of the baseline:   %.3f  (goal <= 0.6)\n", of / oo}'
fi
for what in "${big[@]}"; do
  case $what in
    silence) label="5-minute silent WAV ($(stat -c %s "$work/silence-arc/"*.kvn)-byte archive)" ;;
    runs) label="4 GiB of one byte ($(stat -c %s "$work/runs-arc/"*.kvn)-byte archive)" ;;
  esac
  printf '\n%s; median of %s rounds\n' "$label" "$rounds"
  row "kvn expand -T 2 to /dev/null (ms)" "$(ms "$(med "test-$what")")"
  row "first open (ms)" "$(ms "$(med "open-$what")")"
  row "sequential read, index kept (ms)" "$(ms "$(med "seq-$what")")"
  row "mount's peak memory with -T 64 (MiB)" \
    "$(awk -v k="$(cat "$work/peak-$what")" 'BEGIN {printf "%.1f", k / 1024}')"
  awk -v t="$(med "test-$what")" -v o="$(med "open-$what")" -v q="$(med "seq-$what")" \
      -v pk="$(cat "$work/peak-$what")" 'BEGIN {
    printf "    sequential read / expand:              %.3f  (goal <= 1.2)\n", q / t
    printf "    first open / expand:                   %.3f  (goal <= 1.1)\n", o / t
    printf "    peak memory - 64 MiB cache, -T 64:     %.1f MiB  (goal <= 16)\n", pk / 1024 - 64
  }'
done
echo
echo "load after: $(uptime)"
