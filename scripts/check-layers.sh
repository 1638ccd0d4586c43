#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Checks the layers' include rules: platform/ -> engine/ -> jobs/ -> (cli/, lists/) -> app/.
# An include line may name a header of its own folder or of a folder below it, never one above
# or beside it (lists/ and app/ may also use the pictures of res/), and no Qt header appears in
# platform/, engine/, jobs/ or cli/. Prints every line that breaks a rule; exits 1 if any does.
#   scripts/check-layers.sh
set -euo pipefail
cd "$(dirname "$0")/.."

declare -A below=(
  [platform]="platform"
  [engine]="engine platform"
  [jobs]="jobs engine platform"
  [cli]="cli jobs engine platform"
  [lists]="lists res jobs engine platform"
  [app]="app lists res jobs engine platform"
)
# The project's own top folders: an include whose first part is one of these is ours.
project=" platform engine jobs cli lists app res tools tests bench "
qt_free=" platform engine jobs cli "

broken=0
for layer in platform engine jobs cli lists app; do
  while IFS= read -r file; do
    while IFS=: read -r number line; do
      header=$(sed -E 's/^[[:space:]]*#[[:space:]]*include[[:space:]]*[<"]([^>"]*)[>"].*/\1/' <<<"$line")
      first=${header%%/*}
      if [[ "$header" == */* && "$project" == *" $first "* && " ${below[$layer]} " != *" $first "* ]]; then
        echo "$file:$number: $layer/ may not include $header (up or across the layers)"
        broken=1
      fi
      if [[ "$qt_free" == *" $layer "* && "$header" =~ ^Q[A-Za-z]*(/|$) ]]; then
        echo "$file:$number: $layer/ is free of Qt, but includes $header"
        broken=1
      fi
    done < <(grep -nE '^[[:space:]]*#[[:space:]]*include' "$file" || true)
  done < <(git ls-files --cached --others --exclude-standard -- "$layer/*.h" "$layer/*.cpp" "$layer/*.hpp")
done
[ "$broken" -eq 0 ] && echo "Layers: every include points down."
exit "$broken"
