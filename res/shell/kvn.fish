# SPDX-License-Identifier: MIT
# fish completion for kvn: its commands, each command's options and their values, and file
# names: any file where kvn compresses, only archives (and folders to reach them) where it
# expands or reads archives, folders where it mounts.

# Archives (any letter case of .kvn) and folders below the token being completed.
function __kvn_archives
    set -l token (commandline -ct)
    for path in $token*
        if test -d $path
            printf '%s/\n' $path
        else if string match -qi -- '*.kvn' $path
            printf '%s\n' $path
        end
    end
end

set -l commands process p compress expand info test mount umount help
set -l transfer process p compress expand

complete -c kvn -f
complete -c kvn -n "not __fish_seen_subcommand_from $commands" -s h -l help -d 'Describe the commands and options'
complete -c kvn -n "not __fish_seen_subcommand_from $commands" -s V -l version -d 'Print the version'
complete -c kvn -n "not __fish_seen_subcommand_from $commands" -a 'process p' -d 'Expand archives, compress every other file'
complete -c kvn -n "not __fish_seen_subcommand_from $commands" -a compress -d 'Compress files into .kvn archives'
complete -c kvn -n "not __fish_seen_subcommand_from $commands" -a expand -d 'Restore archives'
complete -c kvn -n "not __fish_seen_subcommand_from $commands" -a info -d 'Show what archives hold'
complete -c kvn -n "not __fish_seen_subcommand_from $commands" -a test -d 'Decode archives fully, writing nothing'
complete -c kvn -n "not __fish_seen_subcommand_from $commands" -a mount -d 'Show a folder with its archives as the files they restore'
complete -c kvn -n "not __fish_seen_subcommand_from $commands" -a umount -d 'Unmount a folder mounted with kvn mount'
complete -c kvn -n "not __fish_seen_subcommand_from $commands" -a help -d 'Describe a command'
complete -c kvn -n "__fish_seen_subcommand_from help" -a 'process compress expand info test mount umount'

# Every command.
complete -c kvn -n "__fish_seen_subcommand_from $commands; and not __fish_seen_subcommand_from help" -s h -l help -d 'Describe the command'

# Compressing and expanding.
complete -c kvn -n "__fish_seen_subcommand_from process p compress" -s m -l mode -x -a 'auto none 8 16 24 32' -d 'Bit-depth optimization'
complete -c kvn -n "__fish_seen_subcommand_from process p compress" -l type -x -d 'Type text stored for standard input'
complete -c kvn -n "__fish_seen_subcommand_from $transfer" -s o -l output -x -a '(__fish_complete_directories)' -d 'Write results into a folder'
complete -c kvn -n "__fish_seen_subcommand_from $transfer" -s r -l keep-tree -d 'Keep each path below the named folder'
complete -c kvn -n "__fish_seen_subcommand_from $transfer" -s j -l jobs -x -d 'Files processed at once'
complete -c kvn -n "__fish_seen_subcommand_from $transfer" -s f -l force -d 'Replace existing results'
complete -c kvn -n "__fish_seen_subcommand_from $transfer" -s n -l no-clobber -d 'Skip files whose result exists'
complete -c kvn -n "__fish_seen_subcommand_from $transfer" -l delete-source -d 'Delete each source once its result is safe'
complete -c kvn -n "__fish_seen_subcommand_from $transfer" -l verify -d 'Compare each new archive with its source'
complete -c kvn -n "__fish_seen_subcommand_from $transfer" -l replace-any -d 'Replace an archive that holds another file'
complete -c kvn -n "__fish_seen_subcommand_from $transfer" -s c -l stdout -d 'Write results to standard output'
complete -c kvn -n "__fish_seen_subcommand_from $transfer info test" -l json -d 'Print JSON lines'
complete -c kvn -n "__fish_seen_subcommand_from $transfer" -l json-progress -d 'With --json, also print progress lines'
complete -c kvn -n "__fish_seen_subcommand_from $transfer" -s q -l quiet -d 'Print only errors'
complete -c kvn -n "__fish_seen_subcommand_from $transfer test mount" -l no-progress -d 'Show no progress line'
complete -c kvn -n "__fish_seen_subcommand_from $transfer test mount" -s T -l threads -x -d 'Threads per file (0: every core)'
complete -c kvn -n "__fish_seen_subcommand_from $transfer" -l files-from -r -F -a - -d 'Read the names from a file (- for standard input)'
complete -c kvn -n "__fish_seen_subcommand_from $transfer" -s 0 -l null -d 'Names in --files-from end with NUL'
complete -c kvn -n "__fish_seen_subcommand_from $transfer" -l base -x -a '(__fish_complete_directories)' -d 'Keep paths below this folder'
complete -c kvn -n "__fish_seen_subcommand_from $transfer" -l shard -x -d 'Take the share K/N of the inputs'

# Mounting.
complete -c kvn -n "__fish_seen_subcommand_from mount" -s f -l foreground -d 'Stay in the foreground'
complete -c kvn -n "__fish_seen_subcommand_from mount" -s o -x -a 'cache= allow_other allow_root' -d 'Mount options'
complete -c kvn -n "__fish_seen_subcommand_from mount" -l index -d 'Only build the missing indexes of the folder'

# What the commands work on.
complete -c kvn -n "__fish_seen_subcommand_from process p compress" -F
complete -c kvn -n "__fish_seen_subcommand_from expand info test" -a '(__kvn_archives)'
complete -c kvn -n "__fish_seen_subcommand_from mount umount" -a '(__fish_complete_directories)'
