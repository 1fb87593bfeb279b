# fish completion for tessaro

set -l commands list extract test create add delete rename comment repair join view preview formats defaults passwords
complete -c tessaro -f
complete -c tessaro -n "not __fish_seen_subcommand_from $commands" -a list -d 'Print the entries of an archive'
complete -c tessaro -n "not __fish_seen_subcommand_from $commands" -a extract -d 'Extract an archive or some entries'
complete -c tessaro -n "not __fish_seen_subcommand_from $commands" -a test -d 'Check every entry'
complete -c tessaro -n "not __fish_seen_subcommand_from $commands" -a create -d 'Make a new archive'
complete -c tessaro -n "not __fish_seen_subcommand_from $commands" -a add -d 'Add files to an archive'
complete -c tessaro -n "not __fish_seen_subcommand_from $commands" -a delete -d 'Remove entries'
complete -c tessaro -n "not __fish_seen_subcommand_from $commands" -a rename -d 'Rename an entry'
complete -c tessaro -n "not __fish_seen_subcommand_from $commands" -a comment -d 'Show or replace the comment'
complete -c tessaro -n "not __fish_seen_subcommand_from $commands" -a repair -d 'Mend a damaged archive (RAR)'
complete -c tessaro -n "not __fish_seen_subcommand_from $commands" -a join -d 'Join the pieces of a split file'
complete -c tessaro -n "not __fish_seen_subcommand_from $commands" -a view -d 'Follow a preview page link'
complete -c tessaro -n "not __fish_seen_subcommand_from $commands" -a preview -d 'Write the preview page'
complete -c tessaro -n "not __fish_seen_subcommand_from $commands" -a formats -d 'List the archive formats'
complete -c tessaro -n "not __fish_seen_subcommand_from $commands" -a defaults -d 'Show or change preferences'
complete -c tessaro -n "not __fish_seen_subcommand_from $commands" -a passwords -d 'Keep archive passwords'
complete -c tessaro -s h -l help -d 'Describe the command'
complete -c tessaro -n "not __fish_seen_subcommand_from $commands" -l version -d 'Print the version'

# Archives and files are named after the command.
complete -c tessaro -n "__fish_seen_subcommand_from list extract test create add delete rename comment repair join preview" -F
complete -c tessaro -n "__fish_seen_subcommand_from list extract test create add delete rename comment repair join" -s v -l verbose -d "Show the tools' output"
complete -c tessaro -n "__fish_seen_subcommand_from list extract test create add delete rename repair" -s p -l password -r -d 'The archive password'
complete -c tessaro -n "__fish_seen_subcommand_from list" -l long -d 'Every field of each entry'
complete -c tessaro -n "__fish_seen_subcommand_from list" -l json -d 'The entries as a JSON array'
complete -c tessaro -n "__fish_seen_subcommand_from list" -l tree -d 'The entries as a drawn tree'
complete -c tessaro -n "__fish_seen_subcommand_from list" -l width -x -d 'Columns the tree may fill'
complete -c tessaro -n "__fish_seen_subcommand_from extract" -l here -d 'Loose items straight into the destination'
complete -c tessaro -n "__fish_seen_subcommand_from extract join" -s C -r -a '(__fish_complete_directories)' -d 'Destination folder'
complete -c tessaro -n "__fish_seen_subcommand_from extract" -l overwrite -d 'Replace existing files'
complete -c tessaro -n "__fish_seen_subcommand_from extract" -l keep -d 'Keep existing files'
complete -c tessaro -n "__fish_seen_subcommand_from extract" -l max-size -r -d 'Most bytes to write'
complete -c tessaro -n "__fish_seen_subcommand_from extract" -l special-files -d 'Make devices, FIFOs and sockets'
complete -c tessaro -n "__fish_seen_subcommand_from extract" -l preserve-permissions -d 'Keep setuid and setgid bits'
complete -c tessaro -n "__fish_seen_subcommand_from extract" -l same-owner -d 'Keep the recorded owners (root)'
complete -c tessaro -n "__fish_seen_subcommand_from create" -l format -x -a 'zip 7z tar tar.gz tar.bz2 tar.xz xar rar' -d 'Archive format'
complete -c tessaro -n "__fish_seen_subcommand_from create add" -l compression -x -a 'store fast normal best 0 1 2 3 4 5' -d 'Compression level'
complete -c tessaro -n "__fish_seen_subcommand_from create add" -l encryption -x -a 'none zipcrypto aes aes-names' -d 'Encryption method'
complete -c tessaro -n "__fish_seen_subcommand_from create" -l volume-size -r -d 'Volume size'
complete -c tessaro -n "__fish_seen_subcommand_from create" -l comment -r -d 'Archive comment'
complete -c tessaro -n "__fish_seen_subcommand_from create add" -l exclude-ds-store -d 'Leave out .DS_Store files'
complete -c tessaro -n "__fish_seen_subcommand_from add" -l into -r -d 'Folder inside the archive'
complete -c tessaro -n "__fish_seen_subcommand_from preview" -s o -l output -r -F -d 'Write the page to this file'
complete -c tessaro -n "__fish_seen_subcommand_from preview" -l open -d 'Open the page in the browser'
complete -c tessaro -n "__fish_seen_subcommand_from view" -a 'tssro://view/ tssro://config? tssro://extract?' -d 'Preview page link'
complete -c tessaro -n "__fish_seen_subcommand_from defaults; and not __fish_seen_subcommand_from read write delete" -a 'read write delete'
complete -c tessaro -n "__fish_seen_subcommand_from read write delete" -a 'host config -int -bool -string -array-add -plist'
set -l pwcommands status unlock lock list add remove import export set-master lock-options reset
complete -c tessaro -n "__fish_seen_subcommand_from passwords; and not __fish_seen_subcommand_from $pwcommands" -a "$pwcommands"
complete -c tessaro -n "__fish_seen_subcommand_from passwords" -l password-stdin -d 'Read master passwords from standard input'
complete -c tessaro -n "__fish_seen_subcommand_from lock-options" -l idle -x -d 'Lock after so many idle minutes'
complete -c tessaro -n "__fish_seen_subcommand_from lock-options" -l at-start -d 'Lock at start'
complete -c tessaro -n "__fish_seen_subcommand_from lock-options" -l after-sleep -d 'Lock after sleep'
complete -c tessaro -n "__fish_seen_subcommand_from remove" -l index -x -d 'Remove the Nth password'
complete -c tessaro -n "__fish_seen_subcommand_from import export" -F
