#!/usr/bin/python3
"""The line's page in a real browser (Chromium headless through
chromedriver) against quelmar-cli line dashboard, a private PostgreSQL and
three stations reporting to it, one of them faulty and one with a hostile
name.

Usage: line_page_test.py QUELMAR_CLI LINE_STATION PG_SERVER_SCRIPT OUT_DIR
Exit 0 passed, 1 failed, 77 skipped (no chromium, chromedriver, selenium or
PostgreSQL). Screenshots go into OUT_DIR.
"""
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

CLI, STATION, PG_SERVER, OUT = (os.path.abspath(a) for a in sys.argv[1:5])
CHROMEDRIVER = shutil.which("chromedriver") or "/usr/bin/chromedriver"
CHROMIUM = shutil.which("chromium") or "/usr/bin/chromium"
if not os.path.exists(CHROMEDRIVER) or not os.path.exists(CHROMIUM):
    print("SKIP: chromium and chromium-driver are not installed")
    sys.exit(77)

TOKEN = "line-token-0123456789"
HOSTILE = "<img src=x onerror=alert(1)>"
# name, slots, boards per slot, the failing port
STATIONS = [("Line 3 / St 1", 4, 2, ""), (HOSTILE, 2, 2, ""), ("St 3 faulty", 3, 2, "COM2")]
# The jobs two of them run (line_station --job); the hostile one runs none.
JOBS = {"Line 3 / St 1": "widget@3:retired", "St 3 faulty": "widget@2:made"}
CHECKS = [0]


def check(what, ok, detail=None):
    CHECKS[0] += 1
    if not ok:
        raise AssertionError(what + ("" if detail is None else ": %r" % (detail,)))


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


def status_of(request):
    try:
        with urllib.request.urlopen(request, timeout=5) as r:
            return r.status
    except urllib.error.HTTPError as e:
        return e.code
    except (urllib.error.URLError, ConnectionError):
        return 0


def alert_open(driver):
    try:
        driver.switch_to.alert
        return True
    except NoAlertPresentException:
        return False


class Postgres:
    """The private server of tests/line/pg_server.sh and psql on it."""

    def __init__(self, work):
        self.env_file = os.path.join(work, "pg.env")

    def start(self):
        r = subprocess.run([PG_SERVER, "start", self.env_file], capture_output=True, text=True)
        if r.returncode != 0:
            print("SKIP: no PostgreSQL server to start:", r.stderr.strip())
            sys.exit(77)
        values = dict(line.split("=", 1) for line in open(self.env_file).read().split())
        self.socket, self.port = values["QUELMAR_PG_SOCKET"], values["QUELMAR_PG_PORT"]
        self.psql_path = os.path.join(values["QUELMAR_PG_BIN"], "psql")

    def stop(self):
        subprocess.run([PG_SERVER, "stop", self.env_file], capture_output=True)

    def conn(self, db):
        return "host=%s port=%s user=quelmar dbname=%s" % (self.socket, self.port, db)

    def psql(self, db, sql):
        r = subprocess.run([self.psql_path, "-X", "-q", "-At", "-v", "ON_ERROR_STOP=1", "-h",
                            self.socket, "-p", self.port, "-U", "quelmar", "-d", db, "-c", sql],
                           capture_output=True, text=True, timeout=60)
        if r.returncode != 0:
            raise AssertionError("psql: " + r.stderr)
        return r.stdout.strip()


TILES_JS = """
return Array.from(document.querySelectorAll('#stations .station')).map(t => ({
  name: t.querySelector('.name').textContent, state: t.dataset.state,
  word: t.querySelector('.state').textContent,
  slots: Array.from(t.querySelectorAll('.slot')).map(s => s.dataset.state),
  slot_words: Array.from(t.querySelectorAll('.slot .word')).map(w => w.textContent),
  slot_colours: Array.from(t.querySelectorAll('.slot')).map(s => getComputedStyle(s).backgroundColor),
  ok: t.querySelector('.count-ok').textContent,
  failed: t.querySelector('.count-failed').textContent,
  band: getComputedStyle(t.querySelector('.band')).backgroundColor,
  job: t.querySelector('.job').checkVisibility() ? t.querySelector('.job-name').textContent : null,
  job_words: t.querySelector('.job-state').checkVisibility()
      ? t.querySelector('.job-state').textContent : '',
  job_colour: getComputedStyle(t.querySelector('.job-state')).backgroundColor}));
"""


