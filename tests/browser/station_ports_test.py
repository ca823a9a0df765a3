#!/usr/bin/python3
"""quelmar-cli station with a globbed port (no browser): an adapter plugged
in later joins as a new slot and its board is written; unplugged, the slot
shows gone; plugged in again, the next board is written on the same slot.
Stdout (not a terminal) carries one line per finished board with its
serial number, the same as the JSON record's.

Usage: station_ports_test.py QUELMAR_CLI QUELMAR_SIM APP_ELF
"""
import json
import os
import shutil
import socket
import subprocess
import sys
import tempfile
import time
import urllib.request

CLI, SIM, APP_ELF = (os.path.abspath(a) for a in sys.argv[1:4])


def wait_until(what, condition, limit=60.0):
    end = time.monotonic() + limit
    while time.monotonic() < end:
        value = condition()
        if value:
            return value
        time.sleep(0.05)
    raise AssertionError("gave up waiting for " + what)


def state(base):
    try:
        with urllib.request.urlopen(base + "/api/state", timeout=5) as r:
            return json.load(r)
    except OSError:
        return None


def main():
    work = tempfile.mkdtemp(prefix="quelmar-station-ports-")
    env = dict(os.environ, QUELMAR_PORT_DIR=os.path.join(work, "ports"))
    os.makedirs(env["QUELMAR_PORT_DIR"])
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        port = s.getsockname()[1]
    base = "http://127.0.0.1:%d" % port
    with open(os.path.join(work, "p.toml"), "w") as f:
        f.write('name = "ports"\nports = ["COM7?"]\ncode = "%s"\nreboot = true\n'
                'records = "r.jsonl"\nlisten = "127.0.0.1:%d"\ntoken = "station-ports-token"\n'
                '[[field]]\nname = "serial"\nat = 0x1A07FF00\nstart = 500\n'
                'state = "serial.state"\n' % (APP_ELF, port))
    out = open(os.path.join(work, "station.out"), "w+b")
    station = subprocess.Popen([CLI, "station", os.path.join(work, "p.toml")], stdout=out,
                               stderr=subprocess.STDOUT, env=env)
    sim = None
    try:
        wait_until("the dashboard", lambda: state(base))
        time.sleep(1.5)  # a scan or two with nothing plugged in
        assert state(base)["slots"] == [], state(base)

        def plug():
            return subprocess.Popen([SIM, "--com", "71", "--force", "--after-reboot", "silent",
                                     "--quiet"], stdout=subprocess.PIPE, env=env)

        sim = plug()
        slot = lambda: (state(base) or {"slots": []})["slots"]
        wait_until("COM71 to join", lambda: [s["port"] for s in slot()] == ["COM71"])
        wait_until("board 1 on COM71", lambda: slot()[0]["boards"] == 1)
        assert slot()[0]["state"] == "ok", slot()
        sim.terminate()
        sim.wait(10)
        wait_until("COM71 to show gone", lambda: slot()[0]["state"] == "gone")
        sim = plug()
        wait_until("board 2 on COM71", lambda: slot()[0]["boards"] == 2)
        assert [s["port"] for s in slot()] == ["COM71"], slot()
        assert slot()[0]["state"] == "ok" and slot()[0]["fields"] == [["serial", "501"]], slot()

        req = urllib.request.Request(base + "/api/stop", method="POST", data=b"",
                                     headers={"X-Quelmar-Token": "station-ports-token"})
        urllib.request.urlopen(req, timeout=5).read()
        status = station.wait(30)
        assert status == 0, status
        out.seek(0)
        lines = out.read().decode(errors="replace").splitlines()
        finished = [l for l in lines if l.startswith("COM71: board ")]
        assert finished == ["COM71: board 1: OK serial=500", "COM71: board 2: OK serial=501"], lines
        assert "Boards: 2 OK, 0 failed" in lines, lines
        with open(os.path.join(work, "r.jsonl")) as f:
            records = [json.loads(l) for l in f]
        assert [(r["port"], r["fields"]["serial"], r["result"]) for r in records] == \
            [("COM71", 500, "ok"), ("COM71", 501, "ok")], records
        print("PASS: a globbed port joins, leaves and comes back")
        return 0
    except AssertionError as e:
        out.seek(0)
        print("FAIL:", e)
        print(out.read().decode(errors="replace")[-3000:])
        return 1
    finally:
        if station.poll() is None:
            station.kill()
            station.wait()
        if sim and sim.poll() is None:
            sim.terminate()
            sim.wait(10)
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
