#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Times kvn's expansion, which runs on the engine's own bzip2 block decoder, against bzip2 -d
# and lbzip2 -d on the same payloads (each archive's payload behind "BZh9" is a .bz2 file of
# the same bits), side by side in one run: medians, ratios and peak memory. Also kvn test
# against bzip2 -t and lbzip2 -t, --verify, and the kvn of BASELINE (the last revision that
# expanded with libbz2) for each.
#
#   bench/block_decoder.sh [stages]
#
# Inputs: FluidR3_GM.sf2 (Debian's fluid-soundfont-gm), TimGM6mb.sf2 (timgm6mb-soundfont), the
# patches of Debian's freepats as a folder, and 60 s of generated sound (kavrin-sample), each
# compressed with Auto. Goals (doc/block_decoder.md): kvn expand -T 1 <= 0.5 x bzip2 -d and
# faster than lbzip2 -d -n 1; -T 2 <= 0.28 x bzip2 -d and faster than lbzip2 -d -n 2; peak
# memory no higher than BASELINE's. ROUNDS=N (default 3) rounds, each starting one command
# later; BASELINE=REV (default 5f7c9d9; empty skips it) or OLD_KVN=PATH (a kvn built from it);
# FILES="..." replaces the inputs.
# With `stages`, the per-stage Google Benchmark (kavrin-bench-block-decoder) runs first, on
# TimGM6mb.sf2 and on the first 30 MB of FluidR3_GM.sf2. The load average is printed: run it
# on a quiet machine, or read the ratios with the load in mind.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
rounds=${ROUNDS:-3}
baseline=${BASELINE-5f7c9d9}

echo "load at start: $(uptime)"
bash "$root/scripts/setup.sh"
source "$root/bench/common.sh"
bench_install fluid-soundfont-gm timgm6mb-soundfont freepats lbzip2 time libbenchmark-dev
export CMAKE_BUILD_PARALLEL_LEVEL=${CMAKE_BUILD_PARALLEL_LEVEL:-2}
bash "$root/scripts/build.sh" "$root/build-release" -DCMAKE_BUILD_TYPE=Release \
  -DKAVRIN_BUILD_TESTS=OFF
kvn="$root/build-release/cli/kvn"

work=$(mktemp -d "${TMPDIR:-/tmp}/kavrin-decoder-XXXXXX")
trap 'rm -rf "$work"' EXIT

if [ "${1:-}" = stages ]; then
  head -c 30000000 /usr/share/sounds/sf2/FluidR3_GM.sf2 >"$work/fluid-30mb.sf2"
  for file in /usr/share/sounds/sf2/TimGM6mb.sf2 "$work/fluid-30mb.sf2"; do
    echo "== stages on $(basename "$file") (load $(cut -d' ' -f1-3 /proc/loadavg))"
    KAVRIN_BENCH_FILE=$file "$root/build-release/bench/kavrin-bench-block-decoder" \
      --benchmark_repetitions=3 --benchmark_report_aggregates_only=true \
      --benchmark_display_aggregates_only=true 2>/dev/null | grep -E 'median|^Benchmark'
  done
fi

old=${OLD_KVN:-}
if [ -z "$old" ] && [ -n "$baseline" ]; then
  old=$(bench_baseline "$baseline")
  [ -n "$old" ] || echo "note: could not build kvn of $baseline; no baseline rows"
fi

files=()
if [ -n "${FILES:-}" ]; then
  read -r -a files <<<"$FILES"
else
  "$root/build-release/tools/kavrin-sample" "$work/recorded.wav" 60
  mkdir -p "$work/freepats"
  (cd /usr/share/midi/freepats && find . -name '*.pat' -exec cp --parents {} "$work/freepats" \;)
  files=(/usr/share/sounds/sf2/FluidR3_GM.sf2 /usr/share/sounds/sf2/TimGM6mb.sf2
         "$work/freepats" "$work/recorded.wav")
fi

