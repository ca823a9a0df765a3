#!/usr/bin/python3
"""What running a released job costs a station (not a test: nothing asserts a time).

  job_bench.py CLI SIM PG_SERVER LINE_BENCH [--rounds N] [--paced-rounds N]
               [--paced-banks 1|2] [--boards N] [--quick]

A private PostgreSQL (fsync on, over TCP with a password, an engineer's
role releasing, a station's role running). The job: a .fcode of two
512 KiB code banks (pack-code) and a serial number from a pool, released
with `job release`; the same profile run from its local files, with the
same [line] and field, is what it is measured against.

1. Start to first board: the wall time of `quelmar-cli flash PORT --profile`
   against one unpaced simulated board (--erase-ms 10), from its start to
   its end (the record filed), job against local files, alternating for
   --rounds rounds (default 5): medians, their difference in ms (goal:
   under 1000 ms more), and the part before the board's start (its
   record's time_start).
2. Eight paced boards (quelmar-sim --pace, one flash with 8 ports), each
   board's time from its record (time_end - time_start), job against local
   files, alternating for --paced-rounds rounds (default 2), with a job of
   --paced-banks banks (default 1, bank A: a written bank is sent whole,
   512 KiB, ~50 s at 115200 baud): medians and their ratio (goal: at most
   1.01).
3. The spool-before-file cost per board: line_bench --quick, its spool step.

--quick: 3 rounds, 1 paced round. Fails only when a run
failed or a board got other bytes than the job's.
"""
import argparse
import os
import re
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

parser = argparse.ArgumentParser()
for name in ("cli", "sim", "pg_server", "line_bench"):
    parser.add_argument(name, type=os.path.abspath)
parser.add_argument("--rounds", type=int, default=5)
parser.add_argument("--paced-rounds", type=int, default=2)
parser.add_argument("--paced-banks", type=int, choices=(1, 2), default=1)
parser.add_argument("--boards", type=int, default=8)
parser.add_argument("--quick", action="store_true")
args = parser.parse_args()
if args.quick:
    args.rounds, args.paced_rounds = 3, 1
PASSWORD = "bench-job-password"
SERIAL_AT = 0x100


def run(*command, **kw):
    r = subprocess.run(command, capture_output=True, text=True, **kw)
    if r.returncode != 0:
        raise SystemExit("%s failed: %s%s" % (" ".join(command[:3]), r.stdout, r.stderr))
    return r.stdout


class Line:
    """The private server, its roles and a line's database in it."""

    def __init__(self, work):
        self.env_file = os.path.join(work, "pg.env")
        run(args.pg_server, "start", self.env_file, env=dict(os.environ, QUELMAR_PG_FSYNC="on"))
        pg = dict(l.strip().split("=", 1) for l in open(self.env_file) if "=" in l)
        self.psql = [os.path.join(pg["QUELMAR_PG_BIN"], "psql"), "-X", "-q", "-At", "-h",
                     pg["QUELMAR_PG_SOCKET"], "-p", pg["QUELMAR_PG_PORT"], "-U", "quelmar"]
        for sql in ("CREATE ROLE quelmar_station NOLOGIN", "CREATE ROLE quelmar_supervisor NOLOGIN",
                    "CREATE ROLE quelmar_engineer NOLOGIN",
                    f"CREATE ROLE engineer LOGIN IN ROLE quelmar_engineer PASSWORD '{PASSWORD}'",
                    f"CREATE ROLE station_a LOGIN IN ROLE quelmar_station PASSWORD '{PASSWORD}'",
                    "CREATE DATABASE line OWNER engineer"):
            self.sql(sql, "postgres")
        self.env = dict(os.environ, PGPASSWORD=PASSWORD)
        tcp = f"host=127.0.0.1 port={pg['QUELMAR_PG_PORT']} dbname=line user="
        self.engineer, self.station = tcp + "engineer", tcp + "station_a"
        for command in (["line", "init"], ["line", "station", "add", "st1", "--role", "station_a"],
                        ["line", "pool", "add", "serial", "--format", "u32le", "--start", "100000"]):
            run(args.cli, *command, "--db", self.engineer, env=self.env)

    def sql(self, sql, db="line"):
        return run(*self.psql, "-d", db, "-c", sql)

    def stop(self):
        subprocess.run([args.pg_server, "stop", self.env_file], capture_output=True)


def boards(paced, count, dump=None):
    """count simulated boards: their devices and processes."""
    extra = (["--pace"] if paced else []) + (["--dump-code-a", dump] if dump else [])
    sims = [subprocess.Popen([args.sim, "--quiet", "--erase-ms", "10"] + extra,
                             stdout=subprocess.PIPE, text=True) for _ in range(count)]
    return [p.stdout.readline().strip() for p in sims], sims


def stop(sims):
    for p in sims:
        p.terminate()
        p.wait()


def check_bank(dump, bank):
    """Bank A as the board got it: the job's bytes, the serial number aside."""
    with open(dump, "rb") as f:
        got = f.read(len(bank))
    if got[:SERIAL_AT] + got[SERIAL_AT + 4:] != bank[:SERIAL_AT] + bank[SERIAL_AT + 4:]:
        raise SystemExit(f"{dump}: the board got other bytes than the job's")


