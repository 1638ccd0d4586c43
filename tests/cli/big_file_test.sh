#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# A source of 5 GiB through kvn: mostly holes (so it costs no disk), with real bytes at its
# start, across the 4 GiB mark and at its end. Compressed on one thread and on two (the same
# archive, with the 64-bit header), tested, shown by info, expanded on one thread and on two
# and compared whole; and, where FUSE can be used, read through kvn mount beyond 4 GiB.
#   big_file_test.sh KVN
# The mount part is skipped with its reason when FUSE is missing, unless CI=1, where that fails.
set -euo pipefail
export LC_ALL=C.UTF-8
kvn=$1
work=$(mktemp -d "${TMPDIR:-/tmp}/kvn-big.XXXXXX")
export XDG_CACHE_HOME=$work/cache
mounted=
cleanup() {
  [ -n "$mounted" ] && { "$kvn" umount "$mounted" || fusermount3 -u -z "$mounted"; } 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT
failures=0
fail() {
  echo "FAILED: $*"
  failures=$((failures + 1))
}

size=$((5 << 30))
src=$work/src/take.w64
mkdir -p "$work/src" "$work/one" "$work/two" "$work/out"
truncate -s "$size" "$src"
# 64 KiB of text-like bytes at three places: a 24-bit filter carries its lanes across each.
pattern=$work/pattern
seq 1 20000 >"$pattern" && truncate -s 65536 "$pattern"
for at in 0 $(((4 << 30) - 30000)) $((size - 65536)); do
  dd if="$pattern" of="$src" bs=65536 seek="$at" oflag=seek_bytes conv=notrunc status=none
done
[ "$(stat -c %s "$src")" = "$size" ] || fail "the source is not 5 GiB"

"$kvn" compress -q -m 24 -T 1 -o "$work/one" "$src" || fail "compress on one thread"
"$kvn" compress -q -m 24 -T 2 --verify -o "$work/two" "$src" || fail "compress on two threads"
archive=$work/one/take.kvn
cmp -s "$archive" "$work/two/take.kvn" || fail "the archives of one and two threads differ"
[ "$(head -c 4 "$archive")" = KVN2 ] || fail "the archive does not open with KVN2"

"$kvn" test "$archive" >/dev/null || fail "kvn test"
info=$("$kvn" info --json "$archive")
case $info in
  *'"original_size":5368709120'*) ;;
  *) fail "kvn info gives: $info" ;;
esac

"$kvn" expand -c -T 1 "$archive" | cmp - "$src" || fail "the one-thread expansion differs"
"$kvn" expand -q -T 2 -o "$work/out" "$archive" || fail "expand on two threads"
cmp "$work/out/take.w64" "$src" || fail "the two-thread expansion differs"
rm -f "$work/out/take.w64"

if [ ! -w /dev/fuse ] || ! command -v fusermount3 >/dev/null; then
  echo "SKIPPED the mount: no usable /dev/fuse or fusermount3 (scripts/setup.sh installs it)"
  [ "${CI:-}" = 1 ] && fail "FUSE is missing in CI"
else
  mkdir -p "$work/view"
  "$kvn" mount "$work/one" "$work/view" || fail "kvn mount"
  mounted=$work/view
  # One read from below the 4 GiB mark to beyond it, and one near the end.
  for at in $(((4 << 30) - 4096)) $((size - 100000)); do
    if ! cmp <(dd if="$work/view/take.w64" bs=65536 skip="$at" count=1 iflag=skip_bytes \
      status=none) <(dd if="$src" bs=65536 skip="$at" count=1 iflag=skip_bytes status=none); then
      fail "the mount's bytes at $at differ"
    fi
  done
  [ "$(stat -c %s "$work/view/take.w64")" = "$size" ] || fail "the mount shows another size"
  "$kvn" umount "$work/view" || fail "kvn umount"
  mounted=
fi

[ "$failures" = 0 ] || exit 1
echo "all passed"
