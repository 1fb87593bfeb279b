# bash completion for tessaro and qlhost

_tessaro() {
  local cur prev words cword
  _init_completion || return

  local commands="list extract test create add delete rename comment repair join view preview formats defaults passwords"
  if [[ $cword -eq 1 ]]; then
    COMPREPLY=($(compgen -W "$commands --help --version" -- "$cur"))
    return
  fi

  local command=${words[1]}
  case $prev in
    -C)
      _filedir -d
      return ;;
    -o | --output)
      _filedir html
      return ;;
    --format)
      COMPREPLY=($(compgen -W "zip 7z tar tar.gz tar.bz2 tar.xz xar rar" -- "$cur"))
      return ;;
    --compression)
      COMPREPLY=($(compgen -W "store fast normal best 0 1 2 3 4 5" -- "$cur"))
      return ;;
    --encryption)
      COMPREPLY=($(compgen -W "none zipcrypto aes aes-names" -- "$cur"))
      return ;;
    --password | -p | --max-size | --volume-size | --comment | --into | --index | --idle | --width)
      return ;;
  esac

  local options
  case $command in
    list) options="--long --json --tree --width --password --verbose --help" ;;
    extract) options="-C --here --overwrite --keep --max-size --special-files --preserve-permissions --same-owner
                      --password --verbose --help" ;;
    test | delete | rename | repair) options="--password --verbose --help" ;;
    create) options="--format --compression --encryption --password --volume-size --comment
                     --exclude-ds-store --verbose --help" ;;
    add) options="--into --compression --encryption --password --exclude-ds-store --verbose --help" ;;
    comment) options="--verbose --help" ;;
    join) options="-C --verbose --help" ;;
    view)
      [[ $cur == -* ]] || COMPREPLY=($(compgen -W "tssro://view/ tssro://config? tssro://extract?" -- "$cur"))
      options="--help" ;;
    preview) options="-o --output --open --help" ;;
    formats) options="--help" ;;
    defaults)
      case $cword in
        2) COMPREPLY=($(compgen -W "read write delete --help" -- "$cur")) ;;
        3) COMPREPLY=($(compgen -W "host config" -- "$cur")) ;;
        *) COMPREPLY=($(compgen -W "-int -bool -string -array-add -plist" -- "$cur")) ;;
      esac
      return ;;
    passwords)
      if [[ $cword -eq 2 ]]; then
        COMPREPLY=($(compgen -W "status unlock lock list add remove import export set-master lock-options reset
                                --password-stdin --help" -- "$cur"))
      elif [[ ${words[2]} == lock-options ]]; then
        COMPREPLY=($(compgen -W "--idle --at-start --after-sleep --password-stdin" -- "$cur"))
      elif [[ ${words[2]} == remove ]]; then
        COMPREPLY=($(compgen -W "--index --password-stdin" -- "$cur"))
      elif [[ ${words[2]} == import || ${words[2]} == export ]]; then
        _filedir
      else
        COMPREPLY=($(compgen -W "--password-stdin" -- "$cur"))
      fi
      return ;;
    *) return ;;
  esac
  if [[ $cur == -* ]]; then
    COMPREPLY=($(compgen -W "$options" -- "$cur"))
  else
    _filedir
  fi
} && complete -F _tessaro tessaro

_qlhost() {
  local cur prev words cword
  _init_completion || return
  case $prev in
    -o) _filedir html; return ;;
    --generator) _filedir -d; return ;;
  esac
  if [[ $cur == -* ]]; then
    COMPREPLY=($(compgen -W "-o --generator --cancelled --thumbnail --help" -- "$cur"))
  else
    _filedir
  fi
} && complete -F _qlhost qlhost
