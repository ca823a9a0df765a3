#!/usr/bin/python3
"""The line's page under a busy line (not a test: nothing asserts a time).

  line_page_bench.py CLI LINE_STATION PG_SERVER [--stations N] [--slots N]
                     [--seconds S] [--step-ms M] [--sim SIM [--rounds R] [--kib K]]

N station processes (line_station: 20 by default) with 8 slots each, every
slot going through a board's states as fast as a board's percentage moves
(a step every M ms, 50 by default: 100 steps a board, then the board filed
through LineDb::File), against a private PostgreSQL with fsync on;
quelmar-cli line dashboard with one page open on its event stream. Over S
seconds (60) after a warm-up it prints the dashboard's CPU, the database
server's CPU, the NOTIFYs on quelmar_stations per second (counted by a
psql that LISTENs), the events the page got, and the boards filed.

With --sim, then, while that load goes on: a real station (quelmar-cli
station, 8 paced simulated boards of K KiB, 32 by default) with a [line]
table (its row reported, its records filed in the line) against the same
profile without one (records in its file only), alternating for R rounds
(3): each board's time from its record (time_end - time_start), the
medians and their ratio, line / none (goal: at most 1.02).
"""
import argparse
import datetime
import json
import os
import statistics
import socket
import subprocess
import sys
import tempfile
import threading
import time
import urllib.request

parser = argparse.ArgumentParser()
parser.add_argument("cli")
parser.add_argument("station")
parser.add_argument("pg_server")
parser.add_argument("--stations", type=int, default=20)
parser.add_argument("--slots", type=int, default=8)
parser.add_argument("--seconds", type=float, default=60)
parser.add_argument("--step-ms", type=int, default=50)
parser.add_argument("--sim")
parser.add_argument("--rounds", type=int, default=3)
parser.add_argument("--kib", type=int, default=32)
args = parser.parse_args()
for name in ("cli", "station", "pg_server", "sim"):
    if getattr(args, name):
        setattr(args, name, os.path.abspath(getattr(args, name)))
TICK = os.sysconf("SC_CLK_TCK")


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def cpu_seconds(pid):
    """User and system time of a process, in seconds."""
    try:
        with open("/proc/%d/stat" % pid) as f:
            fields = f.read().rsplit(")", 1)[1].split()
        return (int(fields[11]) + int(fields[12])) / TICK
    except OSError:
        return 0.0


def server_pids(postmaster):
    """The PostgreSQL server: its postmaster and every backend of it."""
    pids = [postmaster]
    for entry in os.listdir("/proc"):
        if entry.isdigit():
            try:
                with open("/proc/%s/stat" % entry) as f:
                    if int(f.read().rsplit(")", 1)[1].split()[1]) == postmaster:
                        pids.append(int(entry))
            except OSError:
                pass
    return pids


class Events(threading.Thread):
    """A page open on the event stream: counts the events it reads."""

    def __init__(self, port):
        super().__init__(daemon=True)
        self.port, self.count = port, 0

    def run(self):
        with socket.create_connection(("127.0.0.1", self.port)) as s:
            s.sendall(b"GET /events HTTP/1.1\r\nHost: 127.0.0.1:%d\r\n\r\n" % self.port)
            while True:
                data = s.recv(65536)
                if not data:
                    return
                self.count += data.count(b"event: state\n")


class Notifications(threading.Thread):
    """psql LISTENing on quelmar_stations, asked once a second for what came."""

    def __init__(self, psql, socket_dir, port, db):
        super().__init__(daemon=True)
        self.count = 0
        self.proc = subprocess.Popen([psql, "-X", "-h", socket_dir, "-p", port, "-U", "quelmar",
                                      "-d", db], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                     stderr=subprocess.DEVNULL, text=True, bufsize=1)
        self.proc.stdin.write("LISTEN quelmar_stations;\n")

    def run(self):
        for line in self.proc.stdout:
            if line.startswith("Asynchronous notification"):
                self.count += 1

    def poke(self):
        self.proc.stdin.write("SELECT 1;\n")


