# fish completion for qlhost
complete -c qlhost -s o -r -F -d 'Write the page to this file'
complete -c qlhost -l generator -r -a '(__fish_complete_directories)' -d 'The generator bundle'
complete -c qlhost -l cancelled -d 'The request says it is cancelled'
complete -c qlhost -l thumbnail -d 'Ask for a thumbnail'
complete -c qlhost -s h -l help -d 'Describe the options'