rec="$work/records"
row() {  # row LABEL NAME
  [ -f "$rec/$2" ] || return 0
  printf '  %-36s %9s %9s %9s\n' "$1" "$(seconds "$2")" "$(cpu "$2")" "$(peak "$2")"
}
ratio() {  # ratio A B: median of A / median of B
  [ -f "$rec/$1" ] && [ -f "$rec/$2" ] || { echo "-"; return 0; }
  awk -v a="$(seconds "$1")" -v b="$(seconds "$2")" 'BEGIN {printf "%.3f", a / b}'
}

# The payloads as .bz2 files: "BZh9" and each archive's payload (its header stripped).
make_bz2() {  # make_bz2 ARCHIVE OUT
  local length
  length=$(od -An -tu1 -j4 -N1 "$1" | tr -d ' ')
  { printf 'BZh9'; tail -c +$((14 + length + 1)) "$1"; } >"$2"
}

# one NAME: one timed run of the command NAME stands for.
one() {
  case $1 in
    k1) run k1 "$kvn" expand -q --no-progress -f "${tree[@]}" -j 1 -T 1 -o "$out/k1" "$arc" ;;
    k2) run k2 "$kvn" expand -q --no-progress -f "${tree[@]}" -j 1 -T 2 -o "$out/k2" "$arc" ;;
    kj2) run kj2 "$kvn" expand -q --no-progress -f "${tree[@]}" -j 2 -T 1 -o "$out/kj2" "$arc" ;;
    o1) run o1 "$old" expand -q --no-progress -f "${tree[@]}" -j 1 -T 1 -o "$out/o1" "$arc" ;;
    o2) run o2 "$old" expand -q --no-progress -f "${tree[@]}" -j 1 -T 2 -o "$out/o2" "$arc" ;;
    b1) run b1 sh -c "cd '$bz' && bzip2 -d -k -f $bzfiles" ;;
    l1) run l1 sh -c "cd '$bz' && lbzip2 -d -k -f -n 1 $bzfiles" ;;
    l2) run l2 sh -c "cd '$bz' && lbzip2 -d -k -f -n 2 $bzfiles" ;;
    t1) run t1 "$kvn" test -T 1 "${arcs[@]}" ;;
    t2) run t2 "$kvn" test -T 2 "${arcs[@]}" ;;
    ot1) run ot1 "$old" test -T 1 "${arcs[@]}" ;;
    bt) run bt sh -c "cd '$bz' && bzip2 -t $bzfiles" ;;
    lt1) run lt1 sh -c "cd '$bz' && lbzip2 -t -n 1 $bzfiles" ;;
    lt2) run lt2 sh -c "cd '$bz' && lbzip2 -t -n 2 $bzfiles" ;;
    c1) run c1 "$kvn" compress -q --no-progress -f -j 1 -T 1 -o "$out/c1" "$src" ;;
    v1) run v1 "$kvn" compress -q --no-progress -f -j 1 -T 1 --verify -o "$out/v1" "$src" ;;
    ov1) run ov1 "$old" compress -q --no-progress -f -j 1 -T 1 --verify -o "$out/ov1" "$src" ;;
  esac
}

