# Bash completion for ostrand-dat: commands, each command's options, and
# file names for archives and directories.
_ostrand_dat() {
  local cur=${COMP_WORDS[COMP_CWORD]}
  local prev=${COMP_WORDS[COMP_CWORD-1]}
  local commands="info ls cat extract verify sum sound pack mount help"
  COMPREPLY=()
  if ((COMP_CWORD == 1)); then
    COMPREPLY=($(compgen -W "$commands --help --version" -- "$cur"))
    return
  fi
  local options
  case ${COMP_WORDS[1]} in
    info | ls) options="--json" ;;
    cat) options="--raw" ;;
    extract) options="--raw --force --jobs -C" ;;
    verify) options="--json --strict --manifest --jobs" ;;
    sum) options="--raw --jobs" ;;
    sound) options="--dump --json" ;;
    pack) options="--block-size --compress" ;;
    mount) options="--raw -f -o" ;;
    help)
      ((COMP_CWORD == 2)) && COMPREPLY=($(compgen -W "$commands" -- "$cur"))
      return
      ;;
    *) return ;;
  esac
  case $prev in
    -C)
      COMPREPLY=($(compgen -d -- "$cur"))
      return
      ;;
    --jobs | --block-size | -o) return ;;
  esac
  if [[ $cur == -* ]]; then
    COMPREPLY=($(compgen -W "$options --help" -- "$cur"))
  else
    COMPREPLY=($(compgen -f -- "$cur"))
  fi
}
complete -o filenames -F _ostrand_dat ostrand-dat
