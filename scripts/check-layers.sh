#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Checks the layers' include rules (doc/architecture.md draws them):
#
#   platform/ <- engine/ rooms <- engine/ face <- jobs/ <- mount/, cli/, lists/ <- app/
#                                                           mount/ <- lib/ <- python/
#
# Inside engine/, each room is a layer of its own: format/ and codec/ stand on platform/ alone;
# decode/ and encode/ on codec/ (the decoder never sees the compression side, nor the other way
# round); pass/ on every room and the face. The face is the headers directly in engine/; its
# leaf engine/Status.h (the failure type) may be used by every room. Folders above the engine see
# its face and format/ only; mount/ also sees the codec/ and decode/ pieces it reads blocks with.
# lib/ is libkavrin, the C face over the mount's reader and the job pipeline; python/ the Python
# module, which sees lib/'s kavrin.h alone (the C interface, as any other program sees it).
# res/ holds the window's pictures; tools/ the sample generator. Tests and benchmarks may look
# at anything.
#
# An include line may name a header of its own layer or of a layer it stands on, never one above
# or beside it, and no Qt header appears below lists/. Every folder that builds a library or a
# program must have a rule here: a new folder fails the check until it gets one. Prints every
# line that breaks a rule; exits 1 if any does.
#   scripts/check-layers.sh
set -euo pipefail
cd "$(dirname "$0")/.."

engine_face="engine platform"
declare -A below=(
  [platform]="platform"
  [engine/format]="engine/format platform"
  [engine/codec]="engine/codec platform"
  [engine/decode]="engine/decode engine/codec platform"
  [engine/encode]="engine/encode engine/codec platform"
  [engine]="engine engine/format platform"
  [engine/pass]="engine/pass engine/format engine/codec engine/decode engine/encode $engine_face"
  [jobs]="jobs engine/format $engine_face"
  [mount]="mount jobs engine/format engine/codec engine/decode $engine_face"
  [cli]="cli mount jobs engine/format $engine_face"
  [lib]="lib mount jobs engine/format $engine_face"
  [python]="python lib"
  [lists]="lists res jobs engine/format $engine_face"
  [app]="app lists res jobs engine/format $engine_face"
  [res]="res"
  [tools]="tools platform"
)
# Folders whose files may include anything of the project's.
free=" tests bench "
# The project's own top folders: an include whose first part is one of these is ours.
project=" platform engine jobs mount lib python cli lists app res tools tests bench "
qt_free=" platform engine jobs mount lib python cli "

# The layer an include or a file belongs to: engine's rooms by their folder, the rest by their
# top folder.
layer_of() {
  local path=$1 first rest
  first=${path%%/*}
  rest=${path#*/}
  if [[ "$first" == engine && "$rest" == */* ]]; then
    echo "engine/${rest%%/*}"
  else
    echo "$first"
  fi
}

broken=0

# Every folder that builds something has a rule.
while IFS= read -r lists; do
  folder=$(dirname "$lists")
  top=${folder%%/*}
  [[ "$free" == *" $top "* ]] && continue
  for sub in $({ echo "$folder"; git ls-files --cached --others --exclude-standard -- \
                 "$folder/*.cpp" | xargs -r -n1 dirname; } | sort -u); do
    layer=$(layer_of "$sub/x")
    if [[ -z "${below[$layer]+set}" ]]; then
      echo "$sub/: builds code but has no rule in scripts/check-layers.sh"
      broken=1
    fi
  done
done < <(git ls-files --cached --others --exclude-standard -- '*CMakeLists.txt' |
         xargs grep -lE '^[[:space:]]*add_(library|executable)' || true)

while IFS= read -r file; do
  from=$(layer_of "$file")
  top=${file%%/*}
  [[ "$free" == *" $top "* ]] && continue
  [[ -z "${below[$from]+set}" ]] && continue  # reported above
  while IFS=: read -r number line; do
    header=$(sed -E 's/^[[:space:]]*#[[:space:]]*include[[:space:]]*[<"]([^>"]*)[>"].*/\1/' <<<"$line")
    first=${header%%/*}
    if [[ "$header" == */* && "$project" == *" $first "* ]]; then
      to=$(layer_of "$header")
      allowed=0
      [[ " ${below[$from]} " == *" $to "* ]] && allowed=1
      # The failure type is every engine room's.
      [[ "$header" == engine/Status.h && "$from" == engine* ]] && allowed=1
      if [[ $allowed -eq 0 ]]; then
        echo "$file:$number: $from/ may not include $header (up or across the layers)"
        broken=1
      fi
    fi
    if [[ "$qt_free" == *" $top "* && "$header" =~ ^Q[A-Za-z]*(/|$) ]]; then
      echo "$file:$number: $top/ is free of Qt, but includes $header"
      broken=1
    fi
  done < <(grep -nE '^[[:space:]]*#[[:space:]]*include' "$file" || true)
done < <(git ls-files --cached --others --exclude-standard -- '*.h' '*.cpp' '*.hpp')
[ "$broken" -eq 0 ] && echo "Layers: every include points down."
exit "$broken"
