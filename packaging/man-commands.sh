#!/usr/bin/env bash
# Writes a help2man include file (on stdout) with a COMMANDS section: the
# --help of each command that `PROGRAM --help` lists under "Commands:".
# Usage: packaging/man-commands.sh PROGRAM
set -euo pipefail
program=$1
commands=$("$program" --help | awk '
  /^(Sub)?[Cc]ommands:/ { on = 1; next }
  on && /^[[:space:]]*$/ { exit }
  on && /^  [a-z]/ { print $1 }')
[ -n "$commands" ] || { echo "$program --help lists no commands" >&2; exit 1; }
echo "[COMMANDS]"
for c in $commands; do
  printf '.SS "%s"\n.nf\n' "$c"
  # Backslashes escaped; a line starting with . or ' is text, not a request.
  "$program" "$c" --help | sed -e 's/\\/\\e/g' -e "s/^\\([.']\\)/\\\\\\&\\1/"
  printf '.fi\n'
done