def board_times(work, kind, conn, number):
    """One round of a real station with 8 paced boards: each board's time."""
    env = dict(os.environ, QUELMAR_PORT_DIR=os.path.join(work, "ports"))
    os.makedirs(env["QUELMAR_PORT_DIR"], exist_ok=True)
    coms = list(range(61, 69))
    sims = [subprocess.Popen([args.sim, "--com", str(n), "--pace", "--after-reboot", "silent",
                              "--erase-ms", "10", "--quiet"], stdout=subprocess.DEVNULL, env=env)
            for n in coms]
    records = os.path.join(work, "%s%d.jsonl" % (kind, number))
    profile = os.path.join(work, "%s%d.toml" % (kind, number))
    with open(profile, "w") as f:
        f.write("ports = %s\ncode = \"app.fcode\"\nrecords = %s\nlisten = \"127.0.0.1:%d\"\n"
                % (json.dumps(["COM%d" % n for n in coms]), json.dumps(records), free_port()))
        if kind == "line":
            f.write("[line]\ndatabase = %s\nstation = \"bench-station\"\n" % json.dumps(conn))
    end = time.monotonic() + 30
    while not all(os.path.exists(os.path.join(env["QUELMAR_PORT_DIR"], "COM%d" % n))
                  for n in coms):
        if time.monotonic() > end:
            raise SystemExit("the simulators did not start")
        time.sleep(0.05)
    station = subprocess.Popen([args.cli, "station", profile], stdout=subprocess.DEVNULL,
                               stderr=subprocess.DEVNULL, env=env, cwd=work)
    end = time.monotonic() + 600
    lines = []
    while len(lines) < len(coms):
        if time.monotonic() > end or station.poll() is not None:
            raise SystemExit("the %s station did not write its boards" % kind)
        time.sleep(0.5)
        lines = open(records).read().splitlines() if os.path.exists(records) else []
    station.send_signal(2)
    station.wait(60)
    for p in sims:
        p.terminate()
        p.wait()
    times = []
    for line in lines:
        r = json.loads(line)
        if r["result"] != "ok":
            raise SystemExit("a %s board failed: %s" % (kind, r.get("failure")))
        when = [datetime.datetime.fromisoformat(r[k].replace("Z", "+00:00"))
                for k in ("time_start", "time_end")]
        times.append((when[1] - when[0]).total_seconds())
    return times


