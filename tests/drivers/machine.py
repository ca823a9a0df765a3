"""The driver suite's throw-away machine: Debian's kernel, an initramfs with
busybox, the kernel's USB and serial modules and our programs, booted with
QEMU; its console takes commands and answers, QMP plugs and unplugs."""

import glob
import json
import os
import queue
import re
import shutil
import socket
import subprocess
import tempfile
import threading
import time

# Modules the guest loads; their dependencies come from modules.dep.
MODULES = [
    "usbcore", "xhci_pci", "usbserial", "ftdi_sio", "cdc_acm",
    "configfs", "libcomposite", "usb_f_acm", "dummy_hcd",
    "virtio_pci", "9pnet_virtio", "9p",
    # The guest's own disk for the power cut: ext4 checks its metadata with
    # crc32c, which it asks the crypto layer for by name.
    "virtio_blk", "crc32c_generic", "ext4",
]


class SuiteError(Exception):
    """A failure of the machinery (not of a case): the suite stops."""


def log(message):
    print(message, flush=True)


def run(argv, **kwargs):
    return subprocess.run(argv, check=True, **kwargs)


# --- the kernel -------------------------------------------------------------

def _module_name(path):
    return os.path.basename(path)[:-len(".ko")].replace("-", "_")


def load_order(modules_dep, wanted):
    """The modules to insmod, dependencies first, each once, as paths
    below the modules folder, from the text of modules.dep."""
    deps = {}
    by_name = {}
    for line in modules_dep.splitlines():
        if ":" not in line:
            continue
        path, rest = line.split(":", 1)
        path = path.strip()
        deps[path] = rest.split()
        by_name[_module_name(path)] = path
    order = []

    def visit(path, trail):
        if path in order:
            return
        if path in trail:
            raise SuiteError("modules.dep has a cycle at " + path)
        for dep in deps.get(path, []):
            visit(dep, trail + [path])
        order.append(path)

    for name in wanted:
        key = name.replace("-", "_")
        if key not in by_name:
            raise SuiteError("the kernel has no module " + name)
        visit(by_name[key], [])
    return order


class Kernel:
    def __init__(self, version, vmlinuz, modules_dir, load):
        self.version = version
        self.vmlinuz = vmlinuz
        self.modules_dir = modules_dir  # .../lib/modules/<version>
        self.load = load  # insmod order, paths below modules_dir


def _image_package():
    """The kernel package linux-image-amd64 stands for."""
    with tempfile.TemporaryDirectory() as meta:
        os.chmod(meta, 0o755)
        run(["apt-get", "download", "-q", "linux-image-amd64"], cwd=meta,
            stdout=subprocess.DEVNULL)
        deb = glob.glob(os.path.join(meta, "*.deb"))[0]
        depends = subprocess.check_output(["dpkg-deb", "-f", deb, "Depends"], text=True)
    match = re.match(r"\s*(linux-image-[^\s,(]+)", depends)
    if not match:
        raise SuiteError("linux-image-amd64 depends on no kernel: " + depends)
    return match.group(1)


def fetch_kernel(cache):
    """Debian's kernel and the modules the guest needs, from the cache when
    it has them, else fetched with apt-get download."""
    os.makedirs(cache, exist_ok=True)
    os.chmod(cache, 0o755)  # apt's download user must be able to write here
    debs = sorted(d for d in glob.glob(os.path.join(cache, "linux-image-*.deb"))
                  if "linux-image-amd64_" not in d)
    if not debs:
        package = _image_package()
        log(f"drivers: fetching {package} with apt-get download")
        run(["apt-get", "download", "-q", package], cwd=cache, stdout=subprocess.DEVNULL)
        debs = sorted(glob.glob(os.path.join(cache, package + "_*.deb")))
        if not debs:
            raise SuiteError("apt-get download left no " + package + " package")
    deb = debs[-1]
    tree = os.path.join(cache, "tree")
    stamp_path = os.path.join(tree, "stamp")
    stamp = os.path.basename(deb) + "\n" + " ".join(MODULES) + "\n"
    if not (os.path.exists(stamp_path) and open(stamp_path).read() == stamp):
        log(f"drivers: unpacking {os.path.basename(deb)}")
        shutil.rmtree(tree, ignore_errors=True)
        with tempfile.TemporaryDirectory(dir=cache) as unpacked:
            run(["dpkg-deb", "-x", deb, unpacked])
            versions = os.listdir(os.path.join(unpacked, "lib/modules"))
            if len(versions) != 1:
                raise SuiteError("the kernel package holds modules of " + str(versions))
            version = versions[0]
            # The package leaves modules.dep to its postinst: make it here.
            run(["depmod", "-b", unpacked, version])
            src = os.path.join(unpacked, "lib/modules", version)
            dep_text = open(os.path.join(src, "modules.dep")).read()
            order = load_order(dep_text, MODULES)
            dst = os.path.join(tree, "lib/modules", version)
            for path in order:
                os.makedirs(os.path.dirname(os.path.join(dst, path)), exist_ok=True)
                shutil.copy2(os.path.join(src, path), os.path.join(dst, path))
            shutil.copy2(os.path.join(src, "modules.dep"), dst)
            shutil.copy2(os.path.join(unpacked, "boot", "vmlinuz-" + version),
                         os.path.join(tree, "vmlinuz"))
            with open(os.path.join(tree, "version"), "w") as f:
                f.write(version + "\n")
        with open(stamp_path, "w") as f:
            f.write(stamp)
    version = open(os.path.join(tree, "version")).read().strip()
    modules_dir = os.path.join(tree, "lib/modules", version)
    order = load_order(open(os.path.join(modules_dir, "modules.dep")).read(), MODULES)
    return Kernel(version, os.path.join(tree, "vmlinuz"), modules_dir, order)