def main():
    os.makedirs(OUT, exist_ok=True)
    work = tempfile.mkdtemp(prefix="quelmar-line-page-")
    pg = Postgres(work)
    pg.start()
    procs = {}
    dashboard = None
    driver = None
    try:
        pg.psql("postgres", "CREATE DATABASE line3")
        conn = pg.conn("line3")
        r = subprocess.run([CLI, "line", "init", "--db", conn], capture_output=True, text=True)
        check("line init", r.returncode == 0, r.stderr)
        for i in range(len(STATIONS)):
            start = 100000 + 1000 * i
            r = subprocess.run([CLI, "line", "pool", "add", "serial%d" % i, "--format", "u32le",
                                "--start", str(start), "--end", str(start + 999), "--db", conn],
                               capture_output=True, text=True)
            check("pool add", r.returncode == 0, r.stderr)
        for i, (name, slots, boards, failing) in enumerate(STATIONS):
            args = [STATION, "--db", conn, "--name", name, "--slots", str(slots), "--boards",
                    str(boards), "--step-ms", "150", "--pool", "serial%d" % i]
            if failing:
                args += ["--fail-port", failing]
            if name in JOBS:
                args += ["--job", JOBS[name]]
            procs[name] = subprocess.Popen(args, stdout=open(os.path.join(work, "st%d.out" % i), "w"),
                                           stderr=subprocess.STDOUT)
        port = free_port()
        base = "http://127.0.0.1:%d" % port
        dashboard = subprocess.Popen([CLI, "line", "dashboard", "--db", conn, "--listen",
                                      "127.0.0.1:%d" % port, "--token", TOKEN],
                                     stdout=open(os.path.join(work, "dashboard.out"), "w"),
                                     stderr=subprocess.STDOUT)
        wait_until("the dashboard to answer", lambda: status_of(base + "/api/state") == 200)

        options = webdriver.ChromeOptions()
        options.binary_location = CHROMIUM
        for arg in ["--headless=new", "--no-sandbox", "--disable-gpu", "--disable-quic",
                    "--no-first-run", "--disable-background-networking",
                    "--disable-component-update", "--disable-sync", "--window-size=1920,1080",
                    "--user-data-dir=" + os.path.join(work, "chromium")]:
            options.add_argument(arg)
        driver = webdriver.Chrome(service=Service(CHROMEDRIVER), options=options)
        driver.set_script_timeout(10)
        driver.get(base + "/")
        tiles = lambda: driver.execute_script(TILES_JS)
        by_name = lambda: {t["name"]: t for t in tiles()}

        # Three tiles, by name, each with its slots; the hostile name is
        # text, no element came of it and no script ran.
        wait_until("three tiles with their slots", lambda: len(tiles()) == 3 and all(
            len(t["slots"]) == s for t, s in zip(sorted(tiles(), key=lambda t: t["name"]),
                                                   [2, 4, 3])))
        check("the tiles by name", [t["name"] for t in tiles()] ==
              sorted(name for name, _, _, _ in STATIONS), tiles())
        check("the hostile name is text", HOSTILE in by_name(), list(by_name()))
        check("no element came from the name",
              driver.execute_script("return document.querySelectorAll('img').length") == 0)
        check("no script ran", not alert_open(driver))
        jobs = {t["name"]: (t["job"], t["job_words"]) for t in tiles()}
        check("each tile's job", jobs == {
            "Line 3 / St 1": ("widget@3", "job retired"), HOSTILE: (None, ""),
            "St 3 faulty": ("widget@2", "job made its quantity")}, jobs)
        check("made and retired in amber", all(
            t["job_colour"] == "rgb(178, 106, 0)" for t in tiles() if t["job"]), tiles())

        # Every board done: the faulty station's failures listed with
        # station, port, serial and line; totals are the boards table's.
        wait_until("every board to be filed",
                   lambda: pg.psql("line3", "SELECT count(*) FROM boards") == "18", limit=60)
        expected = pg.psql("line3", "SELECT count(*) FILTER (WHERE result = 'ok') || ' ' || "
                                    "count(*) FILTER (WHERE result <> 'ok') FROM boards")
        wait_until("the totals of the boards table", lambda: " ".join(
            driver.find_element(By.ID, i).text for i in ("total-ok", "total-failed")) == expected)
        check("16 OK, 2 failed", expected == "16 2", expected)
        check("the yield", driver.find_element(By.ID, "yield").text == "88.9%",
              driver.find_element(By.ID, "yield").text)
        check("the last hour", driver.find_element(By.ID, "per-hour").text == "18")
        check("stations up", driver.find_element(By.ID, "up").text == "3 / 3")
        rows = driver.execute_script(
            "return Array.from(document.querySelectorAll('#failures tbody tr')).map(r =>"
            " Array.from(r.cells).map(c => c.textContent));")
        failed = pg.psql("line3", "SELECT string_agg(port || ' ' || (record -> 'fields' ->> "
                                  "'serial'), ',' ORDER BY time_end DESC) FROM boards "
                                  "WHERE result <> 'ok'").split(",")
        check("two failures listed", len(rows) == 2, rows)
        for row, db_row in zip(rows, failed):
            port_name, serial = db_row.split()
            check("the failure's station", row[1] == "St 3 faulty", row)
            check("the failure's port", row[2] == port_name, (row, db_row))
            check("the failure's serial", row[3] == "serial " + serial, (row, db_row))
            check("the failure's line", row[4] == "Write to FLASH... FAILED (error 05 at block A:3)",
                  row)
        # A station writes its row at most once a second: its slots may
        # end a moment after its boards are filed.
        faulty = by_name()["St 3 faulty"]
        check("the faulty tile counts", (faulty["ok"], faulty["failed"]) == ("4", "2"), faulty)
        faulty = wait_until("the faulty station's boards to end", lambda: (
            lambda t: t if "writing" not in t["slots"] else None)(by_name()["St 3 faulty"]),
            limit=10)
        check("its failed slot is red", faulty["slots"] == ["ok", "failed", "ok"], faulty)
        check("RUNNING in words", all(t["word"] == "RUNNING" for t in tiles()), tiles())
        driver.save_screenshot(os.path.join(OUT, "line-dashboard.png"))

        # Controls: refused without the token, from a foreign Origin, by
        # GET; Pause from a tile reaches that station only.
        status = driver.execute_async_script(
            "const done = arguments[0];"
            "fetch('/api/line/pause', {method: 'POST'}).then(r => done(r.status));")
        check("a control without the token is refused", status == 401, status)
        foreign = urllib.request.Request(base + "/api/line/pause", method="POST", data=b"",
                                         headers={"X-Quelmar-Token": TOKEN,
                                                  "Origin": "http://evil.example"})
        check("a control from a foreign origin is refused", status_of(foreign) == 403)
        check("a control by GET is refused",
              status_of(base + "/api/station/St%203%20faulty/pause") == 405)
        tile = [t for t in driver.find_elements(By.CSS_SELECTOR, "#stations .station")
                if t.get_attribute("data-name") == "St 3 faulty"][0]
        tile.find_element(By.CSS_SELECTOR, ".actions .pause").click()
        wait_until("the token dialog",
                   lambda: driver.find_element(By.ID, "token-view").is_displayed())
        driver.find_element(By.ID, "token-input").send_keys(TOKEN)
        driver.find_element(By.ID, "token-ok").click()
        wait_until("the station to show PAUSED",
                   lambda: by_name()["St 3 faulty"]["word"] == "PAUSED")
        outs = {name: open(os.path.join(work, "st%d.out" % i)).read()
                for i, (name, _, _, _) in enumerate(STATIONS)}
        check("the pause reached the station", "control pause" in outs["St 3 faulty"])
        check("and no other", not any("control" in outs[n] for n in outs if n != "St 3 faulty"),
              outs)
        bands = {t["word"]: t["band"] for t in tiles()}
        check("PAUSED and RUNNING in two colours", bands["PAUSED"] != bands["RUNNING"], bands)

        # A station killed: OFFLINE within 12 s.
        procs["Line 3 / St 1"].kill()
        procs["Line 3 / St 1"].wait()
        killed = time.monotonic()
        wait_until("the killed station to show OFFLINE",
                   lambda: by_name()["Line 3 / St 1"]["word"] == "OFFLINE", limit=12)
        print("killed to OFFLINE on the page: %.1f s" % (time.monotonic() - killed))
        check("stations up", driver.find_element(By.ID, "up").text == "2 / 3")
        driver.save_screenshot(os.path.join(OUT, "line-dashboard-offline.png"))

        # Its row as it could have been left: a board written again after
        # its link failed, in amber with its retry; a retry that is no
        # small number is a plain writing slot.
        slot = ("jsonb_build_object('port', 'COM%d', 'state', 'writing', 'percent', 40, "
                "'failure', '', 'retry', %s, 'retries', 2)")
        pg.psql("line3", "UPDATE stations SET slots = jsonb_build_array(%s, %s, %s, %s) WHERE "
                         "name = 'Line 3 / St 1'; SELECT pg_notify('quelmar_stations', "
                         "'Line 3 / St 1')" % (slot % (1, "1"), slot % (2, "'\"<b>\"'::jsonb"),
                                                slot % (3, "1000"), slot % (4, "0")))
        st1 = wait_until("a slot under retry", lambda: (lambda t: t if t["slots"][0] == "retry"
                                                        else None)(by_name()["Line 3 / St 1"]))
        check("the retry in words", st1["slot_words"] == ["RETRY 1/2", "40%", "40%", "40%"], st1)
        check("the states", st1["slots"] == ["retry", "writing", "writing", "writing"], st1)
        check("the retry in amber", st1["slot_colours"][0] == "rgb(178, 106, 0)" and
              st1["slot_colours"][1] != st1["slot_colours"][0], st1)
        driver.save_screenshot(os.path.join(OUT, "line-dashboard-retry.png"))

        # The database away: a banner, and the page comes back by itself.
        pg.psql("postgres", "ALTER DATABASE line3 ALLOW_CONNECTIONS false")
        pg.psql("postgres", "SELECT pg_terminate_backend(pid) FROM pg_stat_activity "
                            "WHERE datname = 'line3'")
        wait_until("the database banner",
                   lambda: driver.find_element(By.ID, "db-away").is_displayed())
        banner = driver.find_element(By.ID, "db-away").text
        check("the banner names the database", "line's database quelmar@" in banner, banner)
        driver.save_screenshot(os.path.join(OUT, "line-dashboard-db-away.png"))
        pg.psql("postgres", "ALTER DATABASE line3 ALLOW_CONNECTIONS true")
        wait_until("the banner to go",
                   lambda: not driver.find_element(By.ID, "db-away").is_displayed(), limit=20)
        check("no script ran at all", not alert_open(driver))
        print("PASS: the line's page in Chromium (%d checks)" % CHECKS[0])
        return 0
    except AssertionError as e:
        print("FAIL:", e)
        if driver:
            driver.save_screenshot(os.path.join(OUT, "line-dashboard-failure.png"))
        for name in sorted(os.listdir(work)):
            if name.endswith(".out"):
                print("--- " + name)
                print(open(os.path.join(work, name), errors="replace").read()[-2000:])
        return 1
    finally:
        if driver:
            driver.quit()
        for p in list(procs.values()) + ([dashboard] if dashboard else []):
            if p.poll() is None:
                p.kill()
                p.wait()
        pg.stop()
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
