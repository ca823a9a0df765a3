#!/usr/bin/env bash
# quelmar-cli.exe under Wine against the Linux simulator: Wine's COM<n> is
# pointed at the simulator's pty. identify must print what the Linux
# quelmar-cli prints for the same board; a flash with reboot must leave both
# code banks and the data flash as the image files say, with bootloaders 2.8
# (scrambled frames) and 2.7; a CRC error on a block and a hang-up in the
# middle of a bank each stop the flash with one error line; two boards at
# once are both written, every line naming its board; the ARM test
# firmware's ELF, HEX and S-record pack as on Linux, and the ELF flashes the
# board as objcopy's binaries of it say; a board behind Debian's ser2net is
# flashed through rfc2217:// (Winsock) with both banks as the image says; a
# profile, its state and its records in a folder named "Prüfplatz 3", the
# state file named in the profile and on the command line, are one file.
#
# Usage: tests/windows/e2e_wine.sh HOST_BUILD_DIR WINDOWS_BUILD_DIR
#   HOST_BUILD_DIR     Linux build with quelmar-sim and quelmar-cli
#   WINDOWS_BUILD_DIR  MinGW build with quelmar-cli.exe
# Exit status 77 when a program is missing (the test is then skipped).
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
prime="$here/../../scripts/wine-prime.sh"
host="$(cd "$1" && pwd)"
win="$(cd "$2" && pwd)"
sim="$host/tools/sim/quelmar-sim"
cli="$host/tools/cli/quelmar-cli"
exe="$win/tools/cli/quelmar-cli.exe"
for program in "$sim" "$cli" "$exe"; do
  if [ ! -x "$program" ]; then
    echo "not built: $program"
    exit 77
  fi
done

com=5
work="$(mktemp -d "$win/e2e.XXXXXX")"
# A prefix of its own: the Ports key is read only when a wineserver session
# starts, so this one is restarted, which must not disturb other tests.
export WINEPREFIX="$work/prefix"
export WINEDEBUG=-all
export QUELMAR_PORT_DIR="$work/links"
sim_pid=""
sim6_pid=""
ser2net_pid=""
cleanup() {
  if [ -n "$ser2net_pid" ]; then kill "$ser2net_pid" 2>/dev/null || true; fi
  if [ -n "$sim_pid" ]; then kill "$sim_pid" 2>/dev/null || true; fi
  if [ -n "$sim6_pid" ]; then kill "$sim6_pid" 2>/dev/null || true; fi
  "$prime" --stop
  rm -rf "$work"
}
trap cleanup EXIT

fail() {
  echo "FAIL: $*"
  exit 1
}
wine_cli() {
  (cd "$work" && timeout 300 wine "$exe" "$@" </dev/null)
}
# shellcheck source=wine_e2e_lib.sh
. "$here/wine_e2e_lib.sh"

