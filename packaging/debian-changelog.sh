#!/usr/bin/env bash
# Writes the Debian changelog (on stdout) from CHANGELOG.md: one entry per
# "## VERSION (YYYY-MM-DD HH:MM UTC)" heading (the time may be left out:
# noon), one "*" item per list item.
# Usage: packaging/debian-changelog.sh CHANGELOG.md MAINTAINER
set -euo pipefail
in=$1
maintainer=$2
entry_end() {
  printf '\n -- %s  %s\n' "$maintainer" "$(LC_ALL=C date -u -R -d "$1 UTC")"
}
version="" date="" seen_item=0
while IFS= read -r line || [ -n "$line" ]; do
  if [[ $line =~ ^##\ ([0-9][0-9A-Za-z.+~-]*)\ \(([0-9]{4}-[0-9]{2}-[0-9]{2})(\ ([0-9]{2}:[0-9]{2})\ UTC)?\)$ ]]; then
    if [ -n "$version" ]; then entry_end "$date"; echo; fi
    version=${BASH_REMATCH[1]} date="${BASH_REMATCH[2]} ${BASH_REMATCH[4]:-12:00}" seen_item=0
    printf 'quelmar (%s) unstable; urgency=medium\n\n' "$version"
  elif [ -n "$version" ] && [[ $line == "- "* ]]; then
    printf '  * %s\n' "${line#- }"
    seen_item=1
  elif [ -n "$version" ] && [ $seen_item -eq 1 ] && [[ $line == "  "* ]]; then
    printf '    %s\n' "${line#  }"
  elif [ -n "$version" ] && [ -n "$line" ]; then
    echo "$in: line not in an item: $line" >&2
    exit 1
  fi
done <"$in"
[ -n "$version" ] || { echo "$in: no release heading" >&2; exit 1; }
entry_end "$date"
