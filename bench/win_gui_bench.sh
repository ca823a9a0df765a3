#!/usr/bin/env bash
# What quelmar.exe's window costs on top of the work, under Wine on X.
#
# Figure 1: a full two-bank code update (2 x 2048 blocks) driven through
# quelmar.exe's dialog (from the moment the click on Update Code has locked
# the controls until they come back, timed by win_probe.exe inside Wine)
# against the same
# update by quelmar-cli.exe flash less quelmar-cli.exe identify (process
# start, opening, identification), both under Wine against quelmar-sim
# answering at once. Rounds alternate; the ratio of the medians is printed
# (goal: at most 1.15).
# Figure 2: quelmar.exe idle with the port monitor running, as CPU time per
# wall time of its process and of the Wine server (goal: under 1 % of one
# core).
#
# Times are printed, never judged: the exit status only says whether every
# run worked. Needs build/default (simulator, packer) and build/mingw.
#
# Usage: bench/win_gui_bench.sh [--rounds N] [--idle-seconds S]
set -euo pipefail
cd "$(dirname "$0")/.."
root="$(pwd)"
rounds=5
idle=30
if [ "${1:-}" != "--own-display" ] && [ -z "${QUELMAR_GUI_DISPLAY:-}" ]; then
  exec xvfb-run -a -s "-screen 0 1024x768x24 -nolisten tcp" "$0" --own-display "$@"
fi
[ "${1:-}" = "--own-display" ] && shift
[ -n "${QUELMAR_GUI_DISPLAY:-}" ] && export DISPLAY="$QUELMAR_GUI_DISPLAY"
while [ $# -gt 0 ]; do
  case "$1" in
    --rounds) rounds="$2"; shift 2 ;;
    --idle-seconds) idle="$2"; shift 2 ;;
    *) echo "usage: $0 [--rounds N] [--idle-seconds S]" >&2; exit 2 ;;
  esac
done

host="$root/build/default"
win="$root/build/mingw"
sim="$host/tools/sim/quelmar-sim"
cli="$host/tools/cli/quelmar-cli"
exe="$win/src/win32ui/quelmar.exe"
wcli="$win/tools/cli/quelmar-cli.exe"
probe="$win/tests/windows/win_probe.exe"
for program in "$sim" "$cli" "$exe" "$wcli" "$probe"; do
  [ -x "$program" ] || { echo "not built: $program" >&2; exit 1; }
done

work="$(mktemp -d "$win/bench_gui.XXXXXX")"
export WINEPREFIX="$work/prefix"
export WINEDEBUG=-all
export QUELMAR_PORT_DIR="$work/links"
pids=()
gui_pid=""
cleanup() {
  if [ -n "$gui_pid" ]; then kill "$gui_pid" 2>/dev/null || true; fi
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
  "$root/scripts/wine-prime.sh" --stop
  rm -rf "$work"
}
trap cleanup EXIT
fail() {
  echo "FAILED: $*" >&2
  exit 1
}
probe() { (cd "$work" && wine "$probe" "$@" </dev/null); }
click() {
  local xy
  xy="$(probe center "$1")" || fail "no control $1"
  # shellcheck disable=SC2086
  xdotool mousemove $xy click 1
}
now() { date +%s.%N; }
# Starts simulator N answering at once; sets pty.
start_sim() {
  "$sim" --quiet >"$work/sim$1.out" &
  pids+=($!)
  for _ in $(seq 100); do
    [ -s "$work/sim$1.out" ] && break
    sleep 0.1
  done
  pty="$(head -n 1 "$work/sim$1.out")"
  [ -n "$pty" ] || fail "simulator $1 names no pty"
}
median() { sort -g | awk '{v[NR]=$1} END {print (NR%2) ? v[(NR+1)/2] : (v[NR/2]+v[NR/2+1])/2}'; }

# Two boards: COM7 for the window, COM8 for the command line.
start_sim 7
pty7="$pty"
start_sim 8
pty8="$pty"
"$root/scripts/wine-prime.sh"
wine reg add 'HKLM\Software\Wine\Ports' /v COM7 /d "$pty7" /f </dev/null >/dev/null 2>&1
wine reg add 'HKLM\Software\Wine\Ports' /v COM8 /d "$pty8" /f </dev/null >/dev/null 2>&1
"$root/scripts/wine-prime.sh" --stop
"$root/scripts/wine-prime.sh"

head -c 524288 /dev/urandom >"$work/a.bin"
head -c 524288 /dev/urandom >"$work/b.bin"
"$cli" pack-code -o "$work/app.fcode" --bank-a "$work/a.bin" --bank-b "$work/b.bin" >/dev/null

