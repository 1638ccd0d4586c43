# SPDX-License-Identifier: MIT
# Helpers the benchmark scripts share; source it after setting $work (the scratch folder).
# Timings are kept in $rec (default: $work), one file per command name.

# bench_install PACKAGE...: installs the Debian packages a benchmark needs beyond setup.sh.
bench_install() {
  local need=() package sudo=""
  for package in "$@"; do
    dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed' ||
      need+=("$package")
  done
  [ ${#need[@]} -eq 0 ] && return 0
  [ "$(id -u)" -eq 0 ] || sudo="sudo"
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "${need[@]}"
}

# run NAME COMMAND...: one timed run; appends "microseconds peak-KiB cpu-seconds" to
# $rec/NAME (cpu: user + system time of the command and its children).
run() {
  local name=$1; shift
  local start end
  start=$(date +%s%N)
  /usr/bin/time -f '%M %U %S' -o "$work/usage" "$@" >/dev/null 2>&1
  end=$(date +%s%N)
  echo "$(( (end - start) / 1000 )) $(awk '{printf "%s %.2f", $1, $2 + $3}' "$work/usage")" \
    >>"${rec:-$work}/$name"
}

median() { sort -n | awk '{v[NR]=$1} END {print (NR%2) ? v[(NR+1)/2] : (v[NR/2]+v[NR/2+1])/2}'; }
seconds() { cut -d' ' -f1 "${rec:-$work}/$1" | median | awk '{printf "%.3f", $1/1e6}'; }
cpu() { cut -d' ' -f3 "${rec:-$work}/$1" | median | awk '{printf "%.3f", $1}'; }
peak() { cut -d' ' -f2 "${rec:-$work}/$1" | sort -n | tail -1 | awk '{printf "%.1f", $1/1024}'; }

# bench_baseline REV: builds the kvn of git revision REV (Release) under $work and prints its
# path; prints nothing when it cannot be built. For timing a change against what it replaced.
bench_baseline() {
  local rev=$1
  mkdir -p "$work/baseline-src"
  git -C "$root" archive "$rev" | tar -x -C "$work/baseline-src" 2>/dev/null || return 0
  cmake -S "$work/baseline-src" -B "$work/baseline-build" -G Ninja -DCMAKE_BUILD_TYPE=Release \
    -DKAVRIN_BUILD_TESTS=OFF >/dev/null 2>&1 &&
    cmake --build "$work/baseline-build" >/dev/null 2>&1 &&
    echo "$work/baseline-build/cli/kvn"
}
