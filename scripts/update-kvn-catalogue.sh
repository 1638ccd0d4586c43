#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Keeps kvn's message catalogue current with the texts of cli/ (every Tr("...") and
# TrNoop("...")): the template po/kvn.pot, which holds every text and no translation, and each
# language's po/LANG.po.
#   scripts/update-kvn-catalogue.sh          updates them; then translate what is unfinished
#   scripts/update-kvn-catalogue.sh --check  changes nothing, and fails when a file is not
#                                            current or a language leaves a text untranslated
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
command -v xgettext >/dev/null || bash scripts/setup.sh

# Writes the template and the languages into $1.
update() {
  local into=$1
  xgettext --language=C++ --from-code=UTF-8 --keyword=Tr --keyword=TrNoop --keyword=TrContext:1c,2 \
    --add-comments=TRANSLATORS: --no-location \
    --sort-output --package-name=kvn --msgid-bugs-address=kavrin@example.org \
    --omit-header -o "$into/kvn.pot" cli/*.cpp
  for file in po/*.po; do
    local name
    name=$(basename "$file")
    msgmerge --quiet --no-location --sort-output --no-fuzzy-matching -o "$into/$name" \
      "$file" "$into/kvn.pot"
  done
}

if [ "${1:-}" != "--check" ]; then
  update po
  for file in po/*.po; do
    msgattrib --untranslated "$file" | grep -q '^msgid' && echo "untranslated texts in $file"
  done
  exit 0
fi

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
update "$scratch"
status=0
for file in "$scratch"/*; do
  if ! cmp -s "$file" "po/$(basename "$file")"; then
    echo "po/$(basename "$file") is not current: run scripts/update-kvn-catalogue.sh" >&2
    status=1
  fi
done
for file in po/*.po; do
  if msgattrib --untranslated --no-obsolete "$file" | grep -q '^msgid'; then
    echo "$file leaves texts untranslated" >&2
    status=1
  fi
  msgfmt --check --output-file=/dev/null "$file" || status=1
done
exit $status