ticks=$(getconf CLK_TCK)
cpu_of() { awk '{print $14 + $15}' "/proc/$1/stat"; }
server=""
for p in $(pgrep -x 'wineserver(64)?' || true); do
  if tr '\0' '\n' <"/proc/$p/environ" 2>/dev/null | grep -qx "WINEPREFIX=$WINEPREFIX"; then server=$p; fi
done
[ -n "$server" ] || fail "no Wine server for $WINEPREFIX"
# CPU per wall time of the program and of the Wine server over the idle span.
measure_idle() {
  local g0 s0 t0 g1 s1 t1
  g0=$([ -n "$1" ] && cpu_of "$1" || echo 0)
  s0=$(cpu_of "$server")
  t0=$(now)
  sleep "$idle"
  g1=$([ -n "$1" ] && cpu_of "$1" || echo 0)
  s1=$(cpu_of "$server")
  t1=$(now)
  awk -v g=$((g1 - g0)) -v s=$((s1 - s0)) -v hz="$ticks" -v t0="$t0" -v t1="$t1" \
    'BEGIN { printf "%.2f %.2f\n", 100 * g / hz / (t1 - t0), 100 * s / hz / (t1 - t0) }'
}
# The Wine server's own idle share first, without the program.
read -r _ server_alone < <(measure_idle "")

(cd "$work" && exec wine "$exe" </dev/null >/dev/null 2>&1) &
gui_pid=$!
probe wait-window "Tarnivel Quelmar" 60 || fail "no window"

# Figure 2 while no port is open: the monitor enumerates the ports twice a
# second.
sleep 2
read -r program_share server_share < <(measure_idle "$gui_pid")
echo "idle, monitor running, $idle s: quelmar.exe $program_share % of a core;" \
  "Wine server $server_share % (without quelmar.exe $server_alone %) (goal: under 1 %)"

# Figure 1.
index="$(probe entries | tr -d '\r' | grep -nx "COM 7" | cut -d: -f1)" || fail "no COM 7"
click 1000
for _ in $(seq $((index - 1))); do xdotool key Down; done
xdotool key Return
probe wait-enabled 1011 1 30 || fail "the port did not open"
click 1009
probe wait-window Open 30 || fail "no Open dialog"
xdotool key --clearmodifiers ctrl+a
xdotool type --delay 15 app.fcode
xdotool key Return
probe wait-enabled 1002 1 30 || fail "the image did not load"

gui_times=()
cli_times=()
for round in $(seq "$rounds"); do
  # Through the window; the n-th "Write extended CODE... OK." ends round n.
  (cd "$work" && wine "$probe" time-busy 1002 300 </dev/null >"$work/busy.out") &
  timer=$!
  # The probe watches before the click.
  for _ in $(seq 600); do
    grep -q watching "$work/busy.out" 2>/dev/null && break
    sleep 0.05
  done
  grep -q watching "$work/busy.out" || fail "round $round: the probe does not watch"
  click 1002
  wait "$timer" || fail "round $round: the window's update did not end"
  probe wait-log-count "Write extended CODE... OK." "$round" 30 ||
    fail "round $round: the window's update failed: $(probe log)"
  gui_times+=("$(tr -d '\r' <"$work/busy.out" | tail -n 1)")

  # By the command line, less its start, opening and identification.
  start=$(now)
  (cd "$work" && wine "$wcli" flash COM8 --code app.fcode </dev/null >"$work/flash.out") ||
    fail "round $round: flash: $(cat "$work/flash.out")"
  middle=$(now)
  (cd "$work" && wine "$wcli" identify COM8 </dev/null >/dev/null) || fail "identify"
  cli_times+=("$(awk -v a="$start" -v m="$middle" -v b="$(now)" 'BEGIN {print (m - a) - (b - m)}')")
  echo "round $round: window $(printf %.2f "${gui_times[-1]}") s, command line $(printf %.2f "${cli_times[-1]}") s"
done
gui_median=$(printf '%s\n' "${gui_times[@]}" | median)
cli_median=$(printf '%s\n' "${cli_times[@]}" | median)
awk -v g="$gui_median" -v c="$cli_median" 'BEGIN {
  printf "two-bank code update, window / command line (medians %.2f s / %.2f s): %.3f (goal: at most 1.15)\n",
         g, c, g / c }'

click 1007
probe wait-gone "Tarnivel Quelmar" 30 || fail "Exit did not close the window"
wait "$gui_pid" || fail "quelmar.exe did not end with 0"
gui_pid=""
