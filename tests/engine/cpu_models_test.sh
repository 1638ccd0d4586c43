#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# kvn as processors that lack a feature its vector units are built for: every good golden
# archive restores to its SHA-256 and compresses back to itself, every bad one fails with its
# error (never a crash by an illegal instruction), under qemu-user's models of an old processor
# and of one with AVX2 but without BMI2 or without PCLMUL. A unit whose check forgot one of its
# features dies here with SIGILL.
#   cpu_models_test.sh KVN GOLDEN_DIR
# Exit 77 (skipped) when qemu-x86_64 is missing, unless CI=1, where that fails.
set -uo pipefail
export LC_ALL=C.UTF-8
kvn=$1
golden=$(cd "$2" && pwd)
qemu=$(command -v qemu-x86_64 || true)
if [ -z "$qemu" ]; then
  echo "qemu-x86_64 is missing (scripts/setup.sh installs qemu-user)"
  [ "${CI:-}" = 1 ] && exit 1
  exit 77
fi
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0
fail() { echo "FAILED $*"; failures=$((failures + 1)); }

for model in qemu64 Haswell-noTSX,-bmi2 Haswell-noTSX,-pclmulqdq; do
  run() { "$qemu" -cpu "$model" "$kvn" "$@"; }
  while read -r name mode rest; do
    case "$name" in '#'* | '') continue ;; esac
    archive=$golden/$name
    # Bad archives on one thread, good ones on three: both passes read blocks with the same
    # decoders.
    if [ "$mode" = error ]; then
      out=$(run expand -T 1 -c "$archive" 2>&1 >/dev/null)
      status=$?
      [ "$status" -eq 1 ] || fail "$model $name: status $status ($out)"
      continue
    fi
    run expand -T 3 -c "$archive" >"$work/source" 2>/dev/null
    sum=$(sha256sum <"$work/source" | cut -d' ' -f1)
    [ "$sum" = "$rest" ] || fail "$model $name: restored $sum, not $rest"
    # The encoder's paths as well: the restored bytes of the filter and block archives compress
    # back to the same archive.
    case "$mode:$name" in error:* | foreign:* | *:bytes-* | *:chunk-* | *:type-*) continue ;; esac
    type=$(python3 -c 'import sys; h = open(sys.argv[1], "rb").read(260)
print(h[5:5 + h[4]].decode())' "$archive")
    if ! run compress -T 2 -m "$mode" --type "$type" -c - <"$work/source" 2>/dev/null |
      cmp -s - "$archive"; then
      fail "$model $name: compressed with -m $mode, not the golden archive"
    fi
  done <"$golden/expected.txt"
done
[ "$failures" -eq 0 ] || exit 1
echo "every model restores and makes the golden archives"
