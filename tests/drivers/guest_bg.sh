#!/bin/sh
# background ID COMMAND [ARG]...: starts COMMAND in the background in the guest and
# returns once it runs. /share/run/ID.out and ID.err take its output,
# ID.pid holds its process id and ID.rc, made when it ends, its exit status
# (each file appears whole: written aside, then renamed).
id=$1
shift
cd /share/run || exit 1
rm -f "$id.pid" "$id.rc"
(
  "$@" >"$id.out" 2>"$id.err" </dev/null &
  echo $! >"$id.pid.new"
  mv "$id.pid.new" "$id.pid"
  wait $!
  echo $? >"$id.rc.new"
  mv "$id.rc.new" "$id.rc"
) >/dev/null 2>&1 </dev/null &
while [ ! -e "$id.pid" ]; do sleep 0.01; done
