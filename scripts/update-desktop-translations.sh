#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# The translations of the desktop files (the desktop entry, the KDE service menus, the MIME
# types' comments, the AppStream name and summary) come from the catalogues po/desktop/LANG.po:
# msgfmt --desktop and --xml write each language's entries into the files of res/, after the
# English ones. The same catalogues hold the texts of the file managers' helper and of the
# GNOME Files extension, which read them at run time (compiled to kavrin-desktop.mo by the
# build). po/desktop/kavrin-desktop.pot is their template, taken from the English texts.
#   scripts/update-desktop-translations.sh          updates the template, merges it into every
#                                                   catalogue and rewrites the files of res/
#   scripts/update-desktop-translations.sh --check  changes nothing, and fails when a file is not
#                                                   what the catalogues make of it
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
catalogues=po/desktop
desktop_files=(res/kavrin.desktop res/kavrin-compress.desktop.in res/kavrin-expand.desktop.in)
xml_files=(res/kavrin-mime.xml res/io.kavrin.Kavrin.metainfo.xml)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# The English file: every translated entry left out (msgfmt writes them anew).
english() {
  case "$1" in
    *.xml) sed -E '/ xml:lang="[^"]*"/d' "$1" ;;
    *) sed -E '/^[A-Za-z0-9-]+\[[^]]+\]=/d' "$1" ;;
  esac
}

mkdir -p "$work/en/res" "$work/out/res" "$work/po"
for file in "${desktop_files[@]}" "${xml_files[@]}"; do english "$file" >"$work/en/$file"; done
(cd "$work/en" && xgettext --from-code=UTF-8 --omit-header --sort-by-file --add-location=file \
  -o "$work/kavrin-desktop.pot" "${desktop_files[@]}" "${xml_files[@]}")
xgettext --join-existing --language=Shell --from-code=UTF-8 --omit-header --sort-by-file \
  --add-location=file -o "$work/kavrin-desktop.pot" res/kavrin-file-action
xgettext --join-existing --language=Python --from-code=UTF-8 --omit-header --sort-by-file \
  --add-location=file -o "$work/kavrin-desktop.pot" res/kavrin-nautilus.py.in
languages=()
for catalogue in "$catalogues"/*.po; do
  language=$(basename "$catalogue" .po)
  languages+=("$language")
  msgmerge --quiet --no-fuzzy-matching --no-wrap --add-location=file \
    -o "$work/po/$language.po" "$catalogue" "$work/kavrin-desktop.pot"
done
printf '%s\n' "${languages[@]}" >"$work/po/LINGUAS"
for file in "${desktop_files[@]}"; do
  msgfmt --desktop --template="$work/en/$file" -d "$work/po" -o "$work/out/$file"
done
for file in "${xml_files[@]}"; do
  msgfmt --xml --template="$work/en/$file" -d "$work/po" -o "$work/out/$file"
done

if [ "${1:-}" != "--check" ]; then
  cp "$work/kavrin-desktop.pot" "$catalogues/kavrin-desktop.pot"
  for language in "${languages[@]}"; do cp "$work/po/$language.po" "$catalogues/$language.po"; done
  for file in "${desktop_files[@]}" "${xml_files[@]}"; do cp "$work/out/$file" "$file"; done
  exit 0
fi

status=0
cmp -s "$work/kavrin-desktop.pot" "$catalogues/kavrin-desktop.pot" ||
  { echo "not current: $catalogues/kavrin-desktop.pot" >&2; status=1; }
for language in "${languages[@]}"; do
  cmp -s "$work/po/$language.po" "$catalogues/$language.po" ||
    { echo "not current: $catalogues/$language.po" >&2; status=1; }
  # Every text of the template is translated.
  if msgattrib --untranslated --no-obsolete "$work/po/$language.po" | grep -q '^msgid'; then
    echo "untranslated in $catalogues/$language.po:" >&2
    msgattrib --untranslated --no-obsolete "$work/po/$language.po" | grep -A1 '^msgid "[^"]' >&2
    status=1
  fi
done
for file in "${desktop_files[@]}" "${xml_files[@]}"; do
  cmp -s "$work/out/$file" "$file" || { echo "not current: $file" >&2; diff "$file" "$work/out/$file" >&2 || true; status=1; }
done
[ "$status" -eq 0 ] && echo "Desktop translations: ${#languages[@]} language(s), every file current."
exit "$status"