def flash(line, profile, devices, seen):
    """One flash run: its wall time, its start (epoch s), and the new boards'
    rows (time_start epoch, seconds, job)."""
    started, t0 = time.time(), time.monotonic()
    r = subprocess.run([args.cli, "flash", *devices, "--profile", profile], env=line.env,
                       capture_output=True, text=True, timeout=1800)
    wall = time.monotonic() - t0
    if r.returncode != 0:
        raise SystemExit(f"flash --profile {profile} failed: {r.stdout}{r.stderr}")
    rows = []
    for l in line.sql("SELECT id, extract(epoch FROM time_start), extract(epoch FROM time_end - "
                      "time_start), result, coalesce(job || '@' || job_version, '-') "
                      "FROM boards").splitlines():
        id_, start, seconds, result, job = l.split("|")
        if id_ not in seen:
            seen.add(id_)
            if result != "ok":
                raise SystemExit(f"a board of {profile} ended {result}")
            rows.append((float(start), float(seconds), job))
    if len(rows) != len(devices):
        raise SystemExit(f"{profile}: {len(rows)} boards filed of {len(devices)}")
    return wall, started, rows


def write_job(line, work, tag, banks):
    """A job of 1 or 2 full 512 KiB banks, released as widget-TAG: its
    profiles (job, local) and bank A's bytes."""
    fcode = os.path.join(work, f"{tag}.fcode")
    command = [args.cli, "pack-code", "-o", fcode]
    for name in "ab"[:banks]:
        with open(os.path.join(work, f"{tag}.{name}.bin"), "wb") as f:
            f.write(os.urandom(512 * 1024))
        command += [f"--bank-{name}", f.name]
    run(*command)
    fields = 'name = "serial"\nat = 0x1A000100\noverwrite = true\npool = "serial"\n'
    release = os.path.join(work, f"{tag}.release.toml")
    with open(release, "w") as f:
        f.write(f'code = "{tag}.fcode"\n[line]\ndatabase = "{line.engineer}"\n[[field]]\n{fields}')
    out = run(args.cli, "job", "release", release, "--name", f"widget-{tag}", "--db",
              line.engineer, env=line.env)
    print("   " + out.split(": ", 1)[0] + f" ({os.path.getsize(fcode)} bytes of .fcode)")
    station = f'[line]\ndatabase = "{line.station}"\nstation = "st1"\n'
    profiles = {"job": station + f'job = "widget-{tag}"\n',
                "local": f'code = "{tag}.fcode"\n' + station + f"[[field]]\n{fields}"}
    for kind, text in profiles.items():
        profiles[kind] = os.path.join(work, f"{tag}.{kind}.toml")
        with open(profiles[kind], "w") as f:
            f.write(text)
    with open(os.path.join(work, f"{tag}.a.bin"), "rb") as f:
        return profiles, f.read()


def order(round_):
    return ("job", "local") if round_ % 2 == 0 else ("local", "job")


def main():
    work = tempfile.mkdtemp(prefix="quelmar-job-bench-")
    line = Line(work)
    seen = set()
    try:
        print("Load before: %.2f %.2f %.2f" % os.getloadavg())
        print(f"1. Start to first board: one unpaced board (--erase-ms 10), {args.rounds} rounds")
        profiles, bank_a = write_job(line, work, "full", 2)
        walls, lead = {"job": [], "local": []}, {"job": [], "local": []}
        for round_ in range(args.rounds):
            for kind in order(round_):
                dump = os.path.join(work, f"{kind}{round_}.a")
                devices, sims = boards(False, 1, dump)
                wall, started, rows = flash(line, profiles[kind], devices, seen)
                stop(sims)
                check_bank(dump, bank_a)
                walls[kind].append(wall)
                lead[kind].append(rows[0][0] - started)
                if kind == "job" and rows[0][2] != "widget-full@1":
                    raise SystemExit(f"the job's board names job {rows[0][2]}")
                print(f"   round {round_ + 1} {kind:5}: {wall * 1000:7.0f} ms, board started "
                      f"after {lead[kind][-1] * 1000:5.0f} ms", flush=True)
        m = {k: statistics.median(v) * 1000 for k, v in walls.items()}
        s = {k: statistics.median(v) * 1000 for k, v in lead.items()}
        print(f"   medians: job {m['job']:.0f} ms, local files {m['local']:.0f} ms: the job "
              f"{m['job'] - m['local']:+.0f} ms (goal: under 1000 ms more); the board's start "
              f"after {s['job']:.0f} ms against {s['local']:.0f} ms ({s['job'] - s['local']:+.0f})")

        print(f"2. {args.boards} paced boards, one flash, {args.paced_banks} bank(s) of 512 KiB, "
              f"{args.paced_rounds} rounds")
        profiles, _ = write_job(line, work, "paced", args.paced_banks)
        times = {"job": [], "local": []}
        for round_ in range(args.paced_rounds):
            for kind in order(round_):
                devices, sims = boards(True, args.boards)
                _, _, rows = flash(line, profiles[kind], devices, seen)
                stop(sims)
                times[kind] += [seconds for _, seconds, _ in rows]
                print(f"   round {round_ + 1} {kind:5}: " + " ".join(
                    f"{t:.2f}" for _, t, _ in sorted(rows)) + " s", flush=True)
        m = {k: statistics.median(v) for k, v in times.items()}
        print(f"   medians: job {m['job']:.2f} s, local files {m['local']:.2f} s; ratio "
              f"{m['job'] / m['local']:.3f} (goal: at most 1.01)")
    finally:
        line.stop()
        shutil.rmtree(work, ignore_errors=True)

    print("3. The spool before filing (line_bench --quick, its spool step):", flush=True)
    out = run(args.line_bench, "--quick").split("3. ", 1)[1].splitlines()[1].strip()
    spool_ms = float(re.match(r"median ([0-9.]+) ms", out).group(1))
    print(f"   {out}; the median is {100 * spool_ms / 1000 / m['local']:.3f} % of a paced "
          "board's time above (no goal of its own)")
    print("Load after: %.2f %.2f %.2f" % os.getloadavg())
    return 0


if __name__ == "__main__":
    sys.exit(main())
