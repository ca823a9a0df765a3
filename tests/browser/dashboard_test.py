#!/usr/bin/python3
"""The station's dashboard in a real browser (Chromium headless through
chromedriver) against quelmar-cli station and four simulated boards, one of
them faulty.

Usage: dashboard_test.py QUELMAR_CLI QUELMAR_SIM APP_ELF OUT_DIR
Exit 0 passed, 1 failed, 77 skipped (no chromium, chromedriver or selenium).
Screenshots go into OUT_DIR.
"""
import json
import os
import shutil
import socket
import subprocess
import sys
import tempfile
import time
import urllib.error
import urllib.request

try:
    from selenium import webdriver
    from selenium.common.exceptions import NoAlertPresentException
    from selenium.webdriver.chrome.service import Service
    from selenium.webdriver.common.by import By
except ImportError:
    print("SKIP: python3-selenium is not installed")
    sys.exit(77)

CLI, SIM, APP_ELF, OUT = (os.path.abspath(a) for a in sys.argv[1:5])
CHROMEDRIVER = shutil.which("chromedriver") or "/usr/bin/chromedriver"
CHROMIUM = shutil.which("chromium") or "/usr/bin/chromium"
if not os.path.exists(CHROMEDRIVER) or not os.path.exists(CHROMIUM):
    print("SKIP: chromium and chromium-driver are not installed")
    sys.exit(77)

TOKEN = "line3-token-0123456789"
XSS_NAME = "<img src=x onerror=alert(1)>.elf"
COMS = [41, 42, 43, 44]
FAULTY = 43  # its bank A block 3 is refused


def wait_until(what, condition, limit=30.0, period=0.05):
    end = time.monotonic() + limit
    while time.monotonic() < end:
        value = condition()
        if value:
            return value
        time.sleep(period)
    raise AssertionError("gave up waiting for " + what)


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


class Station:
    def __init__(self, work, profile, env):
        self.work, self.profile, self.env = work, profile, env
        self.proc = None

    def start(self):
        self.out = open(os.path.join(self.work, "station.out"), "ab")
        self.proc = subprocess.Popen([CLI, "station", self.profile], stdout=self.out,
                                     stderr=subprocess.STDOUT, env=self.env, cwd=self.work)

    def wait(self, limit=30):
        try:
            return self.proc.wait(limit)
        except subprocess.TimeoutExpired:
            raise AssertionError("gave up waiting for the station to end")

    def kill(self):
        if self.proc and self.proc.poll() is None:
            self.proc.kill()
            self.proc.wait()


def post(base, path, headers):
    request = urllib.request.Request(base + path, method="POST", headers=headers, data=b"")
    try:
        with urllib.request.urlopen(request, timeout=5) as r:
            return r.status
    except urllib.error.HTTPError as e:
        return e.code


TILES_JS = """
return Array.from(document.querySelectorAll('.tile')).map(t => ({
  state: t.dataset.state, word: t.querySelector('.state').textContent,
  port: t.querySelector('.port').textContent, failure: t.querySelector('.failure').textContent,
  count: t.querySelector('.count').textContent, colour: getComputedStyle(t).backgroundColor}));
"""


