#!/usr/bin/python3
"""The station's figures (not a test: nothing asserts a time).

  station_bench.py CLI SIM            8 paced boards (64 KiB of data flash,
                                      an erase of 25.5 s) written by the station
                                      with 20 dashboard clients against none:
                                      prints both times and their ratio
  station_bench.py CLI SIM --soak N   N boards (bank A with a serial number,
                                      JSON and text records, unpaced) through 8
                                      slots (simulators that hang up after
                                      the reboot, started again at once)
                                      with a dashboard open:
                                      prints the station's RSS and open
                                      descriptors at board 20 and board N
"""
import json
import os
import shutil
import socket
import subprocess
import sys
import tempfile
import threading
import time
import urllib.request

CLI, SIM = (os.path.abspath(a) for a in sys.argv[1:3])
COMS = list(range(51, 59))


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def wait_until(what, condition, limit=120.0, period=0.02):
    end = time.monotonic() + limit
    while time.monotonic() < end:
        value = condition()
        if value:
            return value
        time.sleep(period)
    raise SystemExit("gave up waiting for " + what)


def state(base):
    try:
        with urllib.request.urlopen(base + "/api/state", timeout=5) as r:
            return json.load(r)
    except OSError:
        return None


def stop(base, token):
    request = urllib.request.Request(base + "/api/stop", method="POST", data=b"",
                                     headers={"X-Quelmar-Token": token})
    urllib.request.urlopen(request, timeout=5).read()


class EventClient(threading.Thread):
    """A dashboard page: reads the event stream as fast as it comes."""

    def __init__(self, port):
        super().__init__(daemon=True)
        self.port, self.events, self.running = port, 0, True

    def run(self):
        s = socket.create_connection(("127.0.0.1", self.port))
        s.sendall(b"GET /events HTTP/1.1\r\nHost: 127.0.0.1:%d\r\n\r\n" % self.port)
        s.settimeout(0.5)
        while self.running:
            try:
                data = s.recv(65536)
            except socket.timeout:
                continue
            if not data:
                break
            self.events += data.count(b"event: state")
        s.close()


def write_profile(work, port, image):
    profile = os.path.join(work, "bench.toml")
    code = image.endswith(".fcode")
    with open(profile, "w") as f:
        f.write('ports = [%s]\n%s = "%s"\nreboot = true\nlog_dir = "logs"\n'
                'records = "records.jsonl"\nlisten = "127.0.0.1:%d"\ntoken = "bench-token-0123456789"\n'
                % (", ".join('"COM%d"' % n for n in COMS), "code" if code else "data", image,
                   port))
        if code:
            # A serial number per board, as on a line.
            f.write('[[field]]\nname = "serial"\nat = 0x1A07FF00\nstart = 1\n'
                    'state = "serial.state"\n')
    return profile


def pack_code(work, size):
    raw = os.path.join(work, "a.bin")
    with open(raw, "wb") as f:
        f.write(os.urandom(size))
    subprocess.run([CLI, "pack-code", "-o", os.path.join(work, "app.fcode"), "--bank-a", raw],
                   check=True, stdout=subprocess.DEVNULL)
    return "app.fcode"


def pack_data(work, size):
    raw = os.path.join(work, "data.bin")
    with open(raw, "wb") as f:
        f.write(os.urandom(size))
    subprocess.run([CLI, "pack-data", "-o", os.path.join(work, "data.fdata"), raw], check=True,
                   stdout=subprocess.DEVNULL)
    return "data.fdata"


def timed_run(work, env, clients):
    """8 paced boards already plugged in; seconds until the last is done."""
    sims = [subprocess.Popen([SIM, "--com", str(n), "--pace", "--erase-ms", "25500",
                              "--after-reboot", "silent", "--quiet"],
                             stdout=subprocess.PIPE, env=env) for n in COMS]
    for s in sims:
        s.stdout.readline()
    port = free_port()
    profile = write_profile(work, port, "data.fdata")
    base = "http://127.0.0.1:%d" % port
    start = time.monotonic()
    station = subprocess.Popen([CLI, "station", profile], stdout=subprocess.PIPE,
                               stderr=subprocess.DEVNULL, env=env, cwd=work)
    readers = []
    if clients:
        wait_until("the dashboard", lambda: state(base))
        readers = [EventClient(port) for _ in range(clients)]
        for r in readers:
            r.start()
    done = 0
    for line in station.stdout:
        if b": board 1: " in line:
            done += 1
            if done == len(COMS):
                break
    elapsed = time.monotonic() - start
    events = sum(r.events for r in readers)
    stop(base, "bench-token-0123456789")
    station.wait(30)
    for r in readers:
        r.running = False
    for s in sims:
        s.terminate()
        s.wait(10)
    return elapsed, events


def figures(pid):
    with open("/proc/%d/status" % pid) as f:
        rss = [l.split()[1] for l in f if l.startswith("VmRSS:")][0]
    return int(rss), len(os.listdir("/proc/%d/fd" % pid))


def soak(work, env, boards):
    port = free_port()
    profile = write_profile(work, port, "app.fcode")
    base = "http://127.0.0.1:%d" % port
    running = [True]

    def feed(n):
        # A board after a board: each simulator hangs up after its reboot.
        while running[0]:
            s = subprocess.Popen([SIM, "--com", str(n), "--force",
                                  "--after-reboot", "hangup", "--quiet"],
                                 stdout=subprocess.DEVNULL, env=env)
            while running[0] and s.poll() is None:
                time.sleep(0.05)
            if s.poll() is None:
                s.terminate()
                s.wait(10)

    feeders = [threading.Thread(target=feed, args=(n,), daemon=True) for n in COMS]
    for f in feeders:
        f.start()
    station = subprocess.Popen([CLI, "station", profile], stdout=subprocess.DEVNULL,
                               stderr=subprocess.DEVNULL, env=env, cwd=work)
    wait_until("the dashboard", lambda: state(base))
    page = EventClient(port)
    page.start()
    start = time.monotonic()
    marks = {}
    for mark in (20, boards):
        s = wait_until("board %d" % mark,
                       lambda: (lambda st: st if st and st["ok"] + st["failed"] >= mark
                                else None)(state(base)), limit=boards * 2.0, period=0.1)
        marks[mark] = figures(station.pid) + (s["ok"], s["failed"], time.monotonic() - start)
    running[0] = False
    stop(base, "bench-token-0123456789")
    station.wait(60)
    page.running = False
    for f in feeders:
        f.join(20)
    for mark, (rss, fds, ok, failed, t) in marks.items():
        print("board %4d: RSS %6d KiB, %3d descriptors open (%d OK, %d failed, %.0f s)"
              % (mark, rss, fds, ok, failed, t))
    print("events read by the page: %d" % page.events)


def main():
    work = tempfile.mkdtemp(prefix="quelmar-station-bench-")
    env = dict(os.environ, QUELMAR_PORT_DIR=os.path.join(work, "ports"))
    os.makedirs(env["QUELMAR_PORT_DIR"])
    try:
        if len(sys.argv) > 3 and sys.argv[3] == "--soak":
            pack_code(work, 16 * 1024)
            soak(work, env, int(sys.argv[4]) if len(sys.argv) > 4 else 500)
            return
        pack_data(work, 64 * 1024)
        alone, _ = timed_run(work, env, 0)
        watched, events = timed_run(work, env, 20)
        print("8 paced boards (64 KiB data each), station alone:      %.2f s" % alone)
        print("8 paced boards, 20 dashboard clients (%5d events):  %.2f s" % (events, watched))
        print("ratio: %.3f" % (watched / alone))
    finally:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
