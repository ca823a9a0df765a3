# bash completion for quelmar-cli
#
# Completes the commands, each command's options, port names (the COM<n>
# names `quelmar-cli ports` lists, and device paths), and image files by
# extension: .fcode and build output (.elf .axf .hex .srec .s19 .mot) after
# --code and for info (with .fdata), .fdata after --data, .bin and build
# output as pack-code input (pack-data takes any file), .toml profiles and
# .jsonl records files, the line's job commands and label reprint.

_quelmar_cli_ports() {
  # The port list never opens a device, so asking it is harmless.
  local ports
  ports=$("${1:-quelmar-cli}" ports 2>/dev/null | awk '$1 ~ /^COM[0-9]+$/ {print $1}')
  COMPREPLY+=($(compgen -W "$ports" -- "$cur"))
  if [[ $cur == /* ]]; then
    COMPREPLY+=($(compgen -f -- "$cur"))
  fi
}

_quelmar_cli_files() {
  # Files whose name ends in one of the extensions (any case), and folders.
  # An empty list: any file.
  local pattern=$1
  compopt -o filenames 2>/dev/null
  if [[ -z $pattern ]]; then
    COMPREPLY+=($(compgen -f -- "$cur"))
    return
  fi
  COMPREPLY+=($(compgen -f -X "!*.@($pattern)" -- "$cur"))
  COMPREPLY+=($(compgen -d -- "$cur"))
}

_quelmar_cli() {
  local cur prev cmd i
  COMPREPLY=()
  cur=${COMP_WORDS[COMP_CWORD]}
  prev=${COMP_WORDS[COMP_CWORD - 1]}
  local program=${COMP_WORDS[0]}
  local commands="ports identify reboot flash info pack-code pack-data records station line job label"
  local build="elf|axf|hex|srec|s19|mot|ELF|AXF|HEX|SREC|S19|MOT"

  if [[ $COMP_CWORD -eq 1 ]]; then
    COMPREPLY=($(compgen -W "$commands --help --version" -- "$cur"))
    return 0
  fi
  cmd=${COMP_WORDS[1]}

  local shopt_saved
  shopt_saved=$(shopt -p extglob)
  shopt -s extglob
  case $cmd in
    ports)
      COMPREPLY=($(compgen -W "--help" -- "$cur"))
      ;;
    identify|reboot)
      if [[ $cur == -* ]]; then
        COMPREPLY=($(compgen -W "--help" -- "$cur"))
      else
        # One port: complete it only while none is given yet.
        local given=0
        for ((i = 2; i < COMP_CWORD; i++)); do
          [[ ${COMP_WORDS[i]} != -* ]] && given=1
        done
        [[ $given -eq 0 ]] && _quelmar_cli_ports "$program"
      fi
      ;;
    flash)
      case $prev in
        --code) _quelmar_cli_files "fcode|FCODE|$build" ;;
        --data) _quelmar_cli_files "fdata|FDATA" ;;
        --log-dir) compopt -o filenames 2>/dev/null; COMPREPLY=($(compgen -d -- "$cur")) ;;
        --count|--serial-at|--serial-start) ;;
        --serial-format) COMPREPLY=($(compgen -W "u32le u32be u64le text:" -- "$cur")) ;;
        --serial-state) _quelmar_cli_files "" ;;
        --profile) _quelmar_cli_files "toml|TOML" ;;
        --records) _quelmar_cli_files "jsonl|JSONL" ;;
        *)
          if [[ $cur == -* ]]; then
            COMPREPLY=($(compgen -W "--code --data --reboot --auto --count --log-dir --records --json --profile --serial-at --serial-format --serial-state --serial-start --help" -- "$cur"))
          else
            _quelmar_cli_ports "$program"
          fi
          ;;
      esac
      ;;
    station)
      case $prev in
        --listen|--token) ;;
        --token-file) _quelmar_cli_files "" ;;
        *)
          if [[ $cur == -* ]]; then
            COMPREPLY=($(compgen -W "--listen --token --token-file --help" -- "$cur"))
          else
            _quelmar_cli_files "toml|TOML"
          fi
          ;;
      esac
      ;;
    records)
      case $prev in
        --serial | --db | --job) ;;
        *)
          if [[ $cur == -* ]]; then
            COMPREPLY=($(compgen -W "--serial --unit --failed --csv --summary --db --job --help" -- "$cur"))
          else
            _quelmar_cli_files "jsonl|JSONL"
          fi
          ;;
      esac
      ;;
    line)
      if [[ $COMP_CWORD -eq 2 ]]; then
        COMPREPLY=($(compgen -W "init pool pools orphans void station stations dashboard --help" -- "$cur"))
      elif [[ ${COMP_WORDS[2]} == pool && $COMP_CWORD -eq 3 ]]; then
        COMPREPLY=($(compgen -W "add" -- "$cur"))
      elif [[ ${COMP_WORDS[2]} == station && $COMP_CWORD -eq 3 ]]; then
        COMPREPLY=($(compgen -W "add remove" -- "$cur"))
      else
        case $prev in
          --db|--start|--end|--step|--older|--pool|--listen|--token|--hostname|--role) ;;
          --format) COMPREPLY=($(compgen -W "u32le u32be u64le mac text text:" -- "$cur")) ;;
          --list|--token-file) _quelmar_cli_files "" ;;
          *)
            local options="--db --help"
            case ${COMP_WORDS[2]} in
              pool) options+=" --format --start --end --step --list" ;;
              orphans) options+=" --older" ;;
              void) options+=" --pool --board" ;;
              station) options+=" --role" ;;
              dashboard) options+=" --listen --token --token-file --hostname" ;;
            esac
            [[ $cur == -* ]] && COMPREPLY=($(compgen -W "$options" -- "$cur"))
            ;;
        esac
      fi
      ;;
    job)
      if [[ $COMP_CWORD -eq 2 ]]; then
        COMPREPLY=($(compgen -W "release list show retire export --help" -- "$cur"))
      else
        case $prev in
          --db|--name|--quantity|--note) ;;
          -o|--output) compopt -o filenames 2>/dev/null; COMPREPLY=($(compgen -d -- "$cur")) ;;
          *)
            local options="--db --help"
            case ${COMP_WORDS[2]} in
              release) options+=" --name --quantity --note" ;;
              export) options+=" -o --output" ;;
            esac
            if [[ $cur == -* ]]; then
              COMPREPLY=($(compgen -W "$options" -- "$cur"))
            elif [[ ${COMP_WORDS[2]} == release ]]; then
              _quelmar_cli_files "toml|TOML"
            fi
            ;;
        esac
      fi
      ;;
    label)
      if [[ $COMP_CWORD -eq 2 ]]; then
        COMPREPLY=($(compgen -W "reprint --help" -- "$cur"))
      else
        case $prev in
          --db|--unit|--serial|--printer|--timeout-ms) ;;
          --records) _quelmar_cli_files "jsonl|JSONL" ;;
          *)
            [[ $cur == -* ]] && COMPREPLY=($(compgen -W "--records --db --unit --serial --printer --timeout-ms --help" -- "$cur"))
            ;;
        esac
      fi
      ;;
    info)
      if [[ $cur == -* ]]; then
        COMPREPLY=($(compgen -W "--help" -- "$cur"))
      else
        _quelmar_cli_files "fcode|fdata|FCODE|FDATA|$build"
      fi
      ;;
    pack-code|pack-data)
      local encodings="F E" inputs="bin|BIN|$build" options="-o --output --encoding --help"
      if [[ $cmd == pack-code ]]; then
        options+=" --bank-a --bank-b"
      else
        encodings="F D" inputs=""
      fi
      case $prev in
        -o|--output)
          if [[ $cmd == pack-code ]]; then _quelmar_cli_files "fcode|FCODE"; else _quelmar_cli_files "fdata|FDATA"; fi
          ;;
        --encoding) COMPREPLY=($(compgen -W "$encodings" -- "$cur")) ;;
        --bank-a|--bank-b) _quelmar_cli_files "bin|BIN" ;;
        *)
          if [[ $cur == -* ]]; then
            COMPREPLY=($(compgen -W "$options" -- "$cur"))
          else
            _quelmar_cli_files "$inputs"
          fi
          ;;
      esac
      ;;
  esac
  eval "$shopt_saved"
  return 0
}
complete -F _quelmar_cli quelmar-cli
