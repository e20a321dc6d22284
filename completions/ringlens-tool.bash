# bash completion for ringlens-tool
_ringlens_tool() {
  local cur prev words cword
  _init_completion || return
  local commands="inspect extract export"
  local command="" i
  for ((i = 1; i < cword; i++)); do
    case ${words[i]} in
      inspect | extract | export) command=${words[i]}; break ;;
    esac
  done
  if [[ -z $command ]]; then
    if [[ $cur == -* ]]; then
      COMPREPLY=($(compgen -W "--help --version" -- "$cur"))
    else
      COMPREPLY=($(compgen -W "$commands" -- "$cur"))
    fi
    return
  fi
  case $command in
    inspect) [[ $cur == -* ]] && { COMPREPLY=($(compgen -W "--json --help" -- "$cur")); return; } ;;
    extract) [[ $cur == -* ]] && { COMPREPLY=($(compgen -W "--force --help" -- "$cur")); return; } ;;
    export)
      if [[ $prev == --format ]]; then
        COMPREPLY=($(compgen -W "jsonl csv" -- "$cur"))
        return
      fi
      if [[ $cur == --format=* ]]; then
        COMPREPLY=($(compgen -W "jsonl csv" -- "${cur#--format=}"))
        return
      fi
      [[ $cur == -* ]] && { COMPREPLY=($(compgen -W "--format= --help" -- "$cur")); compopt -o nospace; return; }
      ;;
  esac
  _filedir
}
complete -F _ringlens_tool ringlens-tool
