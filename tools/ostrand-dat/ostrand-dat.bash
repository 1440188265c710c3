# Bash completion for ostrand-dat. The commands, each command's options and
# what an option's value is come from the program's own help, so they follow
# the program; ids come from the archive named on the line.

# Sets the variable named $2 to the word $1 without its quoting: '...',
# "..." or backslashes, and a leading ~/ as $HOME/. Nothing is evaluated.
_ostrand_dat_dequote() {
  local _word=$1 _plain= _i
  case $_word in
    \'*)
      _word=${_word#\'}
      _word=${_word%\'}
      ;;
    \"*)
      _word=${_word#\"}
      _word=${_word%\"}
      ;;
    *)
      for ((_i = 0; _i < ${#_word}; _i++)); do
        [[ ${_word:_i:1} == \\ ]] && ((_i++))
        _plain+=${_word:_i:1}
      done
      _word=$_plain
      ;;
  esac
  [[ $_word == "~/"* ]] && _word=$HOME/${_word:2}
  printf -v "$2" '%s' "$_word"
}

# Reads the option lines of the help of program $1 for command $2
# ("  -l, --long  ..." or "  -C DIR  ...") and of its usage ("  -q, --quiet")
# into _ostrand_dat_options (every name, in the help's order) and
# _ostrand_dat_values (option -> its value's name: DIR, FILE, N, ...).
# Fails when $2 is no command.
_ostrand_dat_read_options() {
  local help line name
  local re='^  (-[^ ,=]+)(, (-[^ ,=]+))?( ([A-Z]+)( |$))?'
  _ostrand_dat_options=()
  _ostrand_dat_values=()
  help=$("$1" help "$2" 2>/dev/null) || return 1
  while IFS= read -r line; do
    [[ $line =~ $re ]] || continue
    for name in "${BASH_REMATCH[1]}" "${BASH_REMATCH[3]}"; do
      [[ -z $name || -n ${_ostrand_dat_values[$name]+set} ]] && continue
      _ostrand_dat_options+=("$name")
      _ostrand_dat_values[$name]=${BASH_REMATCH[5]}
    done
  done < <(printf '%s\n' "$help"; "$1" --help 2>/dev/null)
}

_ostrand_dat_files() {  # $1: -f for files and folders, -d for folders only
  local plain
  _ostrand_dat_dequote "$cur" plain
  compopt -o filenames 2>/dev/null
  mapfile -t COMPREPLY < <(compgen "$1" -- "$plain")
}

# The ids of the archive $1 that start as $cur does, through `ls`.
_ostrand_dat_ids() {
  local archive selector=
  _ostrand_dat_dequote "$1" archive
  [[ -f $archive ]] || return
  if [[ $cur == 0[xX]* ]]; then
    [[ $cur =~ ^0[xX][0-9A-Fa-f]{0,8}$ ]] || return
    selector=$cur*
  elif [[ -n $cur ]]; then
    return  # ids are offered in their 0x form only
  fi
  mapfile -t COMPREPLY < <("$program" -q ls -- "$archive" ${selector:+"$selector"} \
    2>/dev/null | cut -f1)
}

_ostrand_dat() {
  local cur=${COMP_WORDS[COMP_CWORD]} program line i j
  _ostrand_dat_dequote "${COMP_WORDS[0]}" program
  COMPREPLY=()
  # The command is the first word that is not -q or -v.
  for ((i = 1; i < COMP_CWORD; i++)); do
    case ${COMP_WORDS[i]} in
      -q | --quiet | -v | --verbose) ;;
      *) break ;;
    esac
  done
  local -a commands=()
  if ((i == COMP_CWORD)) || [[ ${COMP_WORDS[i]} == help ]]; then
    while IFS= read -r line; do
      [[ $line =~ ^\ \ ([a-z]+)( |$) ]] && commands+=("${BASH_REMATCH[1]}")
    done < <("$program" --help 2>/dev/null)
  fi
  if ((i == COMP_CWORD)); then
    local words="${commands[*]} --help --version"
    [[ $cur == -* ]] && words+=" --quiet --verbose"
    mapfile -t COMPREPLY < <(compgen -W "$words" -- "$cur")
    return
  fi
  local command=${COMP_WORDS[i]}
  if [[ $command == help ]]; then
    ((COMP_CWORD == i + 1)) &&
      mapfile -t COMPREPLY < <(compgen -W "${commands[*]}" -- "$cur")
    return
  fi
  local -a _ostrand_dat_options
  local -A _ostrand_dat_values
  _ostrand_dat_read_options "$program" "$command" || return

  # The words before the current one: options, their values (after a space
  # or an '=', at which bash splits a word) and the positional arguments.
  local -a positional=()
  local word value= ended=
  for ((j = i + 1; j < COMP_CWORD; j++)); do
    word=${COMP_WORDS[j]}
    if [[ $word == = ]]; then
      # The value after NAME=; when it is the current word, an option's
      # value, or the FILE of pack's ID=FILE.
      if ((j + 1 == COMP_CWORD)); then
        value=FILE
        [[ ${COMP_WORDS[j - 1]} == -* ]] &&
          value=${_ostrand_dat_values[${COMP_WORDS[j - 1]}]:--}
      fi
      ((j++))
      continue
    fi
    if [[ -z $ended && $word == -?* && $word != -[0-9]* ]]; then
      [[ $word == -- ]] && ended=1 && continue
      [[ -z ${_ostrand_dat_values[$word]} || ${COMP_WORDS[j + 1]} == = ]] &&
        continue
      ((j + 1 == COMP_CWORD)) && value=${_ostrand_dat_values[$word]}
      ((j++))
      continue
    fi
    positional+=("$word")
  done

  if [[ -n $value ]]; then
    case $value in
      DIR) _ostrand_dat_files -d ;;
      FILE | LIST) _ostrand_dat_files -f ;;
    esac
    return  # else a number or FUSE options: nothing to offer
  fi
  if [[ -z $ended && $cur == -* ]]; then
    mapfile -t COMPREPLY < <(compgen -W "${_ostrand_dat_options[*]} --help" -- "$cur")
    return
  fi
  # Where the current word stands among the positional arguments.
  local at=${#positional[@]}
  case $command in
    ls | cat | extract | verify | sum)
      if ((at == 0)); then
        _ostrand_dat_files -f
      else
        _ostrand_dat_ids "${positional[0]}"
      fi
      ;;
    sound)
      ((at == 0)) && _ostrand_dat_files -f
      ((at == 1)) && _ostrand_dat_ids "${positional[0]}"
      ;;
    mount)
      ((at == 0)) && _ostrand_dat_files -f
      ((at == 1)) && _ostrand_dat_files -d
      ;;
    *) _ostrand_dat_files -f ;;
  esac
}
complete -F _ostrand_dat ostrand-dat
