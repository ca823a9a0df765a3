#!/usr/bin/env bash
# quelmar.exe under Wine on an X display, driven as an operator would:
# Wine's COM<n> is pointed at quelmar-sim's pty; the test finds the window
# "Tarnivel Quelmar", picks the port in the drop-down, opens a code image
# through the "Open" dialog, presses Update Code, then the same for a data
# image, and checks that the simulator's flash equals the images; a second
# start must end with 1 while the first runs, and Exit must end the first
# with 0. Exit during the data flash erase wait asks whether to stop it:
# Yes stops the update with the data flash left erased, No lets it run
# on. Then, with a new board, the ELF that arm-none-eabi-gcc built for the
# tests is chosen under the dialog's "Build output" filter and written; the
# flash must equal objcopy's binaries of it. Screenshots go to
# WINDOWS_BUILD_DIR/tests/windows/e2e_wine_gui/.
#
# Clicks and keys go through X (xdotool); win_probe.exe, run in the same
# Wine session, tells where the controls are and waits for their states.
#
# Usage: tests/windows/e2e_wine_gui.sh HOST_BUILD_DIR WINDOWS_BUILD_DIR
# It runs on an X server of its own (xvfb-run), where no other test's
# windows can take its clicks; QUELMAR_GUI_DISPLAY=:91 uses that display
# instead (to watch a run). Exit status 77 when a program is missing (the
# test is then skipped).
set -euo pipefail
if [ -n "${QUELMAR_GUI_DISPLAY:-}" ]; then
  export DISPLAY="$QUELMAR_GUI_DISPLAY"
elif [ "${1:-}" != "--own-display" ]; then
  command -v xvfb-run >/dev/null || { echo "missing: xvfb-run"; exit 77; }
  exec xvfb-run -a -s "-screen 0 1024x768x24 -nolisten tcp" "$0" --own-display "$@"
fi
[ "${1:-}" = "--own-display" ] && shift
here="$(cd "$(dirname "$0")" && pwd)"
prime="$here/../../scripts/wine-prime.sh"
host="$(cd "$1" && pwd)"
win="$(cd "$2" && pwd)"
sim="$host/tools/sim/quelmar-sim"
cli="$host/tools/cli/quelmar-cli"
exe="$win/src/win32ui/quelmar.exe"
probe="$win/tests/windows/win_probe.exe"
for program in "$sim" "$cli" "$exe" "$probe"; do
  if [ ! -x "$program" ]; then
    echo "not built: $program"
    exit 77
  fi
done
for tool in xdotool import; do
  command -v "$tool" >/dev/null || { echo "missing: $tool"; exit 77; }
done

com=7
shots="$win/tests/windows/e2e_wine_gui"
rm -rf "$shots"
mkdir -p "$shots"
work="$(mktemp -d "$win/e2e_gui.XXXXXX")"
export WINEPREFIX="$work/prefix"
export WINEDEBUG=-all
export QUELMAR_PORT_DIR="$work/links"
sim_pid=""
gui_pid=""
cleanup() {
  if [ -n "$gui_pid" ]; then kill "$gui_pid" 2>/dev/null || true; fi
  if [ -n "$sim_pid" ]; then kill "$sim_pid" 2>/dev/null || true; fi
  "$prime" --stop
  rm -rf "$work"
}
trap cleanup EXIT

shot_count=0
shot() {
  shot_count=$((shot_count + 1))
  import -window root "$shots/$(printf %02d "$shot_count")-$1.png"
}
fail() {
  echo "FAIL: $*"
  shot failure || true
  echo "log: $(probe log 2>/dev/null || true)"
  exit 1
}
# shellcheck source=wine_e2e_lib.sh
. "$here/wine_e2e_lib.sh"
probe() {
  (cd "$work" && wine "$probe" "$@" </dev/null)
}
# Clicks the centre of dialog control ID.
click() {
  local xy
  xy="$(probe center "$1")" || fail "no control $1"
  # shellcheck disable=SC2086
  xdotool mousemove $xy click 1
}
# Types NAME into the Open dialog's file name field (1148) and presses
# Return. On a loaded machine the dialog shows well before it takes keys,
# and keys sent before that are lost: type only once the field has the
# focus, and press Return only once it holds the whole name (typed again
# if keys were lost).
type_file_name() {
  probe wait-focus-in Open 1148 60 || fail "the Open dialog's file name field never took the focus"
  local tries=0
  while :; do
    xdotool key --clearmodifiers ctrl+a
    xdotool type --delay 15 "$1"
    probe wait-text-in Open 1148 "$1" 10 && break
    tries=$((tries + 1))
    [ "$tries" -lt 3 ] || fail "the file name field does not hold $1 after 3 tries"
  done
  xdotool key Return
  probe wait-box-gone Open 60 || fail "the Open dialog stays"
}
# Opens FILE (in the work folder) through the "Open" dialog that the
# button ID brings up.
open_file() {
  click "$1"
  probe wait-box Open 60 || fail "no Open dialog"
  shot "open-dialog-$2"
  type_file_name "$2"
}

