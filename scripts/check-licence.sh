#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Checks that every source, build, script and resource file the project keeps names its licence
# in an SPDX line near its top. Prints each file that does not and exits 1 if any does not.
#   scripts/check-licence.sh
set -euo pipefail
cd "$(dirname "$0")/.."
missing=0
checked=0
while IFS= read -r -d '' file; do
  checked=$((checked + 1))
  if ! head -n 3 "$file" | grep -q 'SPDX-License-Identifier: MIT'; then
    echo "$file: no SPDX-License-Identifier line at its top"
    missing=1
  fi
done < <(git ls-files -z --cached --others --exclude-standard -- \
  '*.cpp' '*.h' '*.sh' '*.py' '*.py.in' '*.cmake' 'CMakeLists.txt' '*/CMakeLists.txt' \
  '*.desktop' '*.desktop.in' '*.svg' '*.qrc' 'res/*.xml' 'doc/*.1' '.ci/run')
[ "$missing" = 0 ] || exit 1
echo "Licence: ${checked} files carry their SPDX line."