# --- the initramfs ----------------------------------------------------------

def shared_libraries(program):
    """The libraries ldd names for a program, and its interpreter."""
    out = subprocess.check_output(["ldd", program], text=True)
    libs = []
    for line in out.splitlines():
        line = line.strip()
        match = re.match(r"\S+ => (/\S+) \(", line) or re.match(r"(/\S+) \(", line)
        if match:
            libs.append(match.group(1))
    return libs


def build_initramfs(out_path, kernel, programs, init_script, scripts=None,
                    busybox="/bin/busybox"):
    """Writes a newc cpio archive: busybox, /init, the modules in load order,
    the programs with their libraries at the paths ldd names, and scripts
    ({guest path: host file})."""
    with tempfile.TemporaryDirectory() as root:
        def put(src, dst, mode=None):
            target = os.path.join(root, dst.lstrip("/"))
            os.makedirs(os.path.dirname(target), exist_ok=True)
            shutil.copyfile(src, target)
            os.chmod(target, mode if mode is not None else os.stat(src).st_mode & 0o777)

        put(busybox, "/bin/busybox", 0o755)
        put(init_script, "/init", 0o755)
        for path in kernel.load:
            put(os.path.join(kernel.modules_dir, path),
                f"/lib/modules/{kernel.version}/{path}", 0o644)
        os.makedirs(os.path.join(root, "etc"), exist_ok=True)
        with open(os.path.join(root, "etc/modules.load"), "w") as f:
            for path in kernel.load:
                f.write(f"{kernel.version}/{path}\n")
        libs = set()
        for program in programs:
            put(program, "/usr/local/bin/" + os.path.basename(program), 0o755)
            libs.update(shared_libraries(program))
        for lib in sorted(libs):
            put(os.path.realpath(lib), lib, 0o755)
        for dst, src in (scripts or {}).items():
            put(src, dst, 0o755)
        files = subprocess.check_output(["find", ".", "-mindepth", "1"], cwd=root)
        with open(out_path, "wb") as out:
            subprocess.run(["cpio", "--quiet", "-o", "-H", "newc", "-R", "0:0"], cwd=root,
                           input=files, stdout=out, check=True)


# --- QMP ------------------------------------------------------------------