# The simulator, dumping its flash when it stops.
# An erase of 25.5 s is long enough to be trusted: the data update then
# skips its 60-second safety wait.
launch_sim sim_pid "$work/sim.out" --erase-ms 25500 --dump-code-a "$work/a.dump" \
  --dump-code-b "$work/b.dump" --dump-data "$work/data.dump"
pty="$launched_pty"

# A prefix of its own with COM<n> on the pty; Wine draws the title bars
# itself (there is no window manager), so the screenshots show them.
"$prime"
wine reg add 'HKCU\Software\Wine\X11 Driver' /v Decorated /d N /f </dev/null >/dev/null 2>&1
map_com "$com" "$pty"

# Images from our own packer, and the ELF that arm-none-eabi-gcc built for
# the tests (with objcopy's binary of each bank).
firmware="$host/tests/firmware"
for f in app.elf app_a.bin app_b.bin; do
  [ -f "$firmware/$f" ] || { echo "not built: $firmware/$f"; exit 77; }
done
cp "$firmware/app.elf" "$work/app.elf"
head -c 100000 /dev/urandom >"$work/a.bin"
head -c 70001 /dev/urandom >"$work/b.bin"
head -c 3000 /dev/urandom >"$work/data.bin"
"$cli" pack-code -o "$work/app.fcode" --encoding E --bank-a "$work/a.bin" \
  --bank-b "$work/b.bin" >/dev/null
"$cli" pack-data -o "$work/app.fdata" "$work/data.bin" >/dev/null

# --version answers on the caller's output and starts no window.
version="$(wine "$exe" --version </dev/null 2>/dev/null | tr -d '\r')"
release="$("$cli" --version | cut -d' ' -f2 | cut -d+ -f1)"
case "$version" in
  "quelmar $release" | "quelmar $release+"*) ;;
  *) fail "quelmar.exe --version said '$version'" ;;
esac

(cd "$work" && exec wine "$exe" </dev/null >"$work/gui.out" 2>&1) &
gui_pid=$!
probe wait-window "Tarnivel Quelmar" 180 || fail "no window Tarnivel Quelmar"
xdotool search --sync --onlyvisible --name '^Tarnivel Quelmar$' >/dev/null ||
  fail "X has no window Tarnivel Quelmar"
shot started

# A second start ends with 1 while the first runs.
status=0
(cd "$work" && timeout 180 wine "$exe" </dev/null >/dev/null 2>&1) || status=$?
[ "$status" = 1 ] || fail "second start: exit $status"
echo "a second start ended with 1"

# Pick COM<n>: open the list, step down to its entry, take it.
pick_port() {
  local index
  index="$(probe entries | tr -d '\r' | grep -nx "COM $com" | cut -d: -f1)" ||
    fail "no entry COM $com"
  click 1000
  # Keys go to the list only once it is open.
  probe wait-dropped 1000 60 || fail "the port list did not open"
  for _ in $(seq $((index - 1))); do xdotool key Down; done
  xdotool key Return
  probe wait-log "Found bootloader v2.8." 60 || fail "the port did not open"
  probe wait-enabled 1011 1 30 || fail "Reboot stays disabled"
}
pick_port
shot port-open

open_file 1009 app.fcode
probe wait-log "Loading CODE completed !" 30 || fail "the code image did not load"
probe wait-enabled 1002 1 30 || fail "Update Code stays disabled"
click 1002
probe wait-log "Write CODE... " 60 || fail "the code update did not start"
shot code-writing
probe wait-log "Write extended CODE... OK." 300 || fail "the code update did not end"
probe wait-enabled 1002 1 30 || fail "the controls stay locked"
shot code-written