def main():
    work = tempfile.mkdtemp(prefix="quelmar-line-page-bench-")
    env_file = os.path.join(work, "pg.env")
    r = subprocess.run([args.pg_server, "start", env_file], capture_output=True, text=True,
                       env=dict(os.environ, QUELMAR_PG_FSYNC="on"))
    if r.returncode != 0:
        raise SystemExit("no PostgreSQL: " + r.stderr)
    values = dict(line.split("=", 1) for line in open(env_file).read().split())
    sock, pg_port, pg_dir = values["QUELMAR_PG_SOCKET"], values["QUELMAR_PG_PORT"], values["QUELMAR_PG_DIR"]
    psql = os.path.join(values["QUELMAR_PG_BIN"], "psql")
    conn = "host=%s port=%s user=quelmar dbname=line" % (sock, pg_port)
    procs = []
    try:
        subprocess.run([psql, "-X", "-q", "-h", sock, "-p", pg_port, "-U", "quelmar", "-d",
                        "postgres", "-c", "CREATE DATABASE line"], check=True)
        subprocess.run([args.cli, "line", "init", "--db", conn], check=True, stdout=subprocess.DEVNULL)
        with open(os.path.join(pg_dir, "data", "postmaster.pid")) as f:
            postmaster = int(f.readline())
        for i in range(args.stations):
            procs.append(subprocess.Popen(
                [args.station, "--db", conn, "--name", "st-%02d" % (i + 1), "--slots",
                 str(args.slots), "--boards", "0", "--steps", "100", "--step-ms",
                 str(args.step_ms), "--serial", str(1000000 * (i + 1))],
                stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL))
        port = free_port()
        dashboard = subprocess.Popen([args.cli, "line", "dashboard", "--db", conn, "--listen",
                                      "127.0.0.1:%d" % port, "--token", "bench-token-0123456789"],
                                     stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        procs.append(dashboard)
        end = time.monotonic() + 30
        while time.monotonic() < end:
            try:
                urllib.request.urlopen("http://127.0.0.1:%d/api/state" % port, timeout=2).read()
                break
            except OSError:
                time.sleep(0.1)
        events = Events(port)
        events.start()
        notes = Notifications(psql, sock, pg_port, "line")
        notes.start()
        time.sleep(5)  # every station running, its boards going

        def boards():
            return int(subprocess.run([psql, "-X", "-At", "-h", sock, "-p", pg_port, "-U",
                                       "quelmar", "-d", "line", "-c",
                                       "SELECT count(*) FROM boards"],
                                      capture_output=True, text=True).stdout)

        notes.poke()
        time.sleep(1)
        start = time.monotonic()
        d0, e0, n0, b0 = cpu_seconds(dashboard.pid), events.count, notes.count, boards()
        s0 = sum(cpu_seconds(p) for p in server_pids(postmaster))
        st0 = sum(cpu_seconds(p.pid) for p in procs[:-1])
        while time.monotonic() - start < args.seconds:
            time.sleep(1)
            notes.poke()
        time.sleep(0.5)
        elapsed = time.monotonic() - start
        d1, e1, n1, b1 = cpu_seconds(dashboard.pid), events.count, notes.count, boards()
        s1 = sum(cpu_seconds(p) for p in server_pids(postmaster))
        st1 = sum(cpu_seconds(p.pid) for p in procs[:-1])
        print("%d stations x %d slots, a step every %d ms, over %.0f s:" %
              (args.stations, args.slots, args.step_ms, elapsed))
        print("  dashboard CPU:        %5.1f %% of one core" % (100 * (d1 - d0) / elapsed))
        print("  PostgreSQL CPU:       %5.1f %% of one core (all its processes)" %
              (100 * (s1 - s0) / elapsed))
        print("  stations' CPU:        %5.1f %% of one core (all %d)" %
              (100 * (st1 - st0) / elapsed, args.stations))
        print("  NOTIFY on quelmar_stations: %.1f per second" % ((n1 - n0) / elapsed))
        print("  events the page got:  %.1f per second" % ((e1 - e0) / elapsed))
        print("  boards filed:         %.1f per second" % ((b1 - b0) / elapsed))
        if args.sim:
            with open(os.path.join(work, "bank.bin"), "wb") as f:
                f.write(os.urandom(args.kib * 1024))
            subprocess.run([args.cli, "pack-code", "-o", os.path.join(work, "app.fcode"),
                            "--bank-a", os.path.join(work, "bank.bin")], check=True,
                           capture_output=True)
            times = {"line": [], "none": []}
            for round_ in range(args.rounds):
                for kind in ("line", "none") if round_ % 2 == 0 else ("none", "line"):
                    times[kind] += board_times(work, kind, conn, round_)
                    print("round %d %-4s: %s s" % (round_ + 1, kind, " ".join(
                        "%.2f" % t for t in times[kind][-8:])), flush=True)
            line_median = statistics.median(times["line"])
            none_median = statistics.median(times["none"])
            print("A station's 8 paced boards (%d KiB) under that load, %d rounds: with the "
                  "line %.2f s, without %.2f s (medians); ratio %.3f" %
                  (args.kib, args.rounds, line_median, none_median, line_median / none_median))
    finally:
        for p in procs:
            p.kill()
            p.wait()
        subprocess.run([args.pg_server, "stop", env_file], capture_output=True)


if __name__ == "__main__":
    sys.exit(main())
