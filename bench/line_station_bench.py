#!/usr/bin/python3
"""The line against state files (not a test: nothing asserts a time).

  line_station_bench.py CLI SIM PG_SERVER_SCRIPT [--rounds N] [--kib N]

Four station processes (quelmar-cli flash, one paced board each, a serial
number, a MAC address and a records file) at once on one set of values:
the line's pools in a private PostgreSQL (fsync on, over TCP with a
password), against four processes sharing the same state files. The two
alternate for --rounds rounds (default 3); each process's wall time, from
its start (the profile read, the database reached) to its end (the record
filed), is one sample. Prints the medians and their ratio, line / state
files (goal: at most 1.02), and fails only when a value was given twice.
"""
import json
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

CLI, SIM, PG_SERVER = (os.path.abspath(a) for a in sys.argv[1:4])
ROUNDS = 3
KIB = 128
args = sys.argv[4:]
while args:
    if args[0] == "--rounds" and len(args) > 1:
        ROUNDS = int(args[1])
    elif args[0] == "--kib" and len(args) > 1:
        KIB = int(args[1])
    else:
        raise SystemExit(__doc__)
    args = args[2:]
STATIONS = 4
PASSWORD = "bench-line-password"


def run(*command, env=None):
    return subprocess.run(command, check=True, capture_output=True, text=True, env=env)


def sim(work, name):
    """A paced board: its device path and its process."""
    process = subprocess.Popen([SIM, "--pace", "--quiet", "--erase-ms", "10"],
                               stdout=subprocess.PIPE, text=True)
    return process.stdout.readline().strip(), process


def main():
    work = tempfile.mkdtemp(prefix="line-station-bench.")
    env_file = os.path.join(work, "pg.env")
    environment = dict(os.environ, QUELMAR_PG_FSYNC="on")
    run(PG_SERVER, "start", env_file, env=environment)
    try:
        pg = dict(line.strip().split("=", 1) for line in open(env_file) if "=" in line)
        psql = [os.path.join(pg["QUELMAR_PG_BIN"], "psql"), "-X", "-q", "-h",
                pg["QUELMAR_PG_SOCKET"], "-p", pg["QUELMAR_PG_PORT"], "-U", "quelmar", "-d",
                "postgres", "-c"]
        run(*psql, f"CREATE ROLE station LOGIN PASSWORD '{PASSWORD}'")
        run(*psql, "CREATE DATABASE line OWNER station")
        environment = dict(os.environ, PGPASSWORD=PASSWORD)
        db = f"host=127.0.0.1 port={pg['QUELMAR_PG_PORT']} user=station dbname=line"
        run(CLI, "line", "init", "--db", db, env=environment)
        run(CLI, "line", "pool", "add", "serial", "--format", "u32le", "--start", "100000",
            "--db", db, env=environment)
        run(CLI, "line", "pool", "add", "mac", "--format", "mac", "--start",
            "02:51:4D:00:00:00", "--db", db, env=environment)

        with open(os.path.join(work, "bank.bin"), "wb") as f:
            f.write(os.urandom(KIB * 1024))
        run(CLI, "pack-code", "-o", os.path.join(work, "app.fcode"), "--bank-a",
            os.path.join(work, "bank.bin"))
        fields = ('[[field]]\nname = "serial"\nat = 0x1A000100\noverwrite = true\n{serial}\n'
                  '[[field]]\nname = "mac"\nat = 0x1A000110\nformat = "mac"\n'
                  'overwrite = true\n{mac}\n')
        for s in range(STATIONS):
            with open(os.path.join(work, f"line{s}.toml"), "w") as f:
                f.write(f'code = "app.fcode"\nrecords = "line{s}.jsonl"\n'
                        f'[line]\ndatabase = "{db}"\nstation = "st{s}"\n' +
                        fields.format(serial='pool = "serial"', mac='pool = "mac"'))
            with open(os.path.join(work, f"state{s}.toml"), "w") as f:
                f.write(f'code = "app.fcode"\nrecords = "state{s}.jsonl"\n' +
                        fields.format(serial='start = 100000\nstate = "serial.state"',
                                      mac='start = "02:51:4D:00:00:00"\nstate = "mac.state"'))

        times = {"line": [], "state": []}
        for round_ in range(ROUNDS):
            for kind in ("line", "state") if round_ % 2 == 0 else ("state", "line"):
                boards = [sim(work, f"{kind}{s}") for s in range(STATIONS)]
                started = []
                for s, (device, _) in enumerate(boards):
                    profile = os.path.join(work, f"{kind}{s}.toml")
                    started.append((time.monotonic(), subprocess.Popen(
                        [CLI, "flash", device, "--profile", profile], env=environment,
                        stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)))
                for start, process in started:
                    _, err = process.communicate(timeout=600)
                    if process.returncode != 0:
                        raise SystemExit(f"a {kind} station failed: {err}")
                    times[kind].append(time.monotonic() - start)
                for _, process in boards:
                    process.terminate()
                    process.wait()
                print(f"round {round_ + 1} {kind:5}: " +
                      " ".join(f"{t:.2f}" for t in times[kind][-STATIONS:]) + " s", flush=True)

        given = {"line": set(), "state": set()}
        count = 0
        for kind in given:
            for s in range(STATIONS):
                for line in open(os.path.join(work, f"{kind}{s}.jsonl")):
                    record = json.loads(line)
                    given[kind].add((record["fields"]["serial"], record["fields"]["mac"]))
                    count += 1
        twice = count != len(given["line"]) + len(given["state"])
        line_median = statistics.median(times["line"])
        state_median = statistics.median(times["state"])
        print(f"Four stations, one paced board each ({KIB} KiB), {ROUNDS} rounds: "
              f"line {line_median:.2f} s, state files {state_median:.2f} s (medians); "
              f"ratio {line_median / state_median:.3f}")
        print("every value once" if not twice else "A VALUE WAS GIVEN TWICE")
        return 1 if twice else 0
    finally:
        run(PG_SERVER, "stop", env_file)
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