# Exit during the data flash erase wait asks "Stop waiting for the data
# flash erase?"; ANSWER (6 Yes, 7 No) clicks that button.
# Exit ends the program with status 0; then the simulated board is stopped
# so that it writes its flash dumps.
exit_and_stop_board() {
  click 1007
  probe wait-gone "Tarnivel Quelmar" 30 || fail "Exit did not close the window"
  local status=0
  wait "$gui_pid" || status=$?
  gui_pid=""
  [ "$status" = 0 ] || fail "Exit: exit $status"
  kill -INT "$sim_pid"
  wait "$sim_pid" || fail "the simulator failed"
  sim_pid=""
}

exit_during_erase_wait() {
  probe wait-log-count "Waiting complete erase FLASH... " "$1" 60 ||
    fail "the data update did not start"
  click 1007
  probe wait-box Quelmar 30 || fail "Exit asks nothing during the erase wait"
  shot "stop-question-$2"
  local xy
  xy="$(probe center-in Quelmar "$3")" || fail "no button $3 in the question"
  # shellcheck disable=SC2086
  xdotool mousemove $xy click 1
  probe wait-box-gone Quelmar 30 || fail "the question stays"
}

open_file 1010 app.fdata
probe wait-log "Loading FLASH completed !" 30 || fail "the data image did not load"
probe wait-enabled 1003 1 30 || fail "Update Flash stays disabled"

# Yes: the update stops at once, leaving the data flash erased.
click 1003
exit_during_erase_wait 1 yes 6
probe wait-log "Stopped: the data flash is left erased." 30 || fail "Yes did not stop the wait"
probe wait-enabled 1003 1 30 || fail "the controls stay locked after the stop"
probe wait-window "Tarnivel Quelmar" 1 || fail "Exit closed the program mid-update"

# No: the update runs on to its end.
click 1003
exit_during_erase_wait 2 no 7
shot data-erase-wait
probe wait-log "Write to FLASH... OK." 300 || fail "the data update did not end"
probe wait-enabled 1003 1 30 || fail "the controls stay locked"
shot data-written

exit_and_stop_board
cmp <(padded "$work/a.bin" 524288) "$work/a.dump" || fail "bank A differs"
cmp <(padded "$work/b.bin" 524288) "$work/b.dump" || fail "bank B differs"
cmp <(padded "$work/data.bin" 3072) "$work/data.dump" || fail "data flash differs"
echo "both code banks and the data flash hold the images"

# A second session with a new board: the ELF, chosen in the "Open" dialog
# under the "Build output" filter, packed in memory and written.
launch_sim sim_pid "$work/sim2.out" --dump-code-a "$work/elf-a.dump" \
  --dump-code-b "$work/elf-b.dump"
map_com "$com" "$launched_pty"
(cd "$work" && exec wine "$exe" </dev/null >"$work/gui2.out" 2>&1) &
gui_pid=$!
probe wait-window "Tarnivel Quelmar" 180 || fail "no window Tarnivel Quelmar"
pick_port
click 1009
probe wait-box Open 60 || fail "no Open dialog"
# Code images are the filter at the start; build output is the next one
# in the "Files of type" drop-down (1136).
[ "$(probe selected-in Open 1136 | tr -d '\r')" = "CODE files (*.fcode)" ] ||
  fail "the Open dialog starts with another filter"
xy="$(probe center-in Open 1136)" || fail "no filter drop-down"
# shellcheck disable=SC2086
xdotool mousemove $xy click 1
xdotool key Down Return
probe wait-selected-in Open 1136 "Build output (*.elf *.axf *.hex *.srec)" 30 ||
  fail "the Build output filter was not chosen"
shot open-dialog-build-output
xy="$(probe center-in Open 1148)" || fail "no file name field"
# shellcheck disable=SC2086
xdotool mousemove $xy click 1
type_file_name app.elf
probe wait-log "Packed app.elf (ELF): bank A 0x1A000000-" 30 || fail "the ELF was not packed"
probe wait-log "Loading CODE completed !" 30 || fail "the packed image did not load"
probe wait-enabled 1002 1 30 || fail "Update Code stays disabled"
click 1002
probe wait-log "Write extended CODE... OK." 300 || fail "the code update did not end"
probe wait-enabled 1002 1 30 || fail "the controls stay locked"
shot elf-written
exit_and_stop_board
cmp <(padded "$firmware/app_a.bin" 524288) "$work/elf-a.dump" || fail "bank A differs from the ELF"
cmp <(padded "$firmware/app_b.bin" 524288) "$work/elf-b.dump" || fail "bank B differs from the ELF"
cmp "$firmware/app.elf" "$work/app.elf" || fail "the ELF file was changed"
echo "both code banks hold the ELF's program; screenshots in $shots"
