#!/usr/bin/python3
"""Remakes docs/station-operator.png: the station's page at a desk where the
operator scans each board, with a slot in each state the operator meets.

  scripts/operator-screenshot.py CLI SIM OUT.png

Five simulated boards: COM81 written OK (its label cannot reach the
printer: nothing listens on the printer's port), COM82 refuses a block
every time (retried, then FAILED), COM83 (paced) refuses one block once
and shows its retry, COM84 (paced) is being written, COM85 waits for its
scan. The scans are typed into the page's own scan box, as a keyboard-wedge
scanner would type them.
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

from selenium import webdriver
from selenium.webdriver.chrome.service import Service
from selenium.webdriver.common.by import By
from selenium.webdriver.common.keys import Keys

CLI, SIM, OUT = (os.path.abspath(a) for a in sys.argv[1:4])
LABEL = "--no-label" not in sys.argv
ARGS = []
TOKEN = "desk-token-0123456789"
SIMS = {
    81: [],
    82: ["--fault", "error=CC@block=A:3"],
    83: ["--pace", "--fault", "error=CC@block=A:5#1"],
    84: ["--pace"],
    85: [],
}


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def wait_until(what, condition, limit=120.0):
    end = time.monotonic() + limit
    while time.monotonic() < end:
        value = condition()
        if value:
            return value
        time.sleep(0.05)
    raise SystemExit("gave up waiting for " + what)


def state(base):
    try:
        with urllib.request.urlopen(base + "/api/state", timeout=5) as r:
            return json.load(r)
    except OSError:
        return None


def main():
    work = tempfile.mkdtemp(prefix="quelmar-operator-shot-")
    env = dict(os.environ, QUELMAR_PORT_DIR=os.path.join(work, "ports"))
    os.makedirs(env["QUELMAR_PORT_DIR"])
    data = bytearray(os.urandom(256 * 1024))
    data[0xF00:0xF10] = b"\xff" * 16
    with open(os.path.join(work, "a.bin"), "wb") as f:
        f.write(data)
    subprocess.run([CLI, "pack-code", "-o", os.path.join(work, "controller-4.2.fcode"),
                    "--bank-a", os.path.join(work, "a.bin")], check=True,
                   stdout=subprocess.DEVNULL)
    with open(os.path.join(work, "label.zpl"), "w") as f:
        f.write("^XA^FO30,30^BQN,2,5^FDQA,{serial}^FS^FO30,220^A0N,30,30^FD{unit}^FS^XZ\n")
    http, dead_printer = free_port(), free_port()
    base = "http://127.0.0.1:%d" % http
    with open(os.path.join(work, "desk.toml"), "w") as f:
        f.write('name = "Desk 2: controller boards"\n'
                'ports = [%s]\n' % ", ".join('"COM%d"' % n for n in SIMS) +
                'code = "controller-4.2.fcode"\nreboot = true\nrecords = "desk.jsonl"\n'
                'listen = "127.0.0.1:%d"\ntoken = "%s"\n' % (http, TOKEN) +
                'scan = "required"\nscan_pattern = "^PCB-[0-9]{6}$"\n'
                'slot_pattern = "^SLOT-([0-9]+)$"\nretries = 2\n'
                '[[field]]\nname = "serial"\nat = 0x1A000F00\nstart = 240117\n'
                'state = "serial.state"\n' +
                ('[label]\ntemplate = "label.zpl"\nprinter = "tcp://127.0.0.1:%d"\n'
                % dead_printer if LABEL else ''))
    sims = [subprocess.Popen([SIM, "--quiet", "--com", str(n), "--after-reboot", "silent"] +
                             extra, stdout=subprocess.PIPE, env=env)
            for n, extra in SIMS.items()]
    for s in sims:
        s.stdout.readline()
    station = subprocess.Popen([CLI, "station", "desk.toml"] + ARGS, cwd=work, env=env,
                               stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL)
    options = webdriver.ChromeOptions()
    options.binary_location = shutil.which("chromium") or "/usr/bin/chromium"
    for arg in ["--headless=new", "--no-sandbox", "--disable-gpu", "--no-first-run",
                "--window-size=1400,1180", "--user-data-dir=" + os.path.join(work, "c")]:
        options.add_argument(arg)
    driver = None
    try:
        wait_until("the page", lambda: (lambda s: s and s["scan"]["next"])(state(base)))
        driver = webdriver.Chrome(service=Service(shutil.which("chromedriver") or
                                                  "/usr/bin/chromedriver"), options=options)
        driver.get(base + "/")
        driver.execute_script("sessionStorage.setItem('quelmar-station-token', arguments[0])",
                              TOKEN)
        driver.get(base + "/")
        box = wait_until("the scan box", lambda: driver.find_element(By.ID, "scan-input"))
        # Each board's slot picked by the slot's own label first, as at a
        # desk where the operator scans the slot and then the board.
        for k, unit in enumerate(["PCB-004711", "PCB-004712", "PCB-004713", "PCB-004714"]):
            box.send_keys("SLOT-%d" % (k + 1) + Keys.ENTER)
            time.sleep(0.3)
            box.send_keys(unit + Keys.ENTER)
            time.sleep(0.5)
        # COM81 done (its label not printed), COM82 failed after its retries,
        # COM83 in its second attempt.
        slot = lambda port: next(s for s in state(base)["slots"] if s["port"] == port)
        wait_until("COM83's retry", lambda: slot("COM83")["state"] == "retry")
        wait_until("COM81's end", lambda: slot("COM81")["state"] == "ok")
        wait_until("COM82's end", lambda: slot("COM82")["state"] == "failed")
        time.sleep(3)  # the label's try at the printer, and COM83's progress
        # The serial from a label scanned instead of the PCB's own:
        # refused, in words by the box.
        box.send_keys("240117" + Keys.ENTER)
        time.sleep(2.5)
        driver.save_screenshot(OUT)
        print(OUT)
    finally:
        if driver:
            driver.quit()
        station.terminate()
        try:
            station.wait(10)
        except subprocess.TimeoutExpired:  # a paced write runs to its end
            station.kill()
            station.wait()
        for s in sims:
            s.terminate()
            s.wait(10)
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
