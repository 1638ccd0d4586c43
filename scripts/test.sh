#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Sets up, builds and runs every test: once in a normal build, once under AddressSanitizer with
# UndefinedBehaviorSanitizer, and the tests labelled "threads" under ThreadSanitizer.
# KAVRIN_WERROR=ON makes warnings errors.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
bash "$root/scripts/setup.sh"
jobs=$(nproc)

bash "$root/scripts/build.sh" "$root/build"
(cd "$root/build" && ctest --output-on-failure -j "$jobs" -LE long)
# The 5 GiB round trip is long, but the normal build runs it.
(cd "$root/build" && ctest --output-on-failure -R '^cli\.FiveGiBRoundTrip$')

bash "$root/scripts/build.sh" "$root/build-asan" -DCMAKE_BUILD_TYPE=Debug \
  -DKAVRIN_SANITIZE=address,undefined
(cd "$root/build-asan" &&
  ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1 \
  ctest --output-on-failure -j "$jobs" -LE long)

bash "$root/scripts/build.sh" "$root/build-tsan" -DCMAKE_BUILD_TYPE=Debug -DKAVRIN_SANITIZE=thread
(cd "$root/build-tsan" &&
  TSAN_OPTIONS="halt_on_error=1:second_deadlock_stack=1:suppressions=$root/tests/tsan.supp" \
  ctest --output-on-failure -j "$jobs" -L threads)
