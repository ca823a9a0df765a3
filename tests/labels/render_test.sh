#!/usr/bin/env bash
# Boards flashed against the simulator with values that hold ZPL's own
# characters (^ ~ \); their labels, as the records keep them, rendered
# offline by zpl-renderer-js and their QR codes read back by zbarimg: each
# is the board's value exactly.
# Usage: render_test.sh QUELMAR_CLI QUELMAR_SIM NPM_FOLDER
set -uo pipefail
cli=$1 sim=$2 npm_dir=$3
here=$(cd "$(dirname "$0")" && pwd)

for tool in node npm zbarimg; do
  if ! command -v "$tool" >/dev/null; then
    echo "$tool is not installed (scripts/deps.sh installs it)"
    # A CI run must not pass without the check.
    [ -n "${CI:-}" ] && exit 1
    exit 77
  fi
done

# The renderer, as package-lock.json pins it, installed once per lock.
mkdir -p "$npm_dir"
if ! cmp -s "$here/package-lock.json" "$npm_dir/package-lock.json" ||
  [ ! -d "$npm_dir/node_modules/zpl-renderer-js" ]; then
  cp "$here/package.json" "$here/package-lock.json" "$npm_dir/"
  (cd "$npm_dir" && npm ci --no-audit --no-fund --loglevel=error) || {
    echo "npm ci failed in $npm_dir"
    exit 1
  }
fi

work=$(mktemp -d)
sim_pid=
cleanup() {
  [ -n "$sim_pid" ] && kill "$sim_pid" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT
cd "$work" || exit 1

head -c 5000 /dev/urandom >bank.bin
"$cli" pack-code -o app.fcode --bank-a bank.bin >/dev/null || exit 1
# A value per board, each with something a ZPL printer would take as a
# command or an escape if it were not escaped.
printf 'QM^XZ^XA01\nQM~JA02\nQM\\5E03\nQ^FS^FO0,0^FDX4\n' >tags.txt
cat >l.zpl <<'ZPL'
^XA
^FO30,30^A0N,30,30^FDTag {tag}^FS
^FO30,80^BQN,2,6^FDQA,{tag}^FS
^XZ
ZPL
cat >label.toml <<'TOML'
code = "app.fcode"
reboot = true
records = "records.jsonl"

[[field]]
name = "tag"
at = 0x1A000100
format = "text"
size = 16
overwrite = true
list = "tags.txt"
state = "tag.state"

[label]
template = "l.zpl"
printer = "file:labels"
TOML

for board in 1 2 3 4; do
  "$sim" --quiet >sim.out 2>sim.err &
  sim_pid=$!
  for _ in $(seq 100); do
    [ -s sim.out ] && break
    sleep 0.05
  done
  device=$(head -n 1 sim.out)
  if ! "$cli" flash "$device" --profile label.toml >flash.out 2>&1; then
    echo "board $board did not flash:"
    cat flash.out
    exit 1
  fi
  kill "$sim_pid"
  wait "$sim_pid" 2>/dev/null
  sim_pid=
done

# The folder printer got each label whole, the bytes its record keeps.
count=$(find labels -name '*.zpl' | wc -l)
if [ "$count" -ne 4 ]; then
  echo "FAIL: $count label files, not 4"
  exit 1
fi
NODE_PATH="$npm_dir/node_modules" node "$here/check.cjs" records.jsonl tag "$work" 2>&1
