#!/bin/busybox sh
# /init of the driver suite's throw-away guest. Loads the kernel's USB and
# serial modules, makes the CDC-ACM gadget, mounts the host's share and then
# runs the host's commands from the console, one line each:
#   @ <id> <length of the command> <shell command>
# A whole line is answered "@@GOT <id>" at once, a damaged one "@@AGAIN";
# once the command has run, "@@DONE <id> <exit status>". Its output goes to
# /share/run/<id>.out and .err. Lines starting "@@" are the only ones the
# host reads; everything else on the console is kept for the log.
/bin/busybox mkdir -p /proc /sys /dev /tmp /run /sbin /usr/bin /usr/sbin /share
/bin/busybox --install -s
export PATH=/usr/local/bin:/usr/bin:/bin:/usr/sbin:/sbin
export LD_LIBRARY_PATH=/lib/x86_64-linux-gnu
mount -t proc proc /proc
mount -t sysfs sysfs /sys
mount -t devtmpfs devtmpfs /dev
mkdir -p /dev/pts
mount -t devpts devpts /dev/pts
mount -t tmpfs tmpfs /tmp
mount -t tmpfs tmpfs /run
mkdir -p /run/lock
# Keep the kernel's chatter off the console the host reads.
echo 1 >/proc/sys/kernel/printk

fail() {
  echo "@@FAIL $*"
  poweroff -f
}

while read -r module; do
  insmod "/lib/modules/$module" || fail "insmod $module"
done </etc/modules.load

mount -t 9p -o trans=virtio,version=9p2000.L,msize=262144 share /share || fail "mount the share"
mkdir -p /share/run

# The ACM gadget on dummy_hcd: the host side is /dev/ttyACM0 (cdc_acm), the
# gadget side /dev/ttyGS0. Unbinding it (an empty UDC) is the unplug.
mount -t configfs configfs /sys/kernel/config || fail "mount configfs"
g=/sys/kernel/config/usb_gadget/quelmar
mkdir -p $g/strings/0x409 $g/configs/c.1/strings/0x409 $g/functions/acm.GS0 ||
  fail "make the gadget"
echo 0x0525 >$g/idVendor
echo 0xa4a7 >$g/idProduct
echo Quelmar >$g/strings/0x409/manufacturer
echo "Simulated board" >$g/strings/0x409/product
echo 0001 >$g/strings/0x409/serialnumber
echo ACM >$g/configs/c.1/strings/0x409/configuration
ln -s $g/functions/acm.GS0 $g/configs/c.1/ || fail "link the ACM function"
udc=$(ls /sys/class/udc | head -n 1)
[ -n "$udc" ] || fail "no UDC (dummy_hcd)"
echo "$udc" >/etc/udc
echo "$udc" >$g/UDC || fail "bind the gadget"

# Waits until the device nodes the host expects are there (USB enumeration
# runs on after the modules are in).
for i in $(seq 1 200); do
  [ -c /dev/ttyUSB0 ] && [ -c /dev/ttyACM0 ] && [ -c /dev/ttyGS0 ] && break
  sleep 0.05
done

stty -F /dev/ttyS0 raw -echo
# The commands are read by a child of init, not by init itself: processes
# left running by a command become init's when their parent ends, and the
# signal init then gets when one of them ends would make the shell's read
# start afresh and drop the part of a line it had already taken.
(
  echo "@@READY $(cut -d ' ' -f 1 /proc/uptime)"
  while IFS= read -r line; do
    case $line in
      "@ "*) ;;
      *)
        echo "@@AGAIN"
        continue
        ;;
    esac
    rest=${line#@ }
    id=${rest%% *}
    rest=${rest#* }
    length=${rest%% *}
    command=${rest#* }
    if [ "${#command}" != "$length" ]; then
      echo "@@AGAIN"
      continue
    fi
    echo "@@GOT $id"
    sh -c "$command" </dev/null >/share/run/"$id".out 2>/share/run/"$id".err
    echo "@@DONE $id $?"
  done
  poweroff -f
) </dev/ttyS0 >/dev/ttyS0 2>&1 &
# init only reaps what the commands leave behind.
while :; do
  sleep 3600
done
