#!/bin/sh
# The user's shared folder of COM<n> links must come out of a test run as it
# went in: every test works in a private folder of its own.
# Usage: shared_port_folder.sh snapshot LISTING [PRIVATE_ROOT]
#        shared_port_folder.sh check LISTING
# snapshot writes the folder's entries to LISTING and empties the tests'
# private folders under PRIVATE_ROOT (a killed run may have left links
# there); check fails, naming them, when entries not in LISTING are there
# now.
set -u
mode=$1
listing=$2
if [ -n "${XDG_RUNTIME_DIR:-}" ]; then
  shared="$XDG_RUNTIME_DIR/quelmar"
else
  shared="/tmp/quelmar-$(id -u)"
fi
entries() {
  [ -d "$shared" ] && ls -A "$shared" | sort
  return 0
}
case $mode in
  snapshot)
    if [ -n "${3:-}" ] && [ -d "$3" ]; then
      find "$3" -mindepth 1 -maxdepth 1 -type d -exec rm -rf {} +
    fi
    mkdir -p "$(dirname "$listing")"
    entries > "$listing"
    ;;
  check)
    if [ ! -f "$listing" ]; then
      echo "no listing of $shared from the start of the run ($listing)" >&2
      exit 1
    fi
    left=$(entries | comm -13 "$listing" -)
    if [ -n "$left" ]; then
      echo "tests left these in the shared port folder $shared:" >&2
      echo "$left" >&2
      exit 1
    fi
    echo "nothing left in $shared"
    ;;
  *)
    echo "usage: $0 snapshot|check LISTING" >&2
    exit 2
    ;;
esac
