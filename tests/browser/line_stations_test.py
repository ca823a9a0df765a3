#!/usr/bin/python3
"""The line's page with real stations: three `quelmar-cli station`
processes with a [line] profile on one private PostgreSQL (one with a
faulty simulated board, one on a remote port through Debian's ser2net),
`quelmar-cli line dashboard`, and the page in Chromium (headless, through
chromedriver).

Usage: line_stations_test.py QUELMAR_CLI QUELMAR_SIM APP_ELF PG_SERVER_SCRIPT OUT_DIR
Exit 0 passed, 1 failed, 77 skipped (no chromium, chromedriver, selenium,
ser2net or PostgreSQL). Screenshots go into OUT_DIR.
"""
import json
import os
import shutil
import signal
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

CLI, SIM, APP_ELF, PG_SERVER, OUT = (os.path.abspath(a) for a in sys.argv[1:6])
CHROMEDRIVER = shutil.which("chromedriver") or "/usr/bin/chromedriver"
CHROMIUM = shutil.which("chromium") or "/usr/bin/chromium"
SER2NET = shutil.which("ser2net") or "/usr/sbin/ser2net"
for tool, package in ((CHROMEDRIVER, "chromium-driver"), (CHROMIUM, "chromium"),
                      (SER2NET, "ser2net")):
    if not os.path.exists(tool):
        print("SKIP: %s is not installed" % package)
        sys.exit(77)

TOKEN = "line-token-0123456789"
HOSTILE = "<img src=x onerror=alert(1)>"
FAILURE_WORDS = "Err: 05"  # the refused block's line, as the station logs it
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


def listens(port):
    """Whether something listens on the TCP port, by the kernel's table:
    connecting would take ser2net's only client place."""
    entry = ":%04X 00000000:0000 0A" % port
    with open("/proc/net/tcp") as f:
        return any(entry in line for line in f)


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
  ok: t.querySelector('.count-ok').textContent,
  failed: t.querySelector('.count-failed').textContent}));
