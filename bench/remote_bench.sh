#!/usr/bin/env bash
# A paced two-bank board through Debian's ser2net on loopback against the
# same board on a local pseudo-terminal: quelmar-cli flash, one run each,
# and the ratio. Then ser2net's defaults against chardelay off, a raw port,
# and 1 ms of added round trip: by tc netem in a network namespace of our
# own (as root, where the kernel has netem), else by a relay that holds
# each chunk 0.5 ms each way (remote_delay.py), said as such.
#
# Usage: bench/remote_bench.sh BUILD_DIR [--quick]
#   --quick  bank A only (half the time)
# REMOTE_CASES="defaults nodelay raw delay" picks the figures after the
# local one (default: all).
set -euo pipefail
build="$(cd "$1" && pwd)"
quick="${2:-}"
here="$(cd "$(dirname "$0")" && pwd)"
sim="$build/tools/sim/quelmar-sim"
cli="$build/tools/cli/quelmar-cli"
ser2net_bin="$(command -v ser2net || echo /usr/sbin/ser2net)"
[ -x "$ser2net_bin" ] || { echo "ser2net is not installed (apt install ser2net): nothing to measure"; exit 0; }

work="$(mktemp -d)"
pids=()
netns=""
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  if [ -n "$netns" ]; then ip netns del "$netns" 2>/dev/null || true; fi
  rm -rf "$work"
}
trap cleanup EXIT

head -c 200000 /dev/urandom >"$work/a.bin"
head -c 100000 /dev/urandom >"$work/b.bin"
if [ "$quick" = "--quick" ]; then
  "$cli" pack-code -o "$work/app.fcode" --bank-a "$work/a.bin" >/dev/null
else
  "$cli" pack-code -o "$work/app.fcode" --bank-a "$work/a.bin" --bank-b "$work/b.bin" >/dev/null
fi

free_port() {
  local port hex
  while :; do
    port=$((20000 + RANDOM % 30000))
    hex="$(printf ':%04X ' "$port")"
    grep -q "$hex" /proc/net/tcp /proc/net/tcp6 2>/dev/null || break
  done
  echo "$port"
}

# Starts a paced simulator; sets pty.
start_sim() {
  "$sim" --pace --quiet >"$work/sim.out" 2>&1 &
  pids+=($!)
  sim_pid=$!
  for _ in $(seq 1 100); do
    pty="$(head -n 1 "$work/sim.out" 2>/dev/null || true)"
    [ -n "$pty" ] && return 0
    sleep 0.05
  done
  echo "the simulator did not start"
  exit 1
}

# start_ser2net ACCEPTER_STACK OPTIONS_YAML [NETNS]; sets port.
start_ser2net() {
  port="$(free_port)"
  {
    echo "connection: &board"
    echo "  accepter: ${1}tcp,127.0.0.1,$port"
    echo "  connector: serialdev,$pty,115200n81,local"
    if [ -n "$2" ]; then printf '  options:\n    %s\n' "$2"; fi
  } >"$work/ser2net.yaml"
  local run=()
  if [ -n "${3:-}" ]; then run=(ip netns exec "$3"); fi
  "${run[@]}" "$ser2net_bin" -n -u -P "$work/ser2net.pid" -c "$work/ser2net.yaml" \
    >"$work/ser2net.out" 2>&1 &
  pids+=($!)
  ser2net_pid=$!
  local table=/proc/net/tcp
  for _ in $(seq 1 100); do
    if "${run[@]}" grep -q "$(printf ':%04X 00000000:0000 0A' "$port")" $table 2>/dev/null; then
      return 0
    fi
    sleep 0.05
  done
  echo "ser2net did not listen: $(cat "$work/ser2net.out")"
  exit 1
}

# timed_flash PORT [NETNS]: prints the seconds the flash took.
timed_flash() {
  local run=()
  if [ -n "${2:-}" ]; then run=(ip netns exec "$2"); fi
  local start end
  start=$(date +%s.%N)
  "${run[@]}" "$cli" flash "$1" --code "$work/app.fcode" >"$work/flash.out" 2>&1 ||
    { echo "flash through $1 failed:" >&2; cat "$work/flash.out" >&2; exit 1; }
  end=$(date +%s.%N)
  awk -v a="$start" -v b="$end" 'BEGIN { printf "%.2f", b - a }'
}

stop_all() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null || true; done
  pids=()
}

ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.3f", a / b }'; }

start_sim
local_s="$(timed_flash "$pty")"
stop_all
printf '%-44s %8.2f s\n' "local pseudo-terminal" "$local_s"

measure() {  # LABEL STACK OPTION URLSCHEME [NETNS]
  start_sim
  start_ser2net "$2" "$3" "${5:-}"
  local s
  s="$(timed_flash "$4://127.0.0.1:$port" "${5:-}")"
  stop_all
  printf '%-44s %8.2f s  ratio %s\n' "$1" "$s" "$(ratio "$s" "$local_s")"
}

cases="${REMOTE_CASES:-defaults nodelay raw delay}"
wanted() { [[ " $cases " == *" $1 "* ]]; }
if wanted defaults; then
  measure "ser2net rfc2217, defaults" "telnet(rfc2217)," "" rfc2217
fi
if wanted nodelay; then
  measure "ser2net rfc2217, chardelay: false" "telnet(rfc2217)," "chardelay: false" rfc2217
fi
if wanted raw; then
  measure "ser2net raw, chardelay: false" "" "chardelay: false" socket
fi
wanted delay || exit 0

# 1 ms more round trip.
if [ "$(id -u)" = 0 ] && command -v ip >/dev/null && command -v tc >/dev/null; then
  netns="quelmar-bench-$$"
  if ip netns add "$netns" && ip netns exec "$netns" ip link set lo up &&
    ip netns exec "$netns" tc qdisc add dev lo root netem delay 500us 2>"$work/tc.err"; then
    measure "rfc2217, chardelay off, +1 ms RTT (netem)" "telnet(rfc2217)," "chardelay: false" \
      rfc2217 "$netns"
    ip netns del "$netns"
    netns=""
    exit 0
  fi
  echo "tc netem is not available here ($(cat "$work/tc.err" 2>/dev/null)); using a relay instead"
  if [ -n "$netns" ]; then ip netns del "$netns" 2>/dev/null || true; netns=""; fi
else
  echo "not root (or no ip/tc): no network namespace with netem; using a relay instead"
fi
start_sim
start_ser2net "telnet(rfc2217)," "chardelay: false"
relay_port="$(free_port)"
python3 "$here/remote_delay.py" "$relay_port" "$port" 0.0005 &
pids+=($!)
for _ in $(seq 1 100); do
  grep -q "$(printf ':%04X 00000000:0000 0A' "$relay_port")" /proc/net/tcp && break
  sleep 0.05
done
s="$(timed_flash "rfc2217://127.0.0.1:$relay_port")"
stop_all
printf '%-44s %8.2f s  ratio %s\n' "rfc2217, chardelay off, +1 ms RTT (relay)" "$s" \
  "$(ratio "$s" "$local_s")"
