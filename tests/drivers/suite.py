#!/usr/bin/env python3
"""The driver suite: quelmar-cli, quelmar-sim and the desktop program's port
monitor against the Linux kernel's own serial drivers (ftdi_sio, 8250,
cdc_acm) in a throw-away QEMU machine, with real unplug and re-plug.

Usage: suite.py --build BUILD_DIR --work WORK_DIR [--only NAME]...

Prints a table of the cases and what was seen, and exits 1 when any case
failed (2 when the machinery itself failed). QUELMAR_DRIVERS_TCG=1 forces
plain emulation even where KVM is usable."""

import argparse
import json
import os
import random
import re
import shutil
import signal
import struct
import subprocess
import sys
import threading
import time
import traceback

sys.dont_write_bytecode = True  # no __pycache__ in the source tree
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import machine  # noqa: E402
from machine import SuiteError, log  # noqa: E402

HERE = os.path.dirname(os.path.abspath(__file__))
UDC = "/sys/kernel/config/usb_gadget/quelmar/UDC"
BANK_SIZE = 0x80000
BLOCK = 256

# How long a program may take to end once its board is unplugged before it
# counts as hung. Never a pass condition: the times are printed.
HANG_AFTER_UNPLUG = 10
# A boot takes about 10 s under plain emulation.
BOOT_LIMIT = 90

# The power cut: the guest's own disk, how many cuts, the serial number's
# place (in bank A's second block, so that a board has it early), and how
# a board behaves (after its reboot it hangs up, as a board taken off the
# line).
DISK_SIZE = 32 << 20
CUTS = 3
CUT_FIELD = 0x100
CUT_BOARD = ["--after-reboot", "hangup"]
SWAP_SECONDS = 3
# Folder flushes are the program's job: with no periodic writeback and a
# journal committed only when someone flushes, whatever it leaves unflushed
# is still in memory at the cut, and lost.
MOUNT_DISK = ("mkdir -p /disk && mount -t ext4 -o noauto_da_alloc,commit=600 /dev/vda /disk && "
              "echo 0 > /proc/sys/vm/dirty_writeback_centisecs && "
              "echo 360000 > /proc/sys/vm/dirty_expire_centisecs")


# --- what the boards log ------------------------------------------------------

def opened(port):
    return [f"Opened {port}", "Get bootloader info... OK.", "Found bootloader v2.8.",
            "Get chip info... OK.", "Chip: LPC4357"]


def code_lines(two_banks):
    lines = ["Erase CODE... OK.", "Write CODE... OK."]
    if two_banks:
        lines.append("Write extended CODE... OK.")
    return lines


DATA_LINES = ["Start erase FLASH... OK.", "Waiting complete erase FLASH... OK.",
              "Goto write FLASH mode... OK.", "Write to FLASH... OK."]
REBOOT_LINES = ["Reboot... OK.", "COM port closed."]

# The one line a code write ends with when the line goes away under it: the
# request or block could not be sent, or its reply never came.
FAILURE_LINE = re.compile(
    r"^(Incorrect received data size\. (i = \d+, |Write\. |Read\. )?lpSize = \d+"
    r"|Failed send request\. i = \d+|Invalid response format\.)$")


def lines_of(text):
    return text.split("\n")[:-1] if text.endswith("\n") else text.split("\n")


# --- drivers and boards ---------------------------------------------------------

class Driver:
    def __init__(self, name, kernel_driver, com, device, chardev, pluggable):
        self.name = name
        self.kernel_driver = kernel_driver
        self.com = com
        self.port = f"COM{com}"
        self.device = device
        self.chardev = chardev  # QEMU's pty for a board on the host; None: in the guest
        self.pluggable = pluggable

    @property
    def in_guest(self):
        return self.chardev is None


FTDI = Driver("FTDI", "ftdi_sio", 17, "/dev/ttyUSB0", "ftdi", True)
UART = Driver("UART", "8250", 2, "/dev/ttyS1", "uart", False)
ACM = Driver("CDC-ACM", "cdc_acm", 49, "/dev/ttyACM0", None, True)
DRIVERS = [FTDI, UART, ACM]
# What `quelmar-cli ports` lists with every adapter plugged: the console
# (ttyS0) and the three ports; not the 8250's ttyS2 and ttyS3 placeholders.
ALL_PORTS = [(1, "/dev/ttyS0"), (2, "/dev/ttyS1"), (17, "/dev/ttyUSB0"), (49, "/dev/ttyACM0")]


def ports_listing(ports, busy=()):
    return "".join(f"COM{n:<4d} {dev:<24s} {'busy' if n in busy else 'free'}\n"
                   for n, dev in ports)


