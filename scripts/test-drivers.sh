#!/usr/bin/env bash
# The driver suite: quelmar-cli, quelmar-sim and the desktop program's port
# monitor against the Linux kernel's own serial drivers (ftdi_sio for an
# FTDI adapter, 8250 for an on-board UART, cdc_acm for a USB CDC-ACM port)
# in a throw-away QEMU machine made from Debian's packages, with real unplug
# and re-plug, and a real power cut of the machine with the program's state
# and records on its own disk. Installs what it needs (as root), builds
# build/default when needed, fetches Debian's kernel once into
# build/drivers/kernel (reused after), boots, runs every case, prints the
# case table and exits non-zero on any failure. A hung guest is killed.
#
# Usage: scripts/test-drivers.sh [--only TEXT]...   (the cases whose name holds TEXT)
# KVM where /dev/kvm runs the guest, plain emulation (TCG) otherwise;
# QUELMAR_DRIVERS_TCG=1 forces plain emulation.
set -euo pipefail
cd "$(dirname "$0")/.."

packages=(qemu-system-x86 busybox-static cpio kmod python3 apt dpkg libc-bin e2fsprogs)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
SUDO=""
[ "$(id -u)" -ne 0 ] && SUDO="sudo"
# The kernel comes from the archive too: its package lists must be fresh.
if [ ${#missing[@]} -gt 0 ] || ! ls build/drivers/kernel/linux-image-*.deb >/dev/null 2>&1; then
  $SUDO apt-get update -q
fi
if [ ${#missing[@]} -gt 0 ]; then
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -q --no-install-recommends "${missing[@]}"
fi

# The programs the guest runs, from the release build.
scripts/deps.sh
cmake --preset default >/dev/null
cmake --build --preset default -j"$(nproc)" --target quelmar-cli quelmar-sim quelmar-monitor-probe

# The suite stops itself after 13 minutes; the timeout is the last resort.
# Status 2 is the machine failing, not a case (a guest that stopped
# answering, as plain emulation now and then does): one more go.
mkdir -p build/drivers
run_suite() {
  timeout --kill-after=30s 15m \
    python3 -u tests/drivers/suite.py --build build/default --work build/drivers "$@" |
    tee build/drivers/suite-output.txt
}
status=0
run_suite "$@" || status=$?
if [ "$status" -eq 2 ]; then
  echo "driver suite: the virtual machine failed (not a case); once more" >&2
  status=0
  run_suite "$@" || status=$?
fi
# A KVM that boots the guest can still differ from plain emulation in its
# timing; a case that fails under it is run again under plain emulation,
# which is what these suites were made on, and the KVM failure stays in
# the log above.
if [ "$status" -eq 1 ] && [ "${QUELMAR_DRIVERS_TCG:-0}" = 0 ] &&
   grep -q 'under KVM$' build/drivers/suite-output.txt 2>/dev/null; then
  echo "driver suite: a case failed under KVM; once more under plain emulation" >&2
  status=0
  QUELMAR_DRIVERS_TCG=1 run_suite "$@" || status=$?
fi
if [ "$status" -eq 124 ] || [ "$status" -eq 137 ]; then
  echo "driver suite: still running after 15 minutes: killed" >&2
fi
exit "$status"