"""


def main():
    os.makedirs(OUT, exist_ok=True)
    work = tempfile.mkdtemp(prefix="quelmar-line-stations-")
    env = dict(os.environ, QUELMAR_PORT_DIR=os.path.join(work, "ports"))
    os.makedirs(env["QUELMAR_PORT_DIR"])
    shutil.copy(APP_ELF, os.path.join(work, "app.elf"))
    pg = Postgres(work)
    pg.start()
    sims = {}
    stations = {}
    others = []
    driver = None

    def sim(com, *extra):
        """A board on COM<com>, still there once written (its application
        runs), as a board on a fixture is until the operator takes it."""
        sims[com] = subprocess.Popen([SIM, "--com", str(com), "--after-reboot", "silent",
                                      "--erase-ms", "10", "--quiet"] + list(extra),
                                     stdout=subprocess.PIPE, env=env)
        wait_until("COM%d" % com, lambda: os.path.exists(
            os.path.join(env["QUELMAR_PORT_DIR"], "COM%d" % com)))

    def station(name, ports, conn):
        i = len(stations)
        profile = os.path.join(work, "st%d.toml" % i)
        with open(profile, "w") as f:
            f.write("name = %s\nports = %s\ncode = \"app.elf\"\nreboot = true\n"
                    "listen = \"127.0.0.1:%d\"\ntoken = \"station-token-0123-%d\"\n"
                    "[[field]]\nname = \"serial\"\nat = 0x1A07FF00\npool = \"serial\"\n"
                    "[line]\ndatabase = %s\nstation = %s\n"
                    % (json.dumps(name), json.dumps(ports), free_port(), i, json.dumps(conn),
                       json.dumps(name)))
        stations[name] = subprocess.Popen(
            [CLI, "station", profile], stdout=open(os.path.join(work, "st%d.out" % i), "w"),
            stderr=subprocess.STDOUT, env=env, cwd=work)

    def boards(where=""):
        return pg.psql("line3", "SELECT count(*) FROM boards " + where)

    def row(name, what):
        return pg.psql("line3", "SELECT %s FROM stations WHERE name = '%s'" % (what, name))

    try:
        pg.psql("postgres", "CREATE DATABASE line3")
        conn = pg.conn("line3")
        for args in (["init"], ["pool", "add", "serial", "--format", "u32le", "--start",
                                "500000"]):
            r = subprocess.run([CLI, "line"] + args + ["--db", conn], capture_output=True,
                               text=True)
            check("line " + args[0], r.returncode == 0, r.stderr)

        # The remote board: a simulator's pty behind ser2net's RFC 2217 port.
        remote_sim = subprocess.Popen([SIM, "--after-reboot", "silent", "--erase-ms", "10",
                                       "--quiet"], stdout=subprocess.PIPE, env=env)
        others.append(remote_sim)
        pty = remote_sim.stdout.readline().decode().strip()
        remote_port = free_port()
        with open(os.path.join(work, "ser2net.yaml"), "w") as f:
            f.write("connection: &board\n  accepter: telnet(rfc2217),tcp,127.0.0.1,%d\n"
                    "  connector: serialdev,%s,115200n81,local\n" % (remote_port, pty))
        others.append(subprocess.Popen(
            [SER2NET, "-n", "-u", "-P", os.path.join(work, "ser2net.pid"), "-c",
             os.path.join(work, "ser2net.yaml")], stdout=open(os.path.join(work, "ser2net.out"),
                                                             "w"), stderr=subprocess.STDOUT))
        wait_until("ser2net to listen", lambda: listens(remote_port))
        remote = "rfc2217://127.0.0.1:%d" % remote_port

        for com in (51, 52, 53):
            sim(com)
        sim(54, "--fault", "error=05@block=A:3")
        station("St 1", ["COM51", "COM52"], conn)
        station("St 2", ["COM53", "COM54"], conn)
        station("St 3 remote", [remote], conn)

        port = free_port()
        base = "http://127.0.0.1:%d" % port
        others.append(subprocess.Popen(
            [CLI, "line", "dashboard", "--db", conn, "--listen", "127.0.0.1:%d" % port, "--token",
             TOKEN], stdout=open(os.path.join(work, "dashboard.out"), "w"),
            stderr=subprocess.STDOUT))
        wait_until("the dashboard to answer", lambda: status_of(base + "/api/state") == 200)

        options = webdriver.ChromeOptions()
        options.binary_location = CHROMIUM
        for arg in ["--headless=new", "--no-sandbox", "--disable-gpu", "--disable-quic",
                    "--no-first-run", "--disable-background-networking",
                    "--disable-component-update", "--disable-sync", "--window-size=1600,1000",
                    "--user-data-dir=" + os.path.join(work, "chromium")]:
            options.add_argument(arg)
        driver = webdriver.Chrome(service=Service(CHROMEDRIVER), options=options)
        driver.set_script_timeout(10)
        driver.get(base + "/")
        tiles = lambda: driver.execute_script(TILES_JS)
        by_name = lambda: {t["name"]: t for t in tiles()}

        # Five boards: four written, the faulty one failed; the tiles show
        # each station's slots as its boards ended.
        wait_until("five boards filed", lambda: boards() == "5", limit=60)
        expected = pg.psql("line3", "SELECT count(*) FILTER (WHERE result = 'ok') || ' ' || "
                                    "count(*) FILTER (WHERE result <> 'ok') FROM boards")
        check("4 OK, 1 failed in the boards table", expected == "4 1", expected)
        want = {"St 1": ["ok", "ok"], "St 2": ["ok", "failed"], "St 3 remote": ["ok"]}
        wait_until("the three tiles with their slots",
                   lambda: {n: t["slots"] for n, t in by_name().items()} == want, limit=15)
        wait_until("the totals of the boards table", lambda: " ".join(
            driver.find_element(By.ID, i).text for i in ("total-ok", "total-failed")) == expected)
        counts = {n: (t["ok"], t["failed"]) for n, t in by_name().items()}
        check("each tile's counts", counts == {"St 1": ("2", "0"), "St 2": ("1", "1"),
                                               "St 3 remote": ("1", "0")}, counts)
        check("RUNNING in words", all(t["word"] == "RUNNING" for t in tiles()), tiles())
        check("stations up", driver.find_element(By.ID, "up").text == "3 / 3")
        failure = pg.psql("line3", "SELECT station || '|' || port || '|' || (record -> 'fields' "
                                   "->> 'serial') || '|' || (record ->> 'failure') FROM boards "
                                   "WHERE result <> 'ok'").split("|")
        check("the failure's line in its record", FAILURE_WORDS in failure[3], failure)
        rows = wait_until("the failure listed", lambda: driver.execute_script(
            "return Array.from(document.querySelectorAll('#failures tbody tr')).map(r =>"
            " Array.from(r.cells).map(c => c.textContent));"))
        check("one failure listed", len(rows) == 1, rows)
        check("its station, port, serial and line", rows[0][1:] == [
            "St 2", "COM54", "serial " + failure[2], failure[3]], (rows, failure))
        driver.save_screenshot(os.path.join(OUT, "line-stations.png"))

        # Controls: refused without the token, from a foreign Origin, by GET.
        status = driver.execute_async_script(
            "const done = arguments[0];"
            "fetch('/api/station/St%201/pause', {method: 'POST'}).then(r => done(r.status));")
        check("a control without the token is refused", status == 401, status)
        foreign = urllib.request.Request(base + "/api/station/St%201/pause", method="POST",
                                         data=b"", headers={"X-Quelmar-Token": TOKEN,
                                                            "Origin": "http://evil.example"})
        check("a control from a foreign origin is refused", status_of(foreign) == 403)
        check("a control by GET is refused", status_of(base + "/api/station/St%201/pause") == 405)
        check("St 1 still runs", row("St 1", "run") == "running")

        # Pause on St 1's tile: St 1 starts no new board, St 2 does.
        tile = [t for t in driver.find_elements(By.CSS_SELECTOR, "#stations .station")
                if t.get_attribute("data-name") == "St 1"][0]
        tile.find_element(By.CSS_SELECTOR, ".actions .pause").click()
        wait_until("the token dialog",
                   lambda: driver.find_element(By.ID, "token-view").is_displayed())
        driver.find_element(By.ID, "token-input").send_keys(TOKEN)
        driver.find_element(By.ID, "token-ok").click()
        wait_until("St 1 to show PAUSED", lambda: by_name()["St 1"]["word"] == "PAUSED")
        check("the others run", [by_name()[n]["word"] for n in ("St 2", "St 3 remote")] ==
              ["RUNNING", "RUNNING"], tiles())
        # New boards on COM51 (St 1) and COM53 (St 2): the old ones taken
        # away first, as an operator does.
        for com, name, index in ((51, "St 1", 0), (53, "St 2", 0)):
            sims[com].send_signal(signal.SIGTERM)
            sims[com].wait(10)
            wait_until("%s's slot to go" % name, lambda: row(
                name, "slots -> %d ->> 'state'" % index) == "gone", limit=15)
            sim(com)
        wait_until("St 2's new board", lambda: boards("WHERE station = 'St 2'") == "3", limit=30)
        wait_until("St 1's new board waiting on the page", lambda: by_name()["St 1"]["slots"][0] ==
                   "waiting", limit=15)
        check("St 1 started no board while paused", boards("WHERE station = 'St 1'") == "2")
        check("St 1 still paused", row("St 1", "run") == "paused")
        out = open(os.path.join(work, "st0.out"), errors="replace").read()
        check("St 1's board was not touched", "COM51: board 2" not in out, out)

        # A station killed: OFFLINE within 12 s, the others not.
        stations["St 3 remote"].kill()
        stations["St 3 remote"].wait()
        killed = time.monotonic()
        wait_until("the killed station to show OFFLINE",
                   lambda: by_name()["St 3 remote"]["word"] == "OFFLINE", limit=12)
        print("killed to OFFLINE on the page: %.1f s" % (time.monotonic() - killed))
        check("stations up", driver.find_element(By.ID, "up").text == "2 / 3")
        check("the others are not", [by_name()[n]["word"] for n in ("St 1", "St 2")] ==
              ["PAUSED", "RUNNING"], tiles())

        # The line as a supervisor sees it: one station paused, one with a
        # failed board, one gone.
        time.sleep(1)  # the page's last drawing
        driver.save_screenshot(os.path.join(OUT, "line-stations-offline.png"))

        # A station named as an attacker would: text, no element, no script.
        station(HOSTILE, ["COM59"], conn)
        wait_until("the hostile station's tile", lambda: HOSTILE in by_name(), limit=20)
        check("no element came from the name",
              driver.execute_script("return document.querySelectorAll('img').length") == 0)
        check("no script ran", not alert_open(driver))
        check("stations up", driver.find_element(By.ID, "up").text == "3 / 4")

        # Stop from the line's page: the station ends and its row says so.
        r = urllib.request.Request(base + "/api/station/St%202/stop", method="POST", data=b"",
                                   headers={"X-Quelmar-Token": TOKEN})
        check("Stop is taken", status_of(r) == 202)
        stations["St 2"].wait(30)
        check("St 2 ended", stations["St 2"].returncode is not None)
        check("its last state written", row("St 2", "run") == "stopped")
        check("no script ran at all", not alert_open(driver))
        print("PASS: three stations on the line's page in Chromium (%d checks)" % CHECKS[0])
        return 0
    except (AssertionError, subprocess.TimeoutExpired) as e:
        print("FAIL:", e)
        if driver:
            driver.save_screenshot(os.path.join(OUT, "line-stations-failure.png"))
        for name in sorted(os.listdir(work)):
            if name.endswith(".out"):
                print("--- " + name)
                print(open(os.path.join(work, name), errors="replace").read()[-2000:])
        return 1
    finally:
        if driver:
            driver.quit()
        for p in list(stations.values()) + list(sims.values()) + others:
            if p.poll() is None:
                p.kill()
                p.wait()
        pg.stop()
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