def main():
    os.makedirs(OUT, exist_ok=True)
    work = tempfile.mkdtemp(prefix="quelmar-browser-")
    env = dict(os.environ, QUELMAR_PORT_DIR=os.path.join(work, "ports"))
    os.makedirs(env["QUELMAR_PORT_DIR"])
    shutil.copy(APP_ELF, os.path.join(work, XSS_NAME))
    port = free_port()
    base = "http://127.0.0.1:%d" % port
    profile = os.path.join(work, "line3.toml")
    with open(profile, "w") as f:
        f.write('name = "Line 3 <b>bold</b>"\n'
                'ports = [%s]\n' % ", ".join('"COM%d"' % n for n in COMS) +
                'code = %s\n' % json.dumps(XSS_NAME) +
                'reboot = true\nlog_dir = "logs"\nrecords = "line3.jsonl"\n'
                'listen = "127.0.0.1:%d"\ntoken = "%s"\n' % (port, TOKEN) +
                '[[field]]\nname = "serial"\nat = 0x1A07FF00\nstart = 100000\n'
                'state = "serial.state"\n')

    station = Station(work, profile, env)
    sims = []
    options = webdriver.ChromeOptions()
    options.binary_location = CHROMIUM
    for arg in ["--headless=new", "--no-sandbox", "--disable-gpu", "--disable-quic",
                "--no-first-run", "--disable-background-networking",
                "--disable-component-update", "--disable-sync", "--window-size=1920,1080",
                "--user-data-dir=" + os.path.join(work, "chromium")]:
        options.add_argument(arg)
    driver = None
    try:
        station.start()
        wait_until("the dashboard to answer", lambda: urlopen_ok(base + "/api/state"))
        driver = webdriver.Chrome(service=Service(CHROMEDRIVER), options=options)
        driver.set_script_timeout(10)
        driver.get(base + "/")
        tiles = lambda: driver.execute_script(TILES_JS)
        wait_until("four tiles, all gone (no board plugged in)",
                   lambda: len(tiles()) == 4 and all(t["state"] == "gone" for t in tiles()))
        check("the tiles follow the profile's ports", [t["port"] for t in tiles()] ==
              ["COM%d" % n for n in COMS])

        # Text from the station is text: the file name and the profile's
        # name show literally, no element is made from them, nothing ran.
        files = [e.text for e in driver.find_elements(By.CSS_SELECTOR, "#images .file")]
        check("the image's name shows literally", files == [XSS_NAME], files)
        check("no <img> came from the name",
              driver.execute_script("return document.querySelectorAll('img, b').length") == 0)
        check("the profile's name shows literally",
              driver.find_element(By.ID, "profile").text == "Line 3 <b>bold</b>")
        check("no script ran from the name", not alert_open(driver))

        # Control requests need the token and the page's own origin.
        status = driver.execute_async_script(
            "const done = arguments[0];"
            "fetch('/api/pause', {method: 'POST'}).then(r => done(r.status));")
        check("pause without the token is refused", status == 401, status)
        check("pause from a foreign origin is refused",
              post(base, "/api/pause", {"X-Quelmar-Token": TOKEN,
                                        "Origin": "http://evil.example"}) == 403)
        check("a GET changes nothing", get_status(base + "/api/pause") == 405)
        click_control(driver, "pause", "not-the-token")
        wait_until("the refusal to show", lambda: "refused" in
                   driver.find_element(By.ID, "control-error").text)
        check("a wrong token leaves the station running",
              driver.find_element(By.ID, "run").text == "RUNNING")
        click_control(driver, "pause", TOKEN)
        clicked = time.monotonic()
        wait_until("the station to show PAUSED",
                   lambda: driver.find_element(By.ID, "run").text == "PAUSED", period=0.01)
        # A figure, not a check: the request, the change, its event and the
        # page's drawing, as the operator sees it.
        print("Pause to PAUSED on the page: %.0f ms" % ((time.monotonic() - clicked) * 1000))

        # Boards plugged in while paused wait, grey.
        for n in COMS:
            args = [SIM, "--com", str(n), "--after-reboot", "silent", "--quiet"]
            if n == FAULTY:
                args += ["--fault", "error=05@block=A:3"]
            sims.append(subprocess.Popen(args, stdout=subprocess.PIPE, env=env))
        wait_until("four waiting tiles",
                   lambda: all(t["state"] == "waiting" for t in tiles()))
        time.sleep(3)  # several polls of every port
        check("Pause starts no board", all(t["state"] == "waiting" for t in tiles()), tiles())
        check("Pause starts no board: no record", not os.path.exists(
            os.path.join(work, "logs")) or not os.listdir(os.path.join(work, "logs")))
        grey = tiles()[0]["colour"]
        driver.save_screenshot(os.path.join(OUT, "dashboard-paused.png"))

        # Resume: every tile turns blue, then green, the faulty one red.
        # What each tile showed just before the click counts as seen: a
        # board may start before the first look after it.
        seen = {i: [t["state"]] for i, t in enumerate(tiles())}
        driver.find_element(By.ID, "resume").click()
        shot = [False]

        def follow():
            now = tiles()
            for i, t in enumerate(now):
                if not seen[i] or seen[i][-1] != t["state"]:
                    seen[i].append(t["state"])
                if t["state"] == "writing" and not shot[0]:
                    driver.save_screenshot(os.path.join(OUT, "dashboard-writing.png"))
                    shot[0] = True
            return all(t["state"] in ("ok", "failed") for t in now)

        wait_until("every board to finish", follow, limit=90, period=0.03)
        final = tiles()
        for i, n in enumerate(COMS):
            states = seen[i]
            check("COM%d went from waiting through writing" % n,
                  states[0] == "waiting" and "writing" in states, states)
            want = "failed" if n == FAULTY else "ok"
            check("COM%d ends %s" % (n, want), final[i]["state"] == want, final[i])
            check("COM%d says so in words" % n, final[i]["word"] == want.upper(), final[i])
            check("COM%d counts one board" % n, final[i]["count"] == "Boards: 1", final[i])
        colours = {t["colour"] for t in final}
        check("grey, green and red are three colours", len(colours | {grey}) == 3, colours)
        faulty = COMS.index(FAULTY)
        failure = final[faulty]["failure"]
        check("the faulty tile shows its failure line", failure.strip() != "", final[faulty])
        with urllib.request.urlopen(base + "/api/log/%d" % faulty, timeout=5) as r:
            log = json.load(r)["boards"][-1]["log"]
        check("the failure line is the log's", failure in log, (failure, log[-300:]))
        driver.save_screenshot(os.path.join(OUT, "dashboard.png"))

        # The records agree with the tiles: each tile's serial number is
        # the one its board's record says it got, and none is given twice.
        shown = driver.execute_script(
            "return Array.from(document.querySelectorAll('.tile')).map(t =>"
            " [t.querySelector('.port').textContent, t.querySelector('.fields').textContent]);")
        with open(os.path.join(work, "line3.jsonl")) as f:
            records = [json.loads(line) for line in f]
        check("one JSON record per board", len(records) == 4, records)
        by_port = {r["port"]: r for r in records}
        for port_name, fields in shown:
            r = by_port.get(port_name)
            check("a record for " + port_name, r is not None, list(by_port))
            check(port_name + "'s tile shows its record's serial",
                  fields == "serial: %d" % r["fields"]["serial"], (fields, r["fields"]))
            check(port_name + "'s record has its result",
                  r["result"] == ("failed" if port_name == "COM%d" % FAULTY else "ok"), r)
        serials = sorted(r["fields"]["serial"] for r in records)
        check("four serial numbers, none twice", serials == list(range(100000, 100004)), serials)
        logs = os.listdir(os.path.join(work, "logs"))
        check("one text record per board", len(logs) == 4, logs)
        for name in logs:
            text = open(os.path.join(work, "logs", name)).read()
            port_line = [l for l in text.splitlines() if l.startswith("Port: ")][0]
            n = int(port_line.split()[1][3:])
            want = "FAILED" if n == FAULTY else "OK"
            check("record of COM%d says %s" % (n, want), "Result: " + want in text)
        totals = (driver.find_element(By.ID, "total-ok").text,
                  driver.find_element(By.ID, "total-failed").text,
                  driver.find_element(By.ID, "yield").text)
        check("totals: 3 OK, 1 failed, 75% yield", totals == ("3", "1", "75.0%"), totals)

        # A click opens the slot's log.
        driver.find_element(By.ID, "slot-%d" % faulty).click()
        wait_until("the log view", lambda: driver.find_element(By.ID, "log-view").is_displayed()
                   and failure in driver.find_element(By.ID, "log-boards").text)
        driver.save_screenshot(os.path.join(OUT, "dashboard-log.png"))
        driver.find_element(By.ID, "log-close").click()

        # Stop ends the station; the page says the link is lost and comes
        # back by itself when the station starts again.
        driver.find_element(By.ID, "stop").click()
        check("the station ends with status 1 (a board failed)", station.wait() == 1)
        wait_until("the lost-link banner",
                   lambda: driver.find_element(By.ID, "link-lost").is_displayed())
        station.start()
        wait_until("the page to reconnect",
                   lambda: not driver.find_element(By.ID, "link-lost").is_displayed() and
                   driver.find_element(By.ID, "total-ok").text == "0", limit=30)
        check("no script ran at all", not alert_open(driver))
        print("PASS: dashboard in Chromium (%d checks)" % CHECKS[0])
        return 0
    except AssertionError as e:
        print("FAIL:", e)
        if driver:
            driver.save_screenshot(os.path.join(OUT, "dashboard-failure.png"))
        out = os.path.join(work, "station.out")
        if os.path.exists(out):
            print(open(out, errors="replace").read()[-3000:])
        return 1
    finally:
        if driver:
            driver.quit()
        station.kill()
        for s in sims:
            s.terminate()
            try:
                s.wait(10)
            except subprocess.TimeoutExpired:
                s.kill()
        shutil.rmtree(work, ignore_errors=True)


CHECKS = [0]


def check(what, ok, detail=None):
    CHECKS[0] += 1
    if not ok:
        raise AssertionError(what + ("" if detail is None else ": %r" % (detail,)))


def urlopen_ok(url):
    try:
        with urllib.request.urlopen(url, timeout=2) as r:
            return r.status == 200
    except (urllib.error.URLError, ConnectionError):
        return False


def get_status(url):
    try:
        with urllib.request.urlopen(url, timeout=5) as r:
            return r.status
    except urllib.error.HTTPError as e:
        return e.code


def alert_open(driver):
    try:
        driver.switch_to.alert
        return True
    except NoAlertPresentException:
        return False


def click_control(driver, action, token):
    driver.find_element(By.ID, action).click()
    wait_until("the token dialog", lambda: driver.find_element(By.ID, "token-view").is_displayed())
    field = driver.find_element(By.ID, "token-input")
    field.clear()
    field.send_keys(token)
    driver.find_element(By.ID, "token-ok").click()


if __name__ == "__main__":
    sys.exit(main())
