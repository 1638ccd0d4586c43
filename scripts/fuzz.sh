#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Builds the libFuzzer programs with clang, AddressSanitizer and UndefinedBehaviorSanitizer,
# and runs each for SECONDS (default 600) from the committed seed corpus. New interesting
# inputs go to build-fuzz/corpus/TARGET (not committed); a crash leaves build-fuzz/crash-*.
# Copy an input that found a fault into tests/fuzz/corpus/TARGET, so it replays in every test run.
#   scripts/fuzz.sh [SECONDS [TARGET...]]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
seconds=${1:-600}
shift || true
targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=(header expand roundtrip index mount decode library encoder)

bash "$root/scripts/setup.sh"
for package in clang libclang-rt-14-dev; do
  if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed'; then
    sudo=""; [ "$(id -u)" -eq 0 ] || sudo="sudo"
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "$package"
  fi
done
CXX=clang++ bash "$root/scripts/build.sh" "$root/build-fuzz" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DKAVRIN_FUZZ=ON -DKAVRIN_SANITIZE=address,undefined -DKAVRIN_BUILD_GUI=OFF

cd "$root/build-fuzz"
failed=0
for target in "${targets[@]}"; do
  mkdir -p "corpus/$target"
  echo "== fuzz_$target for ${seconds}s"
  status=0
  ./tests/fuzz/fuzz_"$target" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
    -print_final_stats=1 -artifact_prefix="$root/build-fuzz/crash-$target-" \
    "corpus/$target" "$root/tests/fuzz/corpus/$target" >"fuzz-$target.log" 2>&1 || status=$?
  grep -E '^(#[0-9]+ +DONE|stat::number_of_executed_units|stat::new_units_added|==[0-9]+==ERROR|SUMMARY)' \
    "fuzz-$target.log" || true
  if [ "$status" -ne 0 ]; then
    echo "fuzz_$target ended with status $status; the end of build-fuzz/fuzz-$target.log:"
    tail -n 30 "fuzz-$target.log"
    failed=1
  fi
done
ls "$root/build-fuzz"/crash-* 2>/dev/null && exit 1
[ "$failed" -eq 0 ] || exit 1
echo "no crashes"
