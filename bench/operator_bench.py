#!/usr/bin/python3
"""The operator's station's figures (not a test: nothing asserts a time).

  operator_bench.py CLI SIM [--rounds N] [--label]
    1. scan to first byte: a station with scan = "required" and one board
       waiting for its scan; a pseudo-terminal between the station and the
       simulator stamps the bytes the station sends. Over N rounds (default
       15) prints the median and the worst time from the scan written on
       the station's stdin to its first byte on the wire, and to its first
       chip-info request (the board's own identification).
    2. eight paced slots (bank A of 64 KiB with a serial number each) with
       scans typed for each slot, retries off, against the same without
       scans; with --label each OK board's label also goes to a loopback
       listener. Prints both times and their ratio.
"""
import json
import os
import select
import shutil
import socket
import statistics
import subprocess
import sys
import tempfile
import threading
import time
import tty
import urllib.request

CLI, SIM = (os.path.abspath(a) for a in sys.argv[1:3])
ARGS = sys.argv[3:]
ROUNDS = int(ARGS[ARGS.index("--rounds") + 1]) if "--rounds" in ARGS else 15
LABEL = "--label" in ARGS
TOKEN = "bench-token-0123456789"
COMS = list(range(61, 69))
CHIP_INFO = 0x0A


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def wait_until(what, condition, limit=60.0, period=0.01):
    end = time.monotonic() + limit
    while time.monotonic() < end:
        value = condition()
        if value:
            return value
        time.sleep(period)
    raise SystemExit("gave up waiting for " + what)


def alive(process):
    if process.poll() is not None:
        raise SystemExit("the station ended (exit %d)" % process.returncode)
    return True


def state(base):
    try:
        with urllib.request.urlopen(base + "/api/state", timeout=5) as r:
            return json.load(r)
    except OSError:
        return None


def stop(base):
    request = urllib.request.Request(base + "/api/stop", method="POST", data=b"",
                                     headers={"X-Quelmar-Token": TOKEN})
    try:
        urllib.request.urlopen(request, timeout=5).read()
    except OSError:
        pass


class Tap(threading.Thread):
    """A pseudo-terminal for the station whose bytes go on to the
    simulator's, each chunk the station sends stamped with its time."""

    def __init__(self, device):
        super().__init__(daemon=True)
        self.master, slave = os.openpty()
        tty.setraw(slave)
        self.path = os.ttyname(slave)
        self.slave = slave  # kept open: the pty lives while the tap does
        self.board = os.open(device, os.O_RDWR | os.O_NOCTTY)
        tty.setraw(self.board)
        self.sent = []  # (time, bytes) from the station
        self.running = True

    def run(self):
        while self.running:
            ready, _, _ = select.select([self.master, self.board], [], [], 0.05)
            for fd in ready:
                try:
                    data = os.read(fd, 4096)
                except OSError:
                    data = b""
                if not data:
                    continue
                if fd == self.master:
                    self.sent.append((time.monotonic(), data))
                    os.write(self.board, data)
                else:
                    os.write(self.master, data)

    def first_after(self, t, command=None):
        for at, data in self.sent:
            if at < t:
                continue
            if command is None:
                return at
            # A request: 0x55, length, command, checksum.
            for k in range(len(data) - 2):
                if data[k] == 0x55 and data[k + 2] == command:
                    return at
        return None

    def close(self):
        self.running = False
        self.join(2)
        for fd in (self.master, self.slave, self.board):
            os.close(fd)


def pack_code(work, size):
    raw = os.path.join(work, "a.bin")
    data = bytearray(os.urandom(size))
    data[0xF00:0xF10] = b"\xff" * 16  # where each board's serial goes
    with open(raw, "wb") as f:
        f.write(data)
    subprocess.run([CLI, "pack-code", "-o", os.path.join(work, "app.fcode"), "--bank-a", raw],
                   check=True, stdout=subprocess.DEVNULL)


def write_profile(work, ports, http, scan, label_port=None):
    profile = os.path.join(work, "bench.toml")
    with open(profile, "w") as f:
        f.write('ports = [%s]\ncode = "app.fcode"\nreboot = true\nrecords = "records.jsonl"\n'
                'listen = "127.0.0.1:%d"\ntoken = "%s"\nscan = "%s"\n'
                % (", ".join('"%s"' % p for p in ports), http, TOKEN, scan))
        f.write('[[field]]\nname = "serial"\nat = 0x1A000F00\nstart = 1\nstate = "serial.state"\n')
        if label_port:
            with open(os.path.join(work, "label.zpl"), "w") as t:
                t.write("^XA^FO20,20^BQN,2,6^FDQA,{serial}^FS^FO20,200^FD{unit}^FS^XZ\n")
            f.write('[label]\ntemplate = "label.zpl"\nprinter = "tcp://127.0.0.1:%d"\n'
                    % label_port)
    return profile


def start_station(work, env, profile):
    return subprocess.Popen([CLI, "station", profile], stdin=subprocess.PIPE,
                            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, env=env,
                            cwd=work)


