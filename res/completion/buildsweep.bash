# bash completion for buildsweep: options, and folders for everything else.
_buildsweep() {
  local cur prev
  cur=${COMP_WORDS[COMP_CWORD]}
  prev=${COMP_WORDS[COMP_CWORD-1]}
  case $prev in
    -x | --exclude | -j | --jobs | --older-than)
      return 0  # a wildcard, a number or an age of the user's own
      ;;
  esac
  local word
  for word in "${COMP_WORDS[@]:1:COMP_CWORD-1}"; do
    [[ $word == -- ]] && { COMPREPLY=($(compgen -d -- "$cur")); return 0; }
  done
  if [[ $cur == -* ]]; then
    COMPREPLY=($(compgen -W '-n --dry-run -y --yes -x --exclude -j --jobs --include-tracked --older-than --trash --json --ask -h --help -V --version --' -- "$cur"))
  else
    COMPREPLY=($(compgen -d -- "$cur"))
  fi
}
complete -o filenames -F _buildsweep buildsweep