class Qmp:
    """QEMU's machine protocol on a unix socket: one command at a time."""

    def __init__(self, path, alive, timeout=30):
        deadline = time.monotonic() + timeout
        while True:
            try:
                self.sock = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
                self.sock.connect(path)
                break
            except OSError:
                self.sock.close()
                if not alive():
                    raise SuiteError("QEMU ended at once (see the console log)")
                if time.monotonic() > deadline:
                    raise SuiteError("QEMU's QMP socket did not open")
                time.sleep(0.05)
        self.sock.settimeout(timeout)
        self.file = self.sock.makefile("rwb")
        self.events = []
        self._read()  # the greeting
        self.command("qmp_capabilities")

    def _read(self):
        try:
            line = self.file.readline()
        except socket.timeout:
            raise
        except OSError as e:
            raise SuiteError(f"QEMU closed its QMP socket ({e})")
        if not line:
            raise SuiteError("QEMU closed its QMP socket")
        return json.loads(line)

    def command(self, name, **arguments):
        message = {"execute": name}
        if arguments:
            message["arguments"] = arguments
        try:
            self.file.write(json.dumps(message).encode() + b"\n")
            self.file.flush()
        except OSError as e:
            raise SuiteError(f"QEMU closed its QMP socket ({e})")
        while True:
            reply = self._read()
            if "event" in reply:
                self.events.append(reply)
                continue
            if "error" in reply:
                raise SuiteError(f"QMP {name}: {reply['error'].get('desc')}")
            return reply.get("return")

    def wait_event(self, name, timeout=10):
        deadline = time.monotonic() + timeout
        while True:
            for i, event in enumerate(self.events):
                if event["event"] == name:
                    return self.events.pop(i)
            left = deadline - time.monotonic()
            if left <= 0:
                raise SuiteError(f"QMP: no {name} event within {timeout} s")
            self.sock.settimeout(left)
            try:
                reply = self._read()
            except socket.timeout:
                continue
            finally:
                self.sock.settimeout(30)
            if "event" in reply:
                self.events.append(reply)

    def close(self):
        try:
            self.file.close()
            self.sock.close()
        except OSError:
            pass


# --- the guest --------------------------------------------------------------

def last_lines(path, n):
    try:
        with open(path, errors="replace") as f:
            return " / ".join(line.strip() for line in f.read().splitlines()[-n:])
    except OSError:
        return ""


def kvm_usable():
    try:
        fd = os.open("/dev/kvm", os.O_RDWR)
    except OSError:
        return False
    os.close(fd)
    return True