def scan_latency(work, env):
    to_wire, to_chip = [], []
    for round_ in range(ROUNDS):
        for name in ("serial.state", "records.jsonl"):
            if os.path.exists(os.path.join(work, name)):
                os.remove(os.path.join(work, name))
        sim = subprocess.Popen([SIM, "--quiet", "--after-reboot", "silent"],
                               stdout=subprocess.PIPE, env=env)
        tap = Tap(sim.stdout.readline().decode().strip())
        tap.start()
        http = free_port()
        station = start_station(work, env, write_profile(work, [tap.path], http, "required"))
        base = "http://127.0.0.1:%d" % http
        # The board found and its slot waiting for its scan; then a moment
        # more, so that the scan comes between two looks at the board.
        wait_until("the slot's scan", lambda: alive(station) and
                   (lambda s: s and (s.get("scan") or {}).get("next"))(state(base)))
        time.sleep(1.0 + (round_ % 5) * 0.17)
        t0 = time.monotonic()
        station.stdin.write(b"PCB-%04d\n" % round_)
        station.stdin.flush()
        wait_until("the board's end",
                   lambda: (lambda s: s and s["ok"] + s["failed"] >= 1)(state(base)))
        wire, chip = tap.first_after(t0), tap.first_after(t0, CHIP_INFO)
        if wire is None or chip is None:
            raise SystemExit("no byte reached the board after the scan")
        to_wire.append((wire - t0) * 1000)
        to_chip.append((chip - t0) * 1000)
        stop(base)
        station.wait(30)
        tap.close()
        sim.terminate()
        sim.wait(10)
    print("scan to first byte on the wire, %d rounds: median %.1f ms, worst %.1f ms"
          % (ROUNDS, statistics.median(to_wire), max(to_wire)))
    print("scan to the board's chip-info request:      median %.1f ms, worst %.1f ms"
          % (statistics.median(to_chip), max(to_chip)))


class Printer(threading.Thread):
    """A label printer on loopback: takes every connection's bytes."""

    def __init__(self):
        super().__init__(daemon=True)
        self.server = socket.socket()
        self.server.bind(("127.0.0.1", 0))
        self.server.listen(16)
        self.port = self.server.getsockname()[1]
        self.labels = 0

    def run(self):
        while True:
            try:
                client, _ = self.server.accept()
            except OSError:
                return
            with client:
                while client.recv(65536):
                    pass
            self.labels += 1


def paced_slots(work, env, scans, printer):
    for name in ("serial.state", "records.jsonl"):
        if os.path.exists(os.path.join(work, name)):
            os.remove(os.path.join(work, name))
    sims = [subprocess.Popen([SIM, "--com", str(n), "--pace", "--after-reboot", "silent",
                              "--quiet"], stdout=subprocess.PIPE, env=env) for n in COMS]
    for s in sims:
        s.stdout.readline()
    http = free_port()
    profile = write_profile(work, ["COM%d" % n for n in COMS], http,
                            "required" if scans else "off", printer.port if printer else None)
    station = start_station(work, env, profile)
    base = "http://127.0.0.1:%d" % http
    # Timed from the station's page answering (its slots up), with or
    # without scans.
    wait_until("the station's page", lambda: alive(station) and
               (lambda s: s and ((s.get("scan") or {}).get("next") or not scans))(state(base)), period=0.002)
    start = time.monotonic()
    if scans:
        # The operator scans the eight boards in turn, as fast as a scanner.
        for k in range(len(COMS)):
            station.stdin.write(b"PCB-%04d\n" % k)
        station.stdin.flush()
    wait_until("the eight boards", lambda: alive(station) and
               (lambda s: s and s["ok"] + s["failed"] >= len(COMS))(state(base)),
               limit=300, period=0.005)
    elapsed = time.monotonic() - start
    stop(base)
    station.wait(60)
    for s in sims:
        s.terminate()
        s.wait(10)
    return elapsed


def main():
    work = tempfile.mkdtemp(prefix="quelmar-operator-bench-")
    env = dict(os.environ, QUELMAR_PORT_DIR=os.path.join(work, "ports"))
    os.makedirs(env["QUELMAR_PORT_DIR"])
    try:
        pack_code(work, 64 * 1024)
        scan_latency(work, env)
        printer = None
        if LABEL:
            printer = Printer()
            printer.start()
        rounds = [(paced_slots(work, env, False, None), paced_slots(work, env, True, printer))
                  for _ in range(2)]
        plain = statistics.median(r[0] for r in rounds)
        operated = statistics.median(r[1] for r in rounds)
        what = "scans and labels" if LABEL else "scans"
        print("8 paced slots (64 KiB of bank A each), no scans:   %.2f s" % plain)
        print("8 paced slots with %s:%s %.2f s%s" % (
            what, " " * (26 - len(what)), operated,
            " (%d labels printed)" % printer.labels if printer else ""))
        print("ratio: %.3f" % (operated / plain))
    finally:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