# Starts a simulator that dumps its flash on exit; sets pty.
start_sim() {
  rm -f "$work/sim.out" "$work"/*.dump
  launch_sim sim_pid "$work/sim.out" --dump-code-a "$work/a.dump" \
    --dump-code-b "$work/b.dump" --dump-data "$work/data.dump" "$@"
  pty="$launched_pty"
}

start_sim --com "$com"

"$prime"
map_com "$com" "$pty"

# identify: the same text as on Linux, byte for byte.
linux_out="$(timeout 60 "$cli" identify "COM$com")" || fail "Linux identify failed"
windows_out="$(wine_cli identify "COM$com")" || fail "Windows identify failed"
echo "$windows_out"
[ "$windows_out" = "$linux_out" ] || fail "identify differs: Linux printed
$linux_out"

# Images packed by the Windows program match the Linux program's.
head -c 100000 /dev/urandom >"$work/a.bin"
head -c 70001 /dev/urandom >"$work/b.bin"
head -c 3000 /dev/urandom >"$work/data.bin"
wine_cli pack-code -o app.fcode --encoding E --bank-a a.bin --bank-b b.bin >/dev/null ||
  fail "pack-code"
wine_cli pack-data -o app.fdata data.bin >/dev/null || fail "pack-data"
"$cli" pack-code -o "$work/linux.fcode" --encoding E --bank-a "$work/a.bin" \
  --bank-b "$work/b.bin" >/dev/null
"$cli" pack-data -o "$work/linux.fdata" "$work/data.bin" >/dev/null
cmp "$work/app.fcode" "$work/linux.fcode" || fail "code images differ"
cmp "$work/app.fdata" "$work/linux.fdata" || fail "data images differ"

wine_cli flash "COM$com" --code app.fcode --data app.fdata --reboot >"$work/flash.out" ||
  fail "flash: $(cat "$work/flash.out")"
grep -q '^Reboot\.\.\. OK\.$' "$work/flash.out" || fail "no reboot: $(cat "$work/flash.out")"

# The simulator writes its flash dumps as it stops.
stop_sim() {
  kill -INT "$sim_pid"
  wait "$sim_pid" || fail "the simulator failed"
  sim_pid=""
}
stop_sim
cmp <(padded "$work/a.bin" 524288) "$work/a.dump" || fail "bank A differs"
cmp <(padded "$work/b.bin" 524288) "$work/b.dump" || fail "bank B differs"
cmp <(padded "$work/data.bin" 3072) "$work/data.dump" || fail "data flash differs"
echo "identify matches Linux; flash wrote both banks and the data flash, then rebooted"

# A new simulator behind the same COM number: re-pointing Wine's link takes
# effect at the next open.
restart_sim() {
  start_sim "$@"
  ln -sfn "$pty" "$WINEPREFIX/dosdevices/com$com"
}

# Bootloader 2.7 takes the frames unscrambled.
restart_sim --bootloader 2.7
wine_cli flash "COM$com" --code app.fcode >"$work/flash.out" || fail "2.7: $(cat "$work/flash.out")"
grep -q '^Found bootloader v2\.7\.$' "$work/flash.out" || fail "not 2.7: $(cat "$work/flash.out")"
stop_sim
cmp <(padded "$work/a.bin" 524288) "$work/a.dump" || fail "2.7: bank A differs"
cmp <(padded "$work/b.bin" 524288) "$work/b.dump" || fail "2.7: bank B differs"
echo "bootloader 2.7: both banks as the image says"

# A CRC error on block 5 of bank B stops there with its one line.
restart_sim --fault error=CC@block=B:5
status=0
wine_cli flash "COM$com" --code app.fcode >"$work/flash.out" || status=$?
[ "$status" = 1 ] || fail "CRC error: exit $status"
tail -n 3 "$work/flash.out" | cmp - <(printf 'Write CODE... OK.\nWrite extended CODE... \nIncorrect CRC. i = 5\n') ||
  fail "CRC error: $(cat "$work/flash.out")"
stop_sim
echo "CRC error on a block: one line, exit 1"

# The line hangs up in the middle of bank A: one error line, exit 1.
restart_sim --fault hangup@block=A:100
status=0
wine_cli flash "COM$com" --code app.fcode >"$work/flash.out" || status=$?
[ "$status" = 1 ] || fail "hang-up: exit $status"
errors="$(grep -c 'i = 100' "$work/flash.out" || true)"
[ "$errors" = 1 ] || fail "hang-up: $(cat "$work/flash.out")"
[ "$(sed -n '/^Write CODE\.\.\. $/,$p' "$work/flash.out" | grep -vc '^$')" -le 2 ] ||
  fail "hang-up: more than one error line: $(cat "$work/flash.out")"
wait "$sim_pid" 2>/dev/null || true
sim_pid=""
echo "hang-up mid-bank: one error line, exit 1"

# Two boards at once, COM5 and COM6: each line names its board, both banks
# of both boards as the image says.
restart_sim
launch_sim sim6_pid "$work/sim6.out" --dump-code-a "$work/a6.dump" --dump-code-b "$work/b6.dump"
pty6="$launched_pty"
ln -sfn "$pty6" "$WINEPREFIX/dosdevices/com6"
status=0
wine_cli flash "COM$com" COM6 --code app.fcode >"$work/flash.out" || status=$?
kill -INT "$sim6_pid"
wait "$sim6_pid" || fail "the second simulator failed"
sim6_pid=""
stop_sim
[ "$status" = 0 ] || fail "two boards: exit $status: $(cat "$work/flash.out")"
tail -n 2 "$work/flash.out" | cmp - <(printf 'COM%s: OK\nCOM6: OK\n' "$com") ||
  fail "two boards: $(cat "$work/flash.out")"
[ "$(grep -vc -e "^COM$com: " -e '^COM6: ' -e '^Loading CODE completed !$' "$work/flash.out")" = 0 ] ||
  fail "two boards: a line names no board: $(cat "$work/flash.out")"
for dump in a a6; do cmp <(padded "$work/a.bin" 524288) "$work/$dump.dump" || fail "$dump differs"; done
for dump in b b6; do cmp <(padded "$work/b.bin" 524288) "$work/$dump.dump" || fail "$dump differs"; done
echo "two boards at once: both written, every line names its board"

# Build output that arm-none-eabi-gcc and objcopy wrote for the tests: packed
# alike by both programs, and flashed straight from the ELF.
firmware="$host/tests/firmware"
for f in app.elf app.hex app.srec app_a.bin app_b.bin; do
  [ -f "$firmware/$f" ] || fail "not built: $firmware/$f"
done
cp "$firmware/app.elf" "$firmware/app.hex" "$firmware/app.srec" "$work/"
for f in app.elf app.hex app.srec; do
  wine_cli pack-code -o "windows-$f.fcode" "$f" >"$work/pack.out" ||
    fail "pack-code $f: $(cat "$work/pack.out")"
  "$cli" pack-code -o "$work/linux-$f.fcode" "$work/$f" >/dev/null
  cmp "$work/windows-$f.fcode" "$work/linux-$f.fcode" || fail "$f: the code images differ"
done
restart_sim
wine_cli flash "COM$com" --code app.elf >"$work/flash.out" || fail "ELF: $(cat "$work/flash.out")"
stop_sim
head -n 1 "$work/flash.out" | grep -q '^Packed app.elf (ELF): bank A 0x1A000000-' ||
  fail "ELF: no packed line first: $(cat "$work/flash.out")"
cmp <(padded "$firmware/app_a.bin" 524288) "$work/a.dump" || fail "ELF: bank A differs"
cmp <(padded "$firmware/app_b.bin" 524288) "$work/b.dump" || fail "ELF: bank B differs"
cmp "$firmware/app.elf" "$work/app.elf" || fail "ELF: the file was changed"
echo "build output: packed as on Linux; the ELF flashed as objcopy's binaries say"

# A board on "another machine": ser2net on loopback in front of the
# simulator, reached by quelmar-cli.exe through Winsock as rfc2217://.
ser2net_bin="$(command -v ser2net || echo /usr/sbin/ser2net)"
if [ -x "$ser2net_bin" ]; then
  restart_sim
  # A free port: one the kernel's tables do not list.
  while :; do
    port=$((20000 + RANDOM % 30000))
    hex="$(printf ':%04X ' "$port")"
    grep -q "$hex" /proc/net/tcp /proc/net/tcp6 2>/dev/null || break
  done
  cat >"$work/ser2net.yaml" <<YAML
connection: &board
  accepter: telnet(rfc2217),tcp,127.0.0.1,$port
  connector: serialdev,$pty,115200n81,local
  options:
    chardelay: false
YAML
  "$ser2net_bin" -n -u -P "$work/ser2net.pid" -c "$work/ser2net.yaml" >"$work/ser2net.out" 2>&1 &
  ser2net_pid=$!
  listening=""
  for _ in $(seq 1 100); do
    if grep -q "$(printf ':%04X 00000000:0000 0A' "$port")" /proc/net/tcp 2>/dev/null; then
      listening=1
      break
    fi
    sleep 0.1
  done
  [ -n "$listening" ] || fail "ser2net did not listen on $port within 10 s: $(cat "$work/ser2net.out")"
  url="rfc2217://127.0.0.1:$port"
  wine_cli flash "$url" --code app.fcode >"$work/flash.out" || fail "ser2net: $(cat "$work/flash.out")"
  grep -q "^Opened $url\$" "$work/flash.out" || fail "ser2net: $(cat "$work/flash.out")"
  kill "$ser2net_pid"
  wait "$ser2net_pid" 2>/dev/null || true
  ser2net_pid=""
  stop_sim
  cmp <(padded "$work/a.bin" 524288) "$work/a.dump" || fail "ser2net: bank A differs"
  cmp <(padded "$work/b.bin" 524288) "$work/b.dump" || fail "ser2net: bank B differs"
  echo "through ser2net: quelmar-cli.exe flashed both banks over rfc2217://"
else
  echo "ser2net is not installed: the remote port case is skipped"
fi

# The production line in quelmar-cli.exe: a serial number patched at the
# end of bank A, its state file advanced, a JSON Lines record whose hash is
# that of the bank the board holds, and --json's stdout all JSON objects.
restart_sim
wine_cli flash "COM$com" --code app.fcode --serial-at 0x1A07FF00 --serial-state serial.state \
  --serial-start 305419896 --records records.jsonl --json >"$work/json.out" ||
  fail "production: $(cat "$work/json.out")"
stop_sim
[ "$(od -An -tx1 -j $((0x7FF00)) -N 4 "$work/a.dump" | tr -d ' \n')" = 78563412 ] ||
  fail "production: the serial number is not at 0x1A07FF00"
cmp <(padded "$work/b.bin" 524288) "$work/b.dump" || fail "production: bank B differs"
sha="$(sha256sum "$work/a.dump" | cut -d' ' -f1)"
grep -q "\"bank_a_sha256\":\"$sha\"" "$work/records.jsonl" ||
  fail "production: the record's bank A hash is not the board's: $(cat "$work/records.jsonl")"
grep -q '"fields":{"serial":305419896}' "$work/records.jsonl" ||
  fail "production: the record's serial: $(cat "$work/records.jsonl")"
[ "$(cat "$work/serial.state")" = "$(printf 'next 305419897\nstart 305419896\nstep 1')" ] ||
  fail "production: state file: $(cat "$work/serial.state")"
[ "$(grep -vc '^{"type":"' "$work/json.out")" = 0 ] || fail "production: --json: $(cat "$work/json.out")"
tail -n 1 "$work/json.out" | grep -q '^{"type":"summary","boards":1,"ok":1,' ||
  fail "production: --json summary: $(tail -n 1 "$work/json.out")"
echo "production line: serial number patched, state advanced, record hashes the board's bank"

# A station's folder named beyond ASCII, its profile, state and records in
# it. The state file named once in the profile and once on the command line
# (the same path, typed) is one state file: one counter, serials 1000, 1001.
restart_sim
station="$work/Prüfplatz 3"
mkdir "$station"
cp "$work/app.fcode" "$station/"
cat >"$station/line.toml" <<'TOML'
code = "app.fcode"
records = "records.jsonl"

[[field]]
name = "serial"
at = 0x1A07FF00
start = 1000
state = "serial.state"
TOML
wine_cli flash "COM$com" --profile 'Prüfplatz 3\line.toml' >"$work/flash.out" 2>&1 ||
  fail "Prüfplatz, profile: $(cat "$work/flash.out")"
stop_sim
[ "$(od -An -tx1 -j $((0x7FF00)) -N 4 "$work/a.dump" | tr -d ' \n')" = e8030000 ] ||
  fail "Prüfplatz, profile: serial 1000 is not at 0x1A07FF00"
restart_sim
wine_cli flash "COM$com" --code 'Prüfplatz 3\app.fcode' --serial-at 0x1A07FF00 \
  --serial-start 1000 --serial-state 'Z:'"${station//\//\\}"'\serial.state' \
  --records 'Prüfplatz 3\records.jsonl' >"$work/flash.out" 2>&1 ||
  fail "Prüfplatz, command line: $(cat "$work/flash.out")"
stop_sim
[ "$(od -An -tx1 -j $((0x7FF00)) -N 4 "$work/a.dump" | tr -d ' \n')" = e9030000 ] ||
  fail "Prüfplatz, command line: serial 1001 is not at 0x1A07FF00"
[ "$(cat "$station/serial.state")" = "$(printf 'next 1002\nstart 1000\nstep 1')" ] ||
  fail "Prüfplatz: state file: $(cat "$station/serial.state")"
[ "$(grep -o '"fields":{[^}]*}' "$station/records.jsonl" | tr '\n' ' ')" = \
  '"fields":{"serial":1000} "fields":{"serial":1001} ' ] ||
  fail "Prüfplatz: records: $(cat "$station/records.jsonl")"
[ -e "$station/serial.state.lock" ] || fail "Prüfplatz: no lock beside the state: $(ls "$station")"
# Nothing went to a folder of the name's bytes read in the ANSI code page.
[ "$(find "$work" -maxdepth 1 -name 'Pr*fplatz 3' | wc -l)" = 1 ] ||
  fail "Prüfplatz: a second folder: $(ls "$work")"
echo "a folder named Prüfplatz 3: profile and command line name one state file and one records file"