class Board:
    """A simulated board on one driver's line: quelmar-sim serving the pty
    QEMU made for the FTDI adapter or the UART (on the host), or the ACM
    gadget's /dev/ttyGS0 (in the guest). Its flash is dumped when it ends."""

    def __init__(self, suite, driver, name, args=()):
        self.suite = suite
        self.driver = driver
        self.name = name
        self.proc = None
        self.status = None
        self.stderr = ""
        host_dir = os.path.join(suite.guest.share, "boards")
        os.makedirs(host_dir, exist_ok=True)
        self.files = {k: os.path.join(host_dir, f"{name}.{k}") for k in ("a", "b", "data")}
        for path in self.files.values():
            if os.path.exists(path):
                os.unlink(path)
        where = "/share/boards" if driver.in_guest else host_dir
        tty = "/dev/ttyGS0" if driver.in_guest else suite.guest.ptys[driver.chardev]
        argv = ["--tty", tty, "--dump-code-a", f"{where}/{name}.a",
                "--dump-code-b", f"{where}/{name}.b", "--dump-data", f"{where}/{name}.data",
                *args]
        if driver.in_guest:
            self.run_name = "sim-" + name
            suite.guest.background(self.run_name, ["quelmar-sim", *argv])
            first = suite.wait_for(self.run_name + ".out", "\n", 10)
            line = lines_of(first)[0]
        else:
            self.proc = subprocess.Popen([suite.sim, *argv], stdout=subprocess.PIPE,
                                         stderr=subprocess.PIPE, text=True)
            line = self.proc.stdout.readline().strip()
        if line != tty:
            raise SuiteError(f"quelmar-sim --tty {tty} said {line!r} first")

    def stop(self):
        """Stops the board (SIGTERM) unless it has ended; its exit status."""
        if self.status is not None:
            return self.status
        if self.driver.in_guest:
            self.suite.guest.run(f"kill -TERM $(cat /share/run/{self.run_name}.pid)")
        else:
            self.proc.terminate()
        return self.wait(10)

    def wait(self, timeout):
        if self.status is not None:
            return self.status
        if self.driver.in_guest:
            rc = self.suite.wait_for(self.run_name + ".rc", "\n", timeout)
            self.status = int(rc.strip())
            self.stderr = self.suite.guest.read_share(f"run/{self.run_name}.err")
        else:
            try:
                _, self.stderr = self.proc.communicate(timeout=timeout)
            except subprocess.TimeoutExpired:
                raise SuiteError(f"board {self.name} did not end within {timeout} s")
            self.status = self.proc.returncode
        return self.status

    def kill(self):
        if self.proc is not None and self.proc.poll() is None:
            self.proc.kill()
            self.proc.wait()

    def dump(self, kind):
        with open(self.files[kind], "rb") as f:
            return f.read()


class FileWatch:
    """Notes when a file of the share appears, from a thread that looks every
    2 ms, so that the time is right even while the host is busy elsewhere."""

    def __init__(self, path):
        self.path = path
        self.at = None
        self._stop = False
        self._thread = threading.Thread(target=self._watch, daemon=True)
        self._thread.start()

    def _watch(self):
        while not self._stop:
            if os.path.exists(self.path):
                self.at = time.monotonic()
                return
            time.sleep(0.002)

    def wait(self, timeout):
        self._thread.join(timeout)
        self._stop = True
        return self.at


class CaseFailed(Exception):
    pass


def expect(condition, message):
    if not condition:
        raise CaseFailed(message)


def expect_equal(got, want, what):
    if got != want:
        raise CaseFailed(f"{what}:\n  expected {want!r}\n  got      {got!r}")


# --- the suite ---------------------------------------------------------------