class Guest:
    """One booted guest. Commands go in on its console; their output lands
    in the share, a host folder the guest mounts at /share."""

    # How long the kernel may take to say its first line before KVM is taken
    # not to run it (a KVM that cannot start a stock kernel stays silent).
    KVM_FIRST_LINE = 15

    def __init__(self, work, kernel, initramfs, use_kvm, log_path, disk=None, keep_share=False):
        self.work = work
        self.share = os.path.join(work, "share")
        self.run_dir = os.path.join(self.share, "run")
        if not keep_share:
            shutil.rmtree(self.share, ignore_errors=True)
        os.makedirs(self.run_dir, exist_ok=True)
        self.qmp_path = os.path.join(work, "qmp.sock")
        if os.path.exists(self.qmp_path):
            os.unlink(self.qmp_path)
        self.use_kvm = use_kvm
        self.console_log = open(log_path, "w")
        self.lines = queue.Queue()
        self.kernel_started = threading.Event()
        self.done = {}
        self.next_id = 0
        accel = ["-accel", "kvm", "-cpu", "host"] if use_kvm else ["-accel", "tcg"]
        argv = [
            "qemu-system-x86_64", "-nodefaults", "-no-user-config", "-no-reboot",
            "-display", "none", "-monitor", "none", *accel, "-smp", "2", "-m", "512M",
            "-kernel", kernel.vmlinuz, "-initrd", initramfs,
            "-append", "console=ttyS0 panic=-1",
            "-serial", "stdio",
            "-qmp", f"unix:{self.qmp_path},server=on,wait=off",
            # FTDI: an xHCI controller and QEMU's FTDI adapter on a pty. It stays
            # attached whatever the pty's other end does; device_del and
            # device_add are the unplug and the re-plug.
            "-device", "qemu-xhci,id=xhci",
            "-chardev", "pty,id=ftdi",
            "-device", "usb-serial,id=ftdi0,bus=xhci.0,chardev=ftdi,always-plugged=on",
            # UART: a second 16550 (ttyS1) on a pty. It turns the default
            # serial port off, hence -serial stdio for the console (ttyS0).
            "-chardev", "pty,id=uart",
            "-device", "isa-serial,index=1,chardev=uart",
            "-fsdev", f"local,id=share,path={self.share},security_model=none",
            "-device", "virtio-9p-pci,fsdev=share,mount_tag=share",
        ]
        if disk:
            # The guest's own disk (/dev/vda), written through: a write the
            # guest was told is done is in the image file, so killing QEMU
            # loses exactly what a power cut loses, the guest's memory.
            argv += ["-drive", f"file={disk},if=none,id=disk,format=raw,cache=directsync",
                     "-device", "virtio-blk-pci,drive=disk"]
        self.started = time.monotonic()
        self.proc = subprocess.Popen(argv, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                     stderr=self.console_log)
        self.reader = threading.Thread(target=self._read_console, daemon=True)
        self.reader.start()
        try:
            self.qmp = Qmp(self.qmp_path, alive=lambda: self.proc.poll() is None)
        except SuiteError:
            self.kill()
            raise
        self.ptys = {}
        for chardev in self.qmp.command("query-chardev"):
            if chardev["filename"].startswith("pty:"):
                self.ptys[chardev["label"]] = chardev["filename"][len("pty:"):]
        self.boot_seconds = None

    def _read_console(self):
        for raw in self.proc.stdout:
            text = raw.decode("utf-8", "replace")
            self.console_log.write(text)
            self.console_log.flush()
            line = text.strip("\r\n")
            if "Linux version" in line:
                self.kernel_started.set()
            if line.startswith("@@"):
                self.lines.put(line)
        self.lines.put(None)

    def _next_marker(self, timeout, waiting_for):
        try:
            line = self.lines.get(timeout=max(0.05, timeout))
        except queue.Empty:
            raise SuiteError(f"the guest hung: no answer to {waiting_for} in time; killed")
        if line is None:
            raise SuiteError(f"the guest ended while waiting for {waiting_for}")
        if line.startswith("@@FAIL"):
            raise SuiteError("the guest failed to start: " + line[len("@@FAIL "):])
        return line

    def wait_ready(self, timeout):
        """Waits for the command loop; False when KVM never started the
        kernel (the caller boots again under plain emulation)."""
        if self.use_kvm and not self.kernel_started.wait(self.KVM_FIRST_LINE):
            return False
        deadline = self.started + timeout
        while True:
            line = self._next_marker(deadline - time.monotonic(), "the boot")
            if line.startswith("@@READY"):
                self.boot_seconds = time.monotonic() - self.started
                return True

    def _send(self, cid, command):
        self.proc.stdin.write(f"@ {cid} {len(command)} {command}\n".encode())
        self.proc.stdin.flush()

    def run(self, command, timeout=60):
        """Runs a shell command in the guest: (exit status, stdout, stderr)."""
        if "\n" in command or not command.isascii():
            raise ValueError("one line of ASCII per command")
        self.next_id += 1
        cid = f"c{self.next_id}"
        got = False
        for _ in range(4):
            self._send(cid, command)
            deadline = time.monotonic() + 20
            while not got:
                try:
                    line = self._next_marker(deadline - time.monotonic(), f"'{command}'")
                except SuiteError:
                    if self.proc.poll() is not None:
                        raise
                    break  # never arrived whole: send it again
                if line == "@@AGAIN":
                    break
                got = line == f"@@GOT {cid}"
                self._note_done(line)
            if got:
                break
        if not got:
            raise SuiteError(f"the guest did not take '{command}'")
        deadline = time.monotonic() + timeout
        while cid not in self.done:
            self._note_done(self._next_marker(deadline - time.monotonic(), f"'{command}'"))
        status = self.done.pop(cid)
        return status, self.read_share(f"run/{cid}.out"), self.read_share(f"run/{cid}.err")

    def _note_done(self, line):
        match = re.match(r"@@DONE (\S+) (\d+)$", line)
        if match:
            self.done[match.group(1)] = int(match.group(2))

    def check(self, command, timeout=60):
        status, out, err = self.run(command, timeout)
        if status != 0:
            raise SuiteError(f"guest command '{command}' failed ({status}): {out}{err}")
        return out

    def background(self, name, argv):
        """Starts argv in the guest and returns; run/<name>.out, .err, .pid,
        and .rc once it has ended, appear in the share."""
        for suffix in (".out", ".err", ".pid", ".rc"):
            path = os.path.join(self.run_dir, name + suffix)
            if os.path.exists(path):
                os.unlink(path)
        self.check("background " + " ".join([name, *argv]))

    def read_share(self, name):
        try:
            with open(os.path.join(self.share, name), "rb") as f:
                return f.read().decode("utf-8", "replace")
        except FileNotFoundError:
            return ""

    def stop(self):
        if self.proc.poll() is None:
            try:
                self.qmp.command("quit")
            except (SuiteError, OSError):
                pass
            try:
                self.proc.wait(timeout=10)
            except subprocess.TimeoutExpired:
                self.kill()
        self.qmp.close()
        self.console_log.close()

    def kill(self):
        if self.proc.poll() is None:
            self.proc.kill()
            self.proc.wait()

    def cut_power(self):
        """The power cut: QEMU killed at once; what the guest held in memory
        is gone, what its disk was told is written stays."""
        self.kill()
        self.reader.join(10)
        self.qmp.close()
        self.console_log.close()
