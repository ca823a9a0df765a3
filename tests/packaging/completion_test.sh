#!/usr/bin/env bash
# Drives quelmar-cli's bash completion as bash would (COMP_WORDS, COMP_CWORD)
# and compares what it offers with what each case expects: commands,
# options, port names from `quelmar-cli ports`, image files by extension,
# the job commands.
# Usage: tests/packaging/completion_test.sh COMPLETION_SCRIPT
set -uo pipefail
script=$(realpath "$1")
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"
mkdir sub
touch a.fcode b.fdata c.bin d.hex E.FCODE notes.txt f.elf G.AXF h.s19 line.toml r.jsonl
# Stands in for quelmar-cli: only `ports` is asked.
cat >fake-cli <<'FAKE'
#!/bin/sh
[ "$1" = ports ] || exit 2
printf 'COM1    /dev/ttyS0               free\nCOM17   /dev/ttyUSB0             busy\n'
FAKE
chmod +x fake-cli
# shellcheck source=/dev/null
source "$script" || exit 1

fail=0
# line|expected offers, sorted and space-separated ("" for none)
while IFS='|' read -r line expected; do
  [ -z "$line" ] && continue
  read -ra COMP_WORDS <<<"$line"
  [[ $line == *" " ]] && COMP_WORDS+=("")
  COMP_WORDS[0]=./fake-cli
  COMP_CWORD=$((${#COMP_WORDS[@]} - 1))
  COMPREPLY=()
  _quelmar_cli
  got=$(printf '%s\n' "${COMPREPLY[@]}" | sed '/^$/d' | sort -u | tr '\n' ' ' | sed 's/ $//')
  if [ "$got" != "$expected" ]; then
    echo "FAIL '$line': got '$got', expected '$expected'"
    fail=1
  fi
done <<'CASES'
quelmar-cli |--help --version flash identify info job label line pack-code pack-data ports reboot records station
quelmar-cli label |--help reprint
quelmar-cli label reprint --|--db --help --printer --records --serial --timeout-ms --unit
quelmar-cli label reprint --records |r.jsonl sub
quelmar-cli label reprint --records r.jsonl --unit |
quelmar-cli label reprint --printer |
quelmar-cli job |--help export list release retire show
quelmar-cli job release |line.toml sub
quelmar-cli job release line.toml --|--db --help --name --note --quantity
quelmar-cli job release line.toml --name |
quelmar-cli job export widget -|--db --help --output -o
quelmar-cli job export widget -o |sub
quelmar-cli job retire widget@1 --|--db --help
quelmar-cli job show |
quelmar-cli line |--help dashboard init orphans pool pools station stations void
quelmar-cli line station |add remove
quelmar-cli line station add st --|--db --help --role
quelmar-cli line pool |add
quelmar-cli line pool add serial --|--db --end --format --help --list --start --step
quelmar-cli line pool add serial --format m|mac
quelmar-cli line void --|--board --db --help --pool
quelmar-cli line orphans --|--db --help --older
quelmar-cli line orphans --db |
quelmar-cli line dashboard --|--db --help --hostname --listen --token --token-file
quelmar-cli line dashboard --listen |
quelmar-cli line dashboard --token-file n|notes.txt
quelmar-cli fl|flash
quelmar-cli pack|pack-code pack-data
quelmar-cli flash --|--auto --code --count --data --help --json --log-dir --profile --reboot --records --serial-at --serial-format --serial-start --serial-state
quelmar-cli flash --c|--code --count
quelmar-cli flash |COM1 COM17
quelmar-cli flash COM1 COM|COM1 COM17
quelmar-cli flash COM1 --code |E.FCODE G.AXF a.fcode d.hex f.elf h.s19 sub
quelmar-cli flash COM1 --data |b.fdata sub
quelmar-cli flash COM1 --log-dir |sub
quelmar-cli flash COM1 --count |
quelmar-cli flash COM1 --profile |line.toml sub
quelmar-cli flash COM1 --records |r.jsonl sub
quelmar-cli flash COM1 --serial-format u|u32be u32le u64le
quelmar-cli flash COM1 --serial-at |
quelmar-cli records |r.jsonl sub
quelmar-cli station |line.toml sub
quelmar-cli station line.toml -|--help --listen --token --token-file
quelmar-cli station line.toml --listen |
quelmar-cli station line.toml --token-file n|notes.txt
quelmar-cli records r.jsonl -|--csv --db --failed --help --job --serial --summary --unit
quelmar-cli records --db |
quelmar-cli records --db x --job |
quelmar-cli identify |COM1 COM17
quelmar-cli identify COM1 |
quelmar-cli reboot COM|COM1 COM17
quelmar-cli ports -|--help
quelmar-cli info |E.FCODE G.AXF a.fcode b.fdata d.hex f.elf h.s19 sub
quelmar-cli pack-code -|--bank-a --bank-b --encoding --help --output -o
quelmar-cli pack-code --encoding |E F
quelmar-cli pack-data --encoding |D F
quelmar-cli pack-code -o |E.FCODE a.fcode sub
quelmar-cli pack-data -o |b.fdata sub
quelmar-cli pack-code -o x.fcode |G.AXF c.bin d.hex f.elf h.s19 sub
quelmar-cli pack-code --bank-a |c.bin sub
quelmar-cli pack-data -o x.fdata |E.FCODE G.AXF a.fcode b.fdata c.bin d.hex f.elf fake-cli h.s19 line.toml notes.txt r.jsonl sub
CASES
# Completion leaves the shell's options as it found them.
shopt -q extglob && { echo "FAIL: extglob left on"; fail=1; }
[ $fail -eq 0 ] && echo "completion: OK"
exit $fail
