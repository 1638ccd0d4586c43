#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Keeps the window's translation files current with the texts of its source (lupdate over app/
# and lists/): the template res/translations/kavrin.ts, which holds every text and no
# translation, and each language's res/translations/kavrin_LANG.ts.
#   scripts/update-translations.sh          updates them; then translate what is unfinished
#   scripts/update-translations.sh --check  changes nothing, and fails when a file is not current
#                                           or a language leaves a text untranslated
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
lupdate=$(command -v lupdate-qt6 || command -v lupdate || echo /usr/lib/qt6/bin/lupdate)
[ -x "$lupdate" ] || { echo "lupdate not found (Debian's qt6-l10n-tools)" >&2; exit 1; }
folder=res/translations

# Writes the files of $folder into $1.
update() {
  local into=$1
  "$lupdate" -silent -locations none -no-obsolete -no-ui-lines app lists -ts "$into/kavrin.ts"
  for file in "$folder"/kavrin_*.ts; do
    local name
    name=$(basename "$file")
    [ "$into" = "$folder" ] || cp "$file" "$into/$name"
    "$lupdate" -silent -locations none -no-obsolete -no-ui-lines app lists -ts "$into/$name"
  done
}

if [ "${1:-}" != "--check" ]; then
  update "$folder"
  grep -l 'type="unfinished"' "$folder"/kavrin_*.ts || true
  exit 0
fi

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
update "$scratch"
status=0
for file in "$scratch"/*.ts; do
  if ! cmp -s "$file" "$folder/$(basename "$file")"; then
    echo "$folder/$(basename "$file") is not current: run scripts/update-translations.sh" >&2
    diff -u "$folder/$(basename "$file")" "$file" | head -40 >&2 || true
    status=1
  fi
done
for file in "$folder"/kavrin_*.ts; do
  if grep -q 'type="unfinished"' "$file"; then
    echo "$file leaves texts untranslated:" >&2
    grep -B2 'type="unfinished"' "$file" | grep '<source>' >&2
    status=1
  fi
done
[ $status -eq 0 ] && echo "Translations: current and complete."
exit $status
