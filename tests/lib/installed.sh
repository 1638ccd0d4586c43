#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# libkavrin as a user gets it: installs the library and its development files (the lib and dev
# components) into a private folder, then builds and runs C programs against them through
# pkg-config alone: the golden-archive reader (tests/lib/GoldenRead.c) and the C example of
# doc/library.md.
#   tests/lib/installed.sh BUILD_DIR [SANITIZERS]
# SANITIZERS: those the library was built with (KAVRIN_SANITIZE); the programs take them too.
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
build=$1
sanitize=()
[ -z "${2:-}" ] || sanitize=("-fsanitize=$2")
prefix=$(mktemp -d /tmp/kavrin-installed-XXXXXX)
trap 'rm -rf "$prefix"' EXIT
for component in lib dev; do
  cmake --install "$build" --prefix "$prefix" --component "$component" >/dev/null
done
pc=$(find "$prefix" -name kavrin.pc)
[ -n "$pc" ] || { echo "kavrin.pc was not installed"; exit 1; }
export PKG_CONFIG_PATH=$(dirname "$pc")
flags=$(pkg-config --define-variable=prefix="$prefix" --cflags --libs kavrin)
export LD_LIBRARY_PATH=$(pkg-config --define-variable=prefix="$prefix" --variable=libdir kavrin)

cc -std=c11 -Wall -Wextra -Werror "${sanitize[@]}" "$root/tests/lib/GoldenRead.c" $flags -o "$prefix/golden-read"
"$prefix/golden-read" "$root/tests/golden"

# The documentation's C example, exactly as the page shows it.
awk '/^```c$/ {keep=1; next} /^```$/ {keep=0} keep' "$root/doc/library.md" >"$prefix/example.c"
[ -s "$prefix/example.c" ] || { echo "doc/library.md has no C example"; exit 1; }
cc -std=c11 -Wall -Wextra -Werror "${sanitize[@]}" "$prefix/example.c" $flags -o "$prefix/example"
"$prefix/example" "$root/tests/golden/blocks-16.kvn" >"$prefix/example.out"
grep -q "restored" "$prefix/example.out" || { cat "$prefix/example.out"; exit 1; }
echo "the installed library builds and reads the golden archives"
