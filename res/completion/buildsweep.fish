# fish completion for buildsweep.
complete -c buildsweep -s n -l dry-run -d 'List what would be deleted, its size and the space freed; delete nothing'
complete -c buildsweep -s y -l yes -d 'Ask nothing: no prompts'
complete -c buildsweep -s x -l exclude -x -d 'Leave alone folders and files whose name matches'
complete -c buildsweep -s j -l jobs -x -d 'Clean with this many threads'
complete -c buildsweep -l include-tracked -d 'Delete listed files that git tracks too'
complete -c buildsweep -s h -l help -d 'Show the usage and exit'
complete -c buildsweep -s V -l version -d 'Show the version and exit'
complete -c buildsweep -f -a '(__fish_complete_directories)'
