#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# libkavrin's ABI: the library exports exactly the symbols debian/libkavrin1.symbols lists, and
# carries the SONAME the package is named after.
#   tests/lib/abi.sh LIBRARY
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
library=$1
exported=$(nm -D --defined-only "$library" | awk '{print $3}' | sort)
listed=$(sed -n 's/^ \([^@ ]*\)@Base .*/\1/p' "$root/debian/libkavrin1.symbols" | sort)
if [ "$exported" != "$listed" ]; then
  echo "exported symbols and debian/libkavrin1.symbols differ (< exported, > listed):"
  diff <(echo "$exported") <(echo "$listed") || true
  exit 1
fi
soname=$(readelf -d "$library" | sed -n 's/.*Library soname: \[\(.*\)\]/\1/p')
[ "$soname" = libkavrin.so.1 ] || { echo "SONAME is '$soname'"; exit 1; }
echo "$(wc -l <<<"$exported") symbols, as listed; SONAME $soname"
