# Shared by the Wine end-to-end tests. Sourced once sim (the Linux
# quelmar-sim), prime (scripts/wine-prime.sh) and a fail function are set.

# FILE padded with 0xFF to SIZE bytes.
padded() {
  cat "$1"
  local left=$(($2 - $(stat -c %s "$1")))
  if [ "$left" -gt 0 ]; then head -c "$left" /dev/zero | tr '\0' '\377'; fi
}

# launch_sim PID_VAR OUT [ARGS...]: starts quelmar-sim with ARGS, its output
# in OUT; PID_VAR gets its pid at once (for the clean-up), launched_pty the
# pty it serves.
launch_sim() {
  local pid_var="$1" out="$2"
  shift 2
  "$sim" --quiet "$@" >"$out" &
  printf -v "$pid_var" '%s' "$!"
  # Up to 30 s: a loaded machine starts it slowly.
  for _ in $(seq 300); do
    [ -s "$out" ] && break
    sleep 0.1
  done
  launched_pty="$(head -n 1 "$out")"
  [ -n "$launched_pty" ] || fail "the simulator names no pty"
}

# map_com N PTY: points COM<N> of the running prefix at PTY. Wine reads the
# Ports key only when a wineserver session starts, so the session restarts.
map_com() {
  wine reg add 'HKLM\Software\Wine\Ports' /v "COM$1" /d "$2" /f </dev/null >/dev/null 2>&1
  "$prime" --stop
  "$prime"
  [ "$(readlink "$WINEPREFIX/dosdevices/com$1")" = "$2" ] || fail "Wine did not map COM$1"
}
