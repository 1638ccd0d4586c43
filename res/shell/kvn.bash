# SPDX-License-Identifier: MIT
# bash completion for kvn: its commands, each command's options and their values, and file
# names: any file where kvn compresses, only archives (and folders to reach them) where it
# expands or reads archives, folders where it mounts.

_kvn() {
    local cur prev words cword split
    _init_completion -s || return

    # The command is the first word that is not an option (kvn's own options take no value).
    local i command="" paths_only=""
    for ((i = 1; i < cword; i++)); do
        if [[ -z $command ]]; then
            [[ ${words[i]} == -* ]] || command=${words[i]}
        elif [[ ${words[i]} == -- ]]; then
            paths_only=1
        fi
    done
    if [[ -z $command ]]; then
        if [[ $cur == -* ]]; then
            COMPREPLY=($(compgen -W "-h --help -V --version" -- "$cur"))
        else
            COMPREPLY=($(compgen -W "process p compress expand info test mount umount help" -- "$cur"))
        fi
        return
    fi

    local transfer="-o --output -r --keep-tree -j --jobs -f --force -n --no-clobber
        --delete-source --verify --replace-any -c --stdout --json --json-progress -q --quiet
        --no-progress -T --threads --files-from -0 --null --base --shard -h --help"
    local options files=any
    case $command in
        process | p | compress) options="-m --mode --type $transfer" ;;
        expand) options=$transfer files=archives ;;
        info) options="--json -h --help" files=archives ;;
        test) options="-T --threads --json --no-progress -h --help" files=archives ;;
        mount) options="-f --foreground -o -T --threads --index --no-progress -h --help"
            files=folders ;;
        umount) options="-h --help" files=folders ;;
        help)
            COMPREPLY=($(compgen -W "process compress expand info test mount umount" -- "$cur"))
            return
            ;;
        *) return ;;
    esac

    if [[ -z $paths_only ]]; then
        # The value of the option before the cursor.
        case $prev in
            -m | --mode)
                COMPREPLY=($(compgen -W "auto none 8 16 24 32" -- "$cur"))
                return
                ;;
            -o | --output)
                if [[ $command == mount ]]; then
                    COMPREPLY=($(compgen -W "cache= allow_other allow_root" -- "$cur"))
                    [[ ${COMPREPLY[0]-} == *= ]] && compopt -o nospace 2>/dev/null
                else
                    _filedir -d
                fi
                return
                ;;
            --base)
                _filedir -d
                return
                ;;
            --files-from)
                # A list of names, or - for standard input.
                _filedir
                [[ -z $cur || $cur == - ]] && COMPREPLY+=(-)
                return
                ;;
            -j | --jobs | -T | --threads | --type | --shard) return ;;
        esac
        $split && return
        if [[ $cur == -* ]]; then
            COMPREPLY=($(compgen -W "$options" -- "$cur"))
            [[ ${COMPREPLY[0]-} == *= ]] && compopt -o nospace 2>/dev/null
            return
        fi
    fi

    case $files in
        any) _filedir ;;
        archives) _filedir '[kK][vV][nN]' ;;
        folders) _filedir -d ;;
    esac
}
complete -F _kvn kvn
