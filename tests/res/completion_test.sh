#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# kvn's shell completions: each loads in its shell, and bash and fish complete as kvn wants
# (commands, an option's values, archives only where kvn reads archives).
#   completion_test.sh RES_SHELL_DIR
# Exit 77 (skipped) when a shell is missing, unless CI=1, where that fails.
set -uo pipefail
export LC_ALL=C.UTF-8
shell_dir=$(cd "$1" && pwd)
failures=0

for tool in /usr/share/bash-completion/bash_completion /usr/bin/zsh /usr/bin/fish; do
  if [ ! -e "$tool" ]; then
    echo "$tool is missing (scripts/setup.sh installs it)"
    [ "${CI:-}" = 1 ] && exit 1
    exit 77
  fi
done

check() {  # NAME EXPECTED ACTUAL
  if [ "$2" != "$3" ]; then
    printf 'FAILED %s\n  expected: %s\n  actual:   %s\n' "$1" "$2" "$3"
    failures=$((failures + 1))
  fi
}

bash -n "$shell_dir/kvn.bash" || failures=$((failures + 1))
zsh -n "$shell_dir/_kvn" || failures=$((failures + 1))
fish --no-execute "$shell_dir/kvn.fish" || failures=$((failures + 1))

files=$(mktemp -d)
trap 'rm -rf "$files"' EXIT
mkdir -p "$files/Loops" "$files/.hidden"
touch "$files/Kick.01.wav" "$files/take.kvn" "$files/OLD.KVN" "$files/notes.txt" "$files/Loops/a.kvn"

# bash, as bash-completion calls the function for the line typed so far.
complete_bash() {
  (cd "$files" && bash -c '
    source /usr/share/bash-completion/bash_completion
    source "$1"
    COMP_LINE=$2
    COMP_POINT=${#COMP_LINE}
    read -ra COMP_WORDS <<<"$COMP_LINE"
    [[ $COMP_LINE == *" " ]] && COMP_WORDS+=("")
    COMP_CWORD=$((${#COMP_WORDS[@]} - 1))
    _kvn kvn "${COMP_WORDS[COMP_CWORD]}" "${COMP_WORDS[COMP_CWORD - 1]}"
    ((${#COMPREPLY[@]} == 0)) || printf "%s\n" "${COMPREPLY[@]}" | sort | tr "\n" " "' _ "$shell_dir/kvn.bash" "$1")
}
check "bash: commands" "compress expand help info mount p process test umount " \
  "$(complete_bash 'kvn ')"
check "bash: archives after expand" ".hidden Loops OLD.KVN take.kvn " "$(complete_bash 'kvn expand ')"
check "bash: archives below a folder" "Loops/a.kvn " "$(complete_bash 'kvn info Loops/')"
check "bash: every file after compress" \
  ".hidden Kick.01.wav Loops OLD.KVN notes.txt take.kvn " "$(complete_bash 'kvn compress -f ')"
check "bash: an option" "--mode " "$(complete_bash 'kvn compress --mo')"
check "bash: an option's values" "16 24 32 8 auto none " "$(complete_bash 'kvn process -m ')"
check "bash: no compression mode for expand" "" "$(complete_bash 'kvn expand --mo')"
check "bash: the test command's options" "--help --json --no-progress --threads " \
  "$(complete_bash 'kvn test --')"

# fish, through its own completion machinery.
complete_fish() {
  (cd "$files" && fish -c 'source $argv[1]; complete -C $argv[2]' "$shell_dir/kvn.fish" "$1" |
    cut -f1 | sort | tr '\n' ' ')
}
check "fish: archives after test" "Loops/ OLD.KVN take.kvn " "$(complete_fish 'kvn test ')"
check "fish: an option's values" "16 24 32 8 auto none " "$(complete_fish 'kvn compress --mode ')"

[ "$failures" -eq 0 ] || exit 1
echo "the completions load and complete as expected"