for file in "${files[@]}"; do
  name=$(basename "$file")
  echo
  echo "load before $name: $(uptime)"
  out="$work/out"
  rm -rf "$out" "$rec" "$work/in" "$work/bz" "$work/arc"
  mkdir -p "$out" "$rec" "$work/in" "$work/bz"
  if [ -d "$file" ]; then
    cp -r "$file" "$work/in/src"
  else
    cp "$file" "$work/in/src.${name#*.}"
  fi
  src=$(find "$work/in" -mindepth 1 -maxdepth 1)
  # A folder keeps its tree below -o; a file named alone goes straight into it.
  tree=()
  [ -d "$file" ] && tree=(-r)
  "$kvn" process -q --no-progress -f "${tree[@]}" -j 1 -o "$work/arc" "$src" >/dev/null
  # A folder's archives keep their paths below $work/arc; a file's archive is one file.
  arc="$work/arc"
  [ -d "$file" ] || arc="$work/arc/src.kvn"
  mapfile -t arcs < <(find "$work/arc" -type f -name '*.kvn' | sort)
  bz="$work/bz"
  bzfiles=""
  n=0
  for a in "${arcs[@]}"; do
    n=$((n + 1))
    make_bz2 "$a" "$bz/$n.bz2"
    bzfiles="$bzfiles $n.bz2"
  done
  size=$(du -sb "$src" | cut -f1)
  commands=(k1 k2 kj2 b1 l1 l2 t1 t2 bt lt1 lt2)
  [ -d "$file" ] || commands+=(c1 v1)
  if [ -n "$old" ]; then
    commands+=(o1 o2 ot1)
    [ -d "$file" ] || commands+=(ov1)
  fi
  drop=()
  [ -d "$file" ] && [ "$n" -gt 1 ] || drop+=(kj2)
  # FluidR3_GM.sf2 would be compressed twice a round for --verify: those rows come from the
  # smaller inputs.
  [ "$size" -lt 100000000 ] || drop+=(c1 v1 ov1)
  list=()
  for c in "${commands[@]}"; do
    [[ " ${drop[*]} " == *" $c "* ]] || list+=("$c")
  done
  for ((i = 0; i < rounds; i++)); do
    for ((k = 0; k < ${#list[@]}; k++)); do
      one "${list[$(((i + k) % ${#list[@]}))]}"
    done
  done
  # Every expansion restored the source.
  for d in k1 k2; do
    restored="$out/$d"
    [ -d "$file" ] || restored="$out/$d/$(basename "$src")"
    diff -r "$src" "$restored" >/dev/null || { echo "kvn ($d) restored other bytes"; exit 1; }
  done

  printf '\n%s (%s bytes in %s archive(s)), median of %s rounds\n' "$name" "$size" "$n" "$rounds"
  printf '  %-36s %9s %9s %9s\n' "command" "seconds" "CPU s" "MiB peak"
  row "kvn expand -T 1" k1
  row "kvn expand -T 2" k2
  row "kvn expand -j 2 -T 1" kj2
  row "kvn $baseline expand -T 1" o1
  row "kvn $baseline expand -T 2" o2
  row "bzip2 -d" b1
  row "lbzip2 -d -n 1" l1
  row "lbzip2 -d -n 2" l2
  row "kvn test -T 1" t1
  row "kvn test -T 2" t2
  row "kvn $baseline test -T 1" ot1
  row "bzip2 -t" bt
  row "lbzip2 -t -n 1" lt1
  row "lbzip2 -t -n 2" lt2
  row "kvn compress -T 1" c1
  row "kvn compress -T 1 --verify" v1
  row "kvn $baseline compress -T 1 --verify" ov1
  echo "  ratios (goals in brackets)"
  echo "    expand -T 1 / bzip2 -d [<= 0.5]:          $(ratio k1 b1)"
  echo "    expand -T 1 / lbzip2 -d -n 1 [< 1]:       $(ratio k1 l1)"
  echo "    expand -T 2 / bzip2 -d [<= 0.28]:         $(ratio k2 b1)"
  echo "    expand -T 2 / lbzip2 -d -n 2 [< 1]:       $(ratio k2 l2)"
  echo "    expand -T 1 / $baseline -T 1:             $(ratio k1 o1)"
  echo "    expand -T 2 / $baseline -T 2:             $(ratio k2 o2)"
  echo "    test -T 1 / bzip2 -t:                     $(ratio t1 bt)"
  echo "    test -T 1 / $baseline test -T 1:          $(ratio t1 ot1)"
  echo "    test -T 2 / lbzip2 -t -n 2:               $(ratio t2 lt2)"
  echo "    compress --verify / $baseline --verify:   $(ratio v1 ov1)"
  if [ -f "$rec/v1" ] && [ -f "$rec/c1" ] && [ -f "$rec/ov1" ]; then
    awk -v v="$(seconds v1)" -v c="$(seconds c1)" -v o="$(seconds ov1)" 'BEGIN {
      printf "    the verification itself / %s'\''s:      %.3f\n", "'"$baseline"'", (v - c) / (o - c) }'
  fi
done
echo
echo "load after: $(uptime)"