class Suite:
    def __init__(self, build, work):
        self.build = build
        self.work = work
        self.cli = os.path.join(build, "tools/cli/quelmar-cli")
        self.sim = os.path.join(build, "tools/sim/quelmar-sim")
        self.probe = os.path.join(build, "tests/drivers/quelmar-monitor-probe")
        self.guest = None
        self.results = []  # (driver, case, passed, seen)
        self.measured = {}  # e.g. ("FTDI", "bank A") -> seconds
        self.boards = []

    # -- set-up --

    def make_images(self):
        """Raw bank and data contents (random, fixed seed) and the images
        quelmar-cli packs from them; the images are never changed after."""
        rng = random.Random(20261207)
        self.bank_a = bytes(rng.getrandbits(8) for _ in range(BANK_SIZE))
        self.bank_b = bytes(rng.getrandbits(8) for _ in range(300000))
        self.data = bytes(rng.getrandbits(8) for _ in range(64 * 1024))
        # A small bank A with erased bytes where the serial number goes.
        cut_code = bytearray(rng.getrandbits(8) for _ in range(4096))
        cut_code[CUT_FIELD:CUT_FIELD + 16] = b"\xff" * 16
        images = os.path.join(self.guest.share, "images")
        os.makedirs(images)
        raw = os.path.join(self.work, "raw")
        os.makedirs(raw, exist_ok=True)
        for name, content in (("a.bin", self.bank_a), ("b.bin", self.bank_b),
                              ("d.bin", self.data), ("cut.bin", bytes(cut_code))):
            with open(os.path.join(raw, name), "wb") as f:
                f.write(content)
        packs = [
            ["pack-code", "-o", f"{images}/two.fcode", "--encoding", "E",
             "--bank-a", f"{raw}/a.bin", "--bank-b", f"{raw}/b.bin"],
            ["pack-code", "-o", f"{images}/one.fcode", "--bank-a", f"{raw}/a.bin"],
            ["pack-data", "-o", f"{images}/d.fdata", f"{raw}/d.bin"],
            ["pack-code", "-o", f"{images}/cut.fcode", "--bank-a", f"{raw}/cut.bin"],
        ]
        for argv in packs:
            subprocess.run([self.cli, *argv], check=True, stdout=subprocess.DEVNULL)

    def bank_expected(self, content):
        return content + b"\xff" * (BANK_SIZE - len(content))

    def boot(self):
        self.kernel = machine.fetch_kernel(os.path.join(self.work, "kernel"))
        self.initramfs = os.path.join(self.work, "initramfs.cpio")
        machine.build_initramfs(
            self.initramfs, self.kernel, [self.cli, self.sim, self.probe],
            os.path.join(HERE, "guest_init.sh"),
            {"/usr/local/bin/background": os.path.join(HERE, "guest_bg.sh")})
        self.disk = self.make_disk()
        use_kvm = machine.kvm_usable() and os.environ.get("QUELMAR_DRIVERS_TCG", "") in ("", "0")
        self.start_guest(use_kvm, keep_share=False)
        # The FTDI adapter as it comes, before anything has opened it.
        self.latency_before = self.guest.check(
            "cat /sys/class/tty/ttyUSB0/device/latency_timer").strip()
        log(f"drivers: {self.kernel.version} booted in {self.guest.boot_seconds:.1f} s under "
            f"{self.accel}")

    def make_disk(self):
        """The guest's own disk: an empty ext4 file system in an image file,
        made afresh for each run of the suite."""
        path = os.path.join(self.work, "disk.img")
        with open(path, "wb") as f:
            f.truncate(DISK_SIZE)
        mkfs = shutil.which("mkfs.ext4") or "/sbin/mkfs.ext4"
        # Every inode table and the journal written now, so that the guest
        # writes nothing in the background of its own.
        subprocess.run([mkfs, "-q", "-F", "-E", "lazy_itable_init=0,lazy_journal_init=0",
                        path], check=True)
        return path

    def start_guest(self, use_kvm, keep_share):
        """Boots a guest with the disk; keep_share keeps what the host folder
        holds (a boot after a power cut)."""
        kernel, initramfs = self.kernel, self.initramfs
        console = os.path.join(self.work, "console.log")
        self.guest = None
        if use_kvm:
            # A /dev/kvm that opens is not always one that runs a stock kernel
            # (QEMU may refuse the CPU, or the guest may never start): then
            # plain emulation, said plainly.
            try:
                self.guest = machine.Guest(self.work, kernel, initramfs, True, console,
                                           self.disk, keep_share)
                if not self.guest.wait_ready(BOOT_LIMIT):
                    self.guest.kill()
                    self.guest = None
                    why = f"the kernel said nothing within {machine.Guest.KVM_FIRST_LINE} s"
            except SuiteError as e:
                self.guest = None
                why = f"{e}: {machine.last_lines(console, 2)}"
            if self.guest is None:
                log(f"drivers: KVM did not run the guest ({why}); plain emulation instead")
        if self.guest is None:
            # Plain emulation now and then stalls a boot for good (seen once
            # in some twenty boots, early in the kernel's start): boot again.
            for attempt in (1, 2):
                self.guest = machine.Guest(self.work, kernel, initramfs, False, console,
                                           self.disk, keep_share)
                try:
                    self.guest.wait_ready(BOOT_LIMIT)
                    break
                except SuiteError as e:
                    self.guest.kill()
                    if attempt == 2:
                        raise
                    log(f"drivers: the boot did not finish within {BOOT_LIMIT} s; "
                        "booting it again")
                    shutil.copyfile(console, console + ".first")
        self.accel = "KVM" if self.guest.use_kvm else "TCG"
        # Held open for the whole run: QEMU then never sees its pty's other
        # end go as simulators come and go, so it never has to find it again
        # (it looks once a second), and each board answers from its start.
        self.pty_keepers = [os.open(p, os.O_RDWR | os.O_NOCTTY)
                            for p in self.guest.ptys.values()]

    # -- helpers --

    def wait_for(self, name, text, timeout):
        """Waits until run/<name> in the share holds text; its content."""
        deadline = time.monotonic() + timeout
        path = os.path.join(self.guest.run_dir, name)
        while True:
            if os.path.exists(path):
                content = self.guest.read_share("run/" + name)
                if text in content:
                    return content
            if time.monotonic() > deadline:
                raise CaseFailed(f"no {text!r} in {name} within {timeout} s; it holds "
                                 f"{self.guest.read_share('run/' + name)!r}")
            time.sleep(0.01)

    def board(self, driver, name, args=()):
        b = Board(self, driver, name, args)
        self.boards.append(b)
        return b

    def cli_run(self, args, timeout=120):
        return self.guest.run("quelmar-cli " + args, timeout)

    def unplug(self, driver):
        if driver is FTDI:
            self.guest.qmp.command("device_del", id="ftdi0")
            self.guest.qmp.wait_event("DEVICE_DELETED")
        elif driver is ACM:
            self.guest.check(f"echo '' > {UDC}")
        else:
            raise ValueError(driver.name + " cannot be unplugged")

    def replug(self, driver):
        if driver is FTDI:
            self.guest.qmp.command("device_add", driver="usb-serial", id="ftdi0", bus="xhci.0",
                                   chardev="ftdi", **{"always-plugged": True})
        elif driver is ACM:
            self.guest.check(f"cat /etc/udc > {UDC}")

    def wait_node(self, driver, present, timeout=20):
        test = "-c" if present else "! -e"
        self.guest.check(f"i=0; while ! [ {test} {driver.device} ]; do i=$((i+1)); "
                         f"[ $i -gt {timeout * 20} ] && exit 1; sleep 0.05; done", timeout + 10)

    def restore(self):
        """Puts every adapter back after a case, whatever it left."""
        for b in self.boards:
            if b.status is None:
                try:
                    b.stop()
                except (SuiteError, CaseFailed):
                    b.kill()
        self.boards = []
        # Whatever a failed case left running in the guest.
        for name in os.listdir(self.guest.run_dir):
            if name.endswith(".pid") and not os.path.exists(
                    os.path.join(self.guest.run_dir, name[:-4] + ".rc")):
                self.guest.run(f"kill -KILL $(cat /share/run/{name})")
        _, out, _ = self.guest.run("ls /dev/ttyUSB0 /dev/ttyACM0")
        # A missing adapter is plugged in again; one that came back under
        # another name is first taken out.
        if "/dev/ttyUSB0" not in out:
            try:
                self.unplug(FTDI)
            except SuiteError:
                pass  # not plugged in
            self.replug(FTDI)
        if "/dev/ttyACM0" not in out:
            self.guest.run(f"echo '' > {UDC}")
            self.replug(ACM)
        self.wait_node(FTDI, True)
        self.wait_node(ACM, True)

    def case(self, driver, name, fn):
        label = f"{driver.name} ({driver.kernel_driver})" if driver else "all"
        if self.only and not any(o in f"{label} {name}" for o in self.only):
            return
        log(f"drivers: {label}: {name} ...")
        started = time.monotonic()
        try:
            seen = fn()
            passed = True
        except CaseFailed as e:
            seen = str(e)
            passed = False
        except SuiteError:
            raise
        except Exception:
            seen = traceback.format_exc()
            passed = False
        took = time.monotonic() - started
        self.results.append((label, name, passed, seen or "", took))
        log(f"drivers: {label}: {name}: {'PASS' if passed else 'FAIL'} ({took:.1f} s)"
            + ("" if passed else "\n" + seen))
        self.restore()

    # -- the cases --

    def case_ports(self):
        status, out, err = self.cli_run("ports")
        expect_equal(status, 0, "exit status")
        expect_equal(out, ports_listing(ALL_PORTS), "quelmar-cli ports")
        # The placeholders are there and left out for their type, not missing.
        types = self.guest.check("cat /sys/class/tty/ttyS2/type /sys/class/tty/ttyS3/type")
        expect_equal(types, "0\n0\n", "type of ttyS2 and ttyS3")
        return (f"COM1 ttyS0, COM2 ttyS1, COM17 ttyUSB0, COM49 ttyACM0; ttyS2/ttyS3 (type 0) "
                f"left out; fresh FTDI latency_timer {self.latency_before}")

    def case_identify(self, d):
        board = self.board(d, d.name + "-identify")
        started = time.monotonic()
        status, out, err = self.cli_run(f"identify {d.port}")
        took = time.monotonic() - started
        expect_equal(status, 0, "exit status")
        expect_equal(lines_of(out), opened(d.port), "log")
        expect_equal(board.stop(), 0, "simulator's exit status")
        return f"{took:.2f} s"

    def case_two_banks(self, d):
        """A two-bank code image and a reboot; the port is busy in the list
        while open, and an FTDI adapter is in low-latency mode."""
        board = self.board(d, d.name + "-code")
        run = f"code-{d.name}"
        watch = FileWatch(os.path.join(self.guest.run_dir, run + ".rc"))
        self.guest.background(run, ["quelmar-cli", "flash", d.port, "--code",
                                    "/share/images/two.fcode", "--reboot"])
        self.wait_for(run + ".out", "Write CODE... ", 120)
        t_a = time.monotonic()
        seen = []
        listed = self.cli_run("ports")
        # A second program is kept out, and told who holds the port.
        second = self.cli_run(f"identify {d.port}")
        holder = self.guest.read_share(f"run/{run}.pid").strip()
        if d is FTDI:
            latency = self.guest.check(
                "cat /sys/class/tty/ttyUSB0/device/latency_timer").strip()
            seen.append(f"latency_timer {self.latency_before} before any open, "
                        f"{latency} while open")
        self.wait_for(run + ".out", "Write CODE... OK.\n", 600)
        t_b = time.monotonic()
        self.wait_for(run + ".out", "Write extended CODE... OK.\n", 600)
        t_end = time.monotonic()
        expect(watch.wait(60) is not None, "quelmar-cli did not end after the reboot")
        out = self.guest.read_share(f"run/{run}.out")
        rc = int(self.guest.read_share(f"run/{run}.rc"))
        expect_equal(rc, 0, "exit status")
        expect_equal(lines_of(out), ["Loading CODE completed !", *opened(d.port),
                                     *code_lines(True), *REBOOT_LINES], "log")
        expect_equal(listed[:2], (0, ports_listing(ALL_PORTS, busy=[d.com])),
                     "quelmar-cli ports while the port is open")
        expect_equal(second[:2], (1, f"Failed opening {d.port}\n{d.port} ({d.device}) is in use "
                                     f"by another program (process {holder}).\n"),
                     "a second identify while the port is open")
        if d is FTDI:
            expect_equal(latency, "1", "latency_timer while open")
        expect_equal(board.stop(), 0, "simulator's exit status")
        expect(board.dump("a") == self.bank_expected(self.bank_a), "bank A differs from the image")
        expect(board.dump("b") == self.bank_expected(self.bank_b), "bank B differs from the image")
        self.measured[(d.name, "bank A")] = t_b - t_a
        self.measured[(d.name, "bank B")] = t_end - t_b
        seen.insert(0, f"bank A {t_b - t_a:.1f} s, bank B {t_end - t_b:.1f} s (2 x 2048 blocks)")
        seen.append("listed busy and kept from a second program while open")
        return "; ".join(seen)

    def case_unplug(self, d):
        """Unplugged half-way through bank A: one failure line, exit 1, at
        once; the flash holds exactly the blocks written; the port leaves
        the list."""
        # About 40 % into the bank, by this run's own measure of a bank. On
        # a loaded host the write may be seen late and the unplug land after
        # bank A: that says nothing of the program, so it is placed once
        # more, earlier.
        for attempt, share in enumerate((0.4, 0.1)):
            seen = self.unplug_once(d, share, attempt)
            if seen is not None:
                return seen
            log(f"drivers: {d.name}: the unplug came after bank A had been written "
                "(the host was slow to see the write start): placed again, earlier")
            self.restore()
        raise CaseFailed("the unplug came after bank A twice: the host is too slow to place it")

    def unplug_once(self, d, share, attempt):
        """One unplug; None when it came after bank A was written."""
        board = self.board(d, d.name + "-unplug" + ("" if attempt == 0 else str(attempt + 1)))
        run = f"unplug-{d.name}-{attempt}"
        self.guest.background(run, ["quelmar-cli", "flash", d.port, "--code",
                                    "/share/images/two.fcode"])
        self.wait_for(run + ".out", "Write CODE... ", 120)
        time.sleep(share * self.measured.get((d.name, "bank A"), 1.0))
        watch = FileWatch(os.path.join(self.guest.run_dir, run + ".rc"))
        t0 = time.monotonic()
        self.unplug(d)
        ended = watch.wait(HANG_AFTER_UNPLUG)
        expect(ended is not None,
               f"quelmar-cli still runs {HANG_AFTER_UNPLUG} s after the unplug (hung)")
        took = ended - t0
        out = self.guest.read_share(f"run/{run}.out")
        rc = int(self.guest.read_share(f"run/{run}.rc"))
        lines = lines_of(out)
        head = ["Loading CODE completed !", *opened(d.port), "Erase CODE... OK.", "Write CODE... "]
        if len(lines) >= len(head) and lines[len(head) - 1] == "Write CODE... OK.":
            return None  # restore() stops the board and plugs the adapter in again
        expect_equal(rc, 1, "exit status")
        expect_equal(lines[:len(head)], head, "log up to the write")
        tail = lines[len(head):]
        expect(len(tail) == 1 and FAILURE_LINE.match(tail[0]) is not None,
               f"exactly one failure line after 'Write CODE... ', got {tail!r}")
        self.wait_node(d, False)
        listed = self.cli_run("ports")
        expect_equal(listed[:2], (0, ports_listing([p for p in ALL_PORTS if p[0] != d.com])),
                     "quelmar-cli ports after the unplug")
        # An unplugged gadget hangs up the board's tty too: that board ends.
        board_status = board.wait(10) if d.in_guest else board.stop()
        expect_equal(board_status, 3 if d.in_guest else 0, "simulator's exit status")
        a = board.dump("a")
        written = 0
        while written < 2048 and a[written * BLOCK:(written + 1) * BLOCK] == \
                self.bank_a[written * BLOCK:(written + 1) * BLOCK]:
            written += 1
        expect(0 < written < 2048, f"the unplug came at block {written} of 2048, not mid-bank")
        expect(a[written * BLOCK:] == b"\xff" * (BANK_SIZE - written * BLOCK),
               f"bank A past the {written} blocks written is not erased")
        expect(board.dump("b") == b"\xff" * BANK_SIZE, "bank B was written")
        # The block named in the failure line is the last one sent: the board
        # has it or not, depending on whether the frame or its reply was lost.
        index = re.search(r"i = (\d+)", tail[0])
        if index:
            i = int(index.group(1))
            expect(written in (i, i + 1),
                   f"the failure names block {i}, but the board holds {written} blocks")
        self.measured[(d.name, "unplug")] = took
        return (f"ended {took * 1000:.0f} ms after the unplug with '{tail[0]}'; "
                f"{written} blocks written, the rest erased; {d.port} left the list")

    def case_replug(self, d):
        """The next board plugged in at once during flash --auto --count 2,
        as an operator swaps cables: it is written without a restart, on the
        same port (the kernel names it afresh only once the dead one is let
        go of)."""
        first = self.board(d, d.name + "-auto1")
        run = f"auto-{d.name}"
        watch = FileWatch(os.path.join(self.guest.run_dir, run + ".rc"))
        self.guest.background(run, ["quelmar-cli", "flash", d.port, "--auto", "--count", "2",
                                    "--code", "/share/images/one.fcode"])
        self.wait_for(run + ".out", f"{d.port}: board 1: OK\n", 300)
        waiting = f"{d.port}: waiting for a board..."
        t_unplug = time.monotonic()
        self.unplug(d)
        # The first board's simulator goes (an unplugged gadget hangs it up)
        # and the next one comes, plugged in at once.
        first_status = first.wait(10) if d.in_guest else first.stop()
        second = self.board(d, d.name + "-auto2")
        self.replug(d)
        t_plug = time.monotonic()
        other = d.device[:-1] + "1"
        name = self.guest.check(
            f"i=0; while [ $i -lt 400 ]; do for n in {d.device} {other}; do "
            f"[ -c $n ] && echo $n && exit 0; done; i=$((i+1)); sleep 0.05; done; exit 1", 40)
        expect_equal(name.strip(), d.device,
                     "the adapter plugged in again came back as (the old one still held open?)")
        expect(watch.wait(120) is not None,
               "quelmar-cli --auto did not write the second board: " +
               self.guest.check("ls /dev/ttyUSB* /dev/ttyACM* 2>&1; true").replace("\n", " "))
        out = self.guest.read_share(f"run/{run}.out")
        rc = int(self.guest.read_share(f"run/{run}.rc"))
        expect_equal(rc, 0, "exit status")
        board_lines = [f"{d.port}: {line}" for line in opened(d.port) + code_lines(False)]
        want = ["Loading CODE completed !", waiting, *board_lines,
                f"{d.port}: board 1: OK", waiting, *board_lines,
                f"{d.port}: board 2: OK", "Boards: 2 OK, 0 failed"]
        expect_equal(lines_of(out), want, "log")
        expect_equal(first_status, 3 if d.in_guest else 0, "first simulator's exit status")
        expect_equal(second.stop(), 0, "second simulator's exit status")
        for b in (first, second):
            expect(b.dump("a") == self.bank_expected(self.bank_a),
                   f"bank A of {b.name} differs from the image")
        return (f"re-plugged {(t_plug - t_unplug) * 1000:.0f} ms after the unplug, still "
                f"{d.device}; both boards hold the image")

    def case_swap(self, d):
        """A board swapped on a line that stays (an on-board UART cannot be
        unplugged): after its reboot the first board runs its application
        and answers nothing, which is its going; the next one is written."""
        first = self.board(d, d.name + "-swap1", ["--after-reboot", "silent"])
        run = f"swap-{d.name}"
        watch = FileWatch(os.path.join(self.guest.run_dir, run + ".rc"))
        self.guest.background(run, ["quelmar-cli", "flash", d.port, "--auto", "--count", "2",
                                    "--code", "/share/images/one.fcode", "--reboot"])
        self.wait_for(run + ".out", f"{d.port}: board 1: OK\n", 300)
        waiting = f"{d.port}: waiting for a board..."
        self.wait_for(run + ".out", f"{d.port}: board 1: OK\n{waiting}\n", HANG_AFTER_UNPLUG)
        expect_equal(first.stop(), 0, "first simulator's exit status")
        second = self.board(d, d.name + "-swap2")
        expect(watch.wait(120) is not None, "quelmar-cli --auto did not write the second board")
        out = self.guest.read_share(f"run/{run}.out")
        rc = int(self.guest.read_share(f"run/{run}.rc"))
        expect_equal(rc, 0, "exit status")
        board_lines = [f"{d.port}: {line}"
                       for line in opened(d.port) + code_lines(False) + ["Reboot... OK."]]
        want = ["Loading CODE completed !", waiting, *board_lines,
                f"{d.port}: board 1: OK", waiting, *board_lines,
                f"{d.port}: board 2: OK", "Boards: 2 OK, 0 failed"]
        expect_equal(lines_of(out), want, "log")
        expect_equal(second.stop(), 0, "second simulator's exit status")
        for b in (first, second):
            expect(b.dump("a") == self.bank_expected(self.bank_a),
                   f"bank A of {b.name} differs from the image")
        return "the silent board counted as gone, the next one written; both hold the image"

    def case_monitor(self, d):
        """The desktop program's port monitor meets a real unplug: the port
        is closed within one tick with "COM port closed." and leaves the
        drop-down."""
        board = self.board(d, d.name + "-monitor")
        run = f"monitor-{d.name}"
        self.guest.background(run, ["quelmar-monitor-probe", str(d.com), d.device, "30"])
        self.wait_for(run + ".out", "\nopen\n", 60)
        time.sleep(1.2)  # a few ticks with the board there
        self.unplug(d)
        self.wait_for(run + ".rc", "\n", 30)
        out = self.guest.read_share(f"run/{run}.out")
        rc = int(self.guest.read_share(f"run/{run}.rc"))
        expect_equal(rc, 0, f"probe's exit status; it said:\n{out}")
        lines = lines_of(out)
        logged = [line[len("log0: "):] for line in lines if line.startswith("log")]
        expect_equal(logged, [*opened(d.port), "COM port closed."], "the window's log")
        expect(not any(line.startswith("log1") for line in lines), "an error line was logged")
        everything = "|".join(["----"] + [f"COM {n}" for n, _ in ALL_PORTS])
        expect_equal(lines[0], "entries: " + everything, "drop-down before")
        closing = re.search(r"^monitor closes at tick (\d+)$", out, re.M)
        gone = re.search(r"^node gone after tick (\d+)$", out, re.M)
        result = re.search(r"^result: node-gone-to-closed (-?\d+) ms", out, re.M)
        expect(closing and gone and result, "the probe's account is incomplete:\n" + out)
        closing, gone = int(closing.group(1)), int(gone.group(1))
        expect(closing <= gone + 1,
               f"closed at tick {closing}, but the node was gone after tick {gone}")
        last = [line for line in lines if line.startswith("tick ")][-1]
        remaining = "|".join(["----"] + [f"COM {n}" for n, _ in ALL_PORTS if n != d.com])
        expect_equal(last.split(" entries: ")[1], remaining, "drop-down after")
        expect_equal(board.wait(10) if d.in_guest else board.stop(), 3 if d.in_guest else 0,
                     "simulator's exit status")
        return (f"closed at tick {closing}, the node went after tick {gone}: "
                f"'COM port closed.' {result.group(1)} ms after it; COM {d.com} left the drop-down")

    def case_several(self):
        """One board per driver at once: code (bank A), data flash, reboot."""
        boards = {d: self.board(d, d.name + "-several", ["--erase-ms", "25500"])
                  for d in DRIVERS}
        ports = [d.port for d in DRIVERS]
        started = time.monotonic()
        status, out, err = self.cli_run(
            "flash " + " ".join(ports) +
            " --code /share/images/one.fcode --data /share/images/d.fdata --reboot", 600)
        took = time.monotonic() - started
        expect_equal(status, 0, f"exit status ({err})")
        lines = lines_of(out)
        expect_equal(lines[:2], ["Loading CODE completed !", "Loading FLASH completed !"],
                     "the loaders' lines")
        expect_equal(lines[-3:], [f"{p}: OK" for p in ports], "the summary")
        for d in DRIVERS:
            mine = [line[len(d.port) + 2:] for line in lines[2:-3]
                    if line.startswith(d.port + ": ")]
            expect_equal(mine, [*opened(d.port), *code_lines(False), *DATA_LINES,
                                *REBOOT_LINES], f"{d.name}'s lines")
        strays = [line for line in lines[2:-3] if not any(line.startswith(p + ": ")
                                                          for p in ports)]
        expect_equal(strays, [], "lines without a board's label")
        for d, b in boards.items():
            expect_equal(b.stop(), 0, f"{d.name} simulator's exit status")
            expect(b.dump("a") == self.bank_expected(self.bank_a), f"{d.name} bank A differs")
            expect(b.dump("data") == self.data, f"{d.name} data flash differs")
        return f"{took:.1f} s for the three (erase 25.5 s each, at once)"

    def case_power_cut(self, d):
        """The power cut: quelmar-cli writes board after board with --auto,
        a serial number reserved in a state file and a record appended for
        each, both on the guest's own disk; the machine is killed at a
        random moment (within the first board or just after it; the first
        cut within the second, after one was acknowledged) and booted
        again, CUTS times, and a last run ends normally. No value may reach
        two boards, and every record acknowledged on stdout before a cut
        must be in the records file after it."""
        seed = random.randrange(1 << 30)
        rng = random.Random(seed)
        boards = []  # every board plugged in, in turn
        acknowledged = []  # records printed on stdout, before any cut
        seen = []
        self.guest.check(MOUNT_DISK)
        board_time = 10.0  # a first guess, then the boards' own time
        for cut in range(1, CUTS + 1):
            run = f"cut{cut}"
            self.guest.background(run, self.cut_run_argv(d))
            # The first cut comes in the second board, after one was
            # acknowledged; the others anywhere from the first board's start
            # to a while after its end.
            at_board = 2 if cut == 1 else 1
            fraction = rng.uniform(0.0, 1.3)
            started = {}  # board number -> when its board_start was seen
            timed = set()
            cut_at = None
            deadline = time.monotonic() + 180
            current = None
            while cut_at is None or time.monotonic() < cut_at:
                if time.monotonic() > deadline:
                    said = [json.dumps(e) for e in self.json_lines(run)
                            if e.get("type") != "progress"][-3:]
                    raise CaseFailed(f"cut {cut}: board {at_board} never started; quelmar-cli "
                                     "said:\n" + "\n".join(said) +
                                     self.guest.read_share(f"run/{run}.err"))
                ended = self.guest.read_share(f"run/{run}.rc").strip()
                if ended:
                    raise CaseFailed(f"cut {cut}: quelmar-cli ended ({ended}) before the cut: " +
                                     self.guest.read_share(f"run/{run}.err").strip())
                current = self.next_board(d, current, f"cut{cut}", boards)
                for event in self.json_lines(run):
                    n = event.get("board")
                    if event.get("type") == "board_start" and n not in started:
                        started[n] = time.monotonic()
                    if event.get("type") == "record" and n in started and n not in timed:
                        timed.add(n)
                        board_time = time.monotonic() - started[n]
                if cut_at is None and at_board in started:
                    cut_at = started[at_board] + fraction * board_time
                time.sleep(0.01)
            self.guest.cut_power()
            for fd in self.pty_keepers:
                os.close(fd)
            # The board on the line hangs up with the machine.
            status = current.wait(10)
            expect(status == 3, f"cut {cut}: the board on the line ended with {status}")
            acknowledged += [e for e in self.json_lines(run) if e.get("type") == "record"]
            shutil.copyfile(self.guest.console_log.name,
                            os.path.join(self.work, f"console-cut{cut}.log"))
            self.start_guest(self.guest.use_kvm, keep_share=True)
            self.guest.check(MOUNT_DISK)
            kept = self.guest.check("cat /disk/records.jsonl")
            records = self.records_of(kept)
            for rec in acknowledged:
                expect(any(r.get("time_start") == rec["time_start"] and
                           r.get("fields") == rec["fields"] for r in records),
                       f"cut {cut}: the record of a board with serial number "
                       f"{rec['fields'].get('serial')}, acknowledged before the cut, is "
                       f"missing after it (seed {seed}); the records file holds:\n{kept}")
            seen.append(f"cut {cut} at {fraction:.2f} of board {at_board}")
        # One run to its end after the last cut: its board gets a value
        # beyond every value given before.
        run = "after-cuts"
        self.guest.background(run, self.cut_run_argv(d) + ["--count", "1"])
        deadline = time.monotonic() + 120
        current = None
        while not os.path.exists(os.path.join(self.guest.run_dir, run + ".rc")):
            if time.monotonic() > deadline:
                raise CaseFailed("the run after the last cut did not end: " +
                                 self.guest.read_share(f"run/{run}.err"))
            current = self.next_board(d, current, "after", boards)
            time.sleep(0.01)
        rc = int(self.guest.read_share(f"run/{run}.rc"))
        expect_equal(rc, 0, "exit status of the run after the cuts (" +
                     self.guest.read_share(f"run/{run}.err").strip() + ")")
        if current.status is None:
            current.stop()
        given = {}
        for b in boards:
            a = b.dump("a")
            value = struct.unpack_from("<I", a, CUT_FIELD)[0] if len(a) >= CUT_FIELD + 4 \
                else 0xFFFFFFFF
            if value == 0xFFFFFFFF:
                continue  # the cut came before its serial number did
            expect(value not in given, f"serial number {value} went to two boards: "
                   f"{given.get(value)} and {b.name} (seed {seed})")
            given[value] = b.name
        last = [v for v, name in given.items() if name.startswith("after-")]
        earlier = [v for v, name in given.items() if not name.startswith("after-")]
        expect(len(last) == 1 and earlier and last[0] > max(earlier),
               f"after the cuts the board got {last}, the ones before {sorted(earlier)}")
        return (f"{'; '.join(seen)}: {len(given)} serial numbers to {len(boards)} boards, "
                f"none twice, then {last[0]}; every record acknowledged before a cut kept "
                f"({len(acknowledged)}); seed {seed}")

    def cut_run_argv(self, d):
        return ["quelmar-cli", "flash", d.port, "--auto", "--reboot",
                "--code", "/share/images/cut.fcode", "--serial-at", hex(0x1A000000 + CUT_FIELD),
                "--serial-start", "1000",
                "--serial-state", "/disk/serial.state", "--records", "/disk/records.jsonl",
                "--json"]

    def next_board(self, d, current, prefix, boards):
        """The board on the line: once the one there has hung up after its
        reboot, the next one is plugged in, a few seconds later as by hand
        (on a line that stays, a board is gone only once it stays silent)."""
        if current is not None:
            if current.status is None:
                if current.proc.poll() is None:
                    return current
                current.wait(5)
                current.gone_at = time.monotonic()
            if time.monotonic() < current.gone_at + SWAP_SECONDS:
                return current
        board = self.board(d, f"{prefix}-{len(boards) + 1}", CUT_BOARD)
        boards.append(board)
        return board

    def json_lines(self, run):
        """The --json objects a run has printed so far (a line still being
        written is left for the next look)."""
        text = self.guest.read_share(f"run/{run}.out")
        events = []
        for line in text.split("\n")[:-1]:
            try:
                events.append(json.loads(line))
            except ValueError:
                pass
        return events

    @staticmethod
    def records_of(text):
        """The records a records file holds; a torn line (a cut mid-append)
        is skipped, as every reader does."""
        records = []
        for line in text.splitlines():
            try:
                records.append(json.loads(line))
            except ValueError:
                pass
        return records

    # -- running --

    def run(self, only):
        self.only = only
        self.case(None, "ports listed", self.case_ports)
        for d in DRIVERS:
            self.case(d, "two-bank code, reboot", lambda d=d: self.case_two_banks(d))
            self.case(d, "identify", lambda d=d: self.case_identify(d))
        for d in (d for d in DRIVERS if d.pluggable):
            self.case(d, "unplug mid bank A", lambda d=d: self.case_unplug(d))
            self.case(d, "re-plug during --auto", lambda d=d: self.case_replug(d))
            self.case(d, "port monitor unplug", lambda d=d: self.case_monitor(d))
        self.case(UART, "board swapped during --auto", lambda: self.case_swap(UART))
        self.case(None, "three boards at once: code, data, reboot", self.case_several)
        # Last: it boots the machine again after each cut.
        self.case(FTDI, "power cut during --auto", lambda: self.case_power_cut(FTDI))

    def table(self, total):
        width = max(len(name) for _, name, _, _, _ in self.results)
        print()
        print(f"{'driver':18s} {'case':{width}s} {'result':6s} {'time':>6s}  seen")
        for label, name, passed, seen, took in self.results:
            first = seen.splitlines()[0] if seen else ""
            print(f"{label:18s} {name:{width}s} {'PASS' if passed else 'FAIL':6s} "
                  f"{took:5.1f}s  {first}")
        failed = sum(1 for r in self.results if not r[2])
        print()
        print(f"boot {self.guest.boot_seconds:.1f} s, suite {total:.0f} s, under {self.accel}")
        print(f"drivers: {len(self.results) - failed} passed, {failed} failed")
        return failed


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--build", required=True)
    parser.add_argument("--work", required=True)
    parser.add_argument("--only", action="append", default=[],
                        help="run only the cases whose 'driver name' holds this text")
    parser.add_argument("--limit", type=int, default=780,
                        help="seconds after which a hung suite is killed (default 780)")
    args = parser.parse_args()
    os.makedirs(args.work, exist_ok=True)
    suite = Suite(os.path.abspath(args.build), os.path.abspath(args.work))
    started = time.monotonic()

    def end_now(why):
        log(f"drivers: {why}; killing the guest")
        if suite.guest is not None:
            suite.guest.kill()
        for b in suite.boards:
            b.kill()
        os._exit(2)

    watchdog = threading.Timer(args.limit, end_now,
                               [f"the suite still runs after {args.limit} s: hung"])
    watchdog.daemon = True
    watchdog.start()
    signal.signal(signal.SIGTERM, lambda *_: end_now("stopped (SIGTERM)"))
    try:
        suite.boot()
        suite.make_images()
        suite.run(args.only)
    except SuiteError as e:
        log(f"drivers: {e}")
        log(f"drivers: the console's log is {os.path.join(args.work, 'console.log')}")
        for b in suite.boards:
            b.kill()
        if suite.guest is not None:
            suite.guest.kill()
        if suite.results:
            suite.table(time.monotonic() - started)
        return 2
    # The guest kernel's own log, for whoever looks into a failure; a kernel
    # warning is worth a line even when every case passed.
    suite.guest.run("dmesg > /share/dmesg.txt")
    suite.guest.stop()
    dmesg = suite.guest.read_share("dmesg.txt")
    for line in dmesg.splitlines():
        if re.search(r"WARNING:|BUG:|Oops|Call Trace|hung_task|blocked for more than", line):
            log("drivers: the guest kernel said: " + line)
    failed = suite.table(time.monotonic() - started)
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
