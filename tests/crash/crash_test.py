#!/usr/bin/env python3
"""A power cut at any moment of a production run, checked without one:
quelmar-cli flash --auto writes board after board (simulated, in turn on one
port) with fields and a records file while fs_trace.so writes down its file
operations; crash_check.py then replays them against what a power cut
leaves and checks, at every moment the board's line or standard output
shows something, that the state and records files are already on the disk.

Usage: crash_test.py QUELMAR_CLI QUELMAR_SIM FS_TRACE_SO [--only TEXT] [--keep]

Exit status 0 when every case holds, 1 when one does not, 77 (skipped)
where the preload cannot follow this build of quelmar-cli."""

import argparse
import json
import os
import random
import shutil
import struct
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
CHECK = os.path.join(HERE, "crash_check.py")
PORT = 57
SERIAL_AT = 0x1A07FF00
MAC_AT = 0x1A07FF10
LABEL_AT = 0x1A07FF20
START = 100000

# A record from an earlier run, as a line's records file holds.
EARLIER = '{"board":1,"fields":{"serial":99999},"result":"ok"}\n'

# Each case: the options beside the port and code, the files it watches
# (relative to the case's folder), the fields read back from the boards,
# files and folders there before the run, and the boards in turn.
# "fails_today" marks a case that shows a fault of today's code: it must
# fail with that text, and fails the test once it passes (then drop the
# mark).
CASES = [
    {
        "name": "serial number, records file made beside its state",
        "options": ["--serial-at", hex(SERIAL_AT), "--serial-state", "serial.state",
                    "--serial-start", str(START), "--records", "records.jsonl"],
        "watch": ["serial.state", "records.jsonl"],
        "fields": {"serial": SERIAL_AT},
        "boards": 3,
    },
    {
        "name": "profile: serial, MAC and list fields, --json, records in their folder",
        "profile": f"""code = "app.fcode"
records = "records/line.jsonl"

[[field]]
name = "serial"
at = {SERIAL_AT:#x}
start = {START}
state = "state/serial.state"

[[field]]
name = "mac"
at = {MAC_AT:#x}
format = "mac"
start = "02:51:4D:00:00:FE"
state = "state/mac.state"

[[field]]
name = "label"
at = {LABEL_AT:#x}
format = "text"
size = 8
list = "labels.txt"
state = "state/label.state"
""",
        "folders": ["records", "state"],
        "files": {"labels.txt": "L-01\nL-02\nL-03\n", "records/line.jsonl": EARLIER},
        "options": ["--json"],
        "watch": ["state/serial.state", "state/mac.state", "state/label.state",
                  "records/line.jsonl"],
        "fields": {"serial": SERIAL_AT},
        "boards": 2,
    },
    {
        "name": "records file and its folder made by the run",
        "options": ["--serial-at", hex(SERIAL_AT), "--serial-state", "serial.state",
                    "--serial-start", str(START), "--records", "new/records.jsonl"],
        "watch": ["serial.state", "new/records.jsonl"],
        "fields": {"serial": SERIAL_AT},
        "boards": 2,
    },
]


class Failed(Exception):
    pass


def expect(condition, message):
    if not condition:
        raise Failed(message)


def run_case(case, cli, sim, preload, work):
    folder = os.path.join(work, "case")
    ports = os.path.join(work, "ports")
    for d in (folder, ports):
        shutil.rmtree(d, ignore_errors=True)
        os.makedirs(d)
    os.chmod(ports, 0o700)  # a port folder the program trusts: ours alone
    rng = random.Random(20261209)
    bank_a = bytes(rng.getrandbits(8) for _ in range(6000))
    with open(os.path.join(folder, "a.bin"), "wb") as f:
        f.write(bank_a)
    subprocess.run([cli, "pack-code", "-o", os.path.join(folder, "app.fcode"), "--bank-a",
                    os.path.join(folder, "a.bin")], check=True, stdout=subprocess.DEVNULL)
    for name in case.get("folders", []):
        os.makedirs(os.path.join(folder, name))
    for name, text in case.get("files", {}).items():
        with open(os.path.join(folder, name), "w") as f:
            f.write(text)
    boards = case["boards"]
    args = [cli, "flash", f"COM{PORT}", "--auto", "--count", str(boards), "--reboot"]
    if "profile" in case:
        with open(os.path.join(folder, "line.toml"), "w") as f:
            f.write(case["profile"])
        args += ["--profile", "line.toml"]
    else:
        args += ["--code", "app.fcode"]
    args += case["options"]
    trace = os.path.join(work, "trace.log")
    if os.path.exists(trace):
        os.unlink(trace)
    env = dict(os.environ, QUELMAR_PORT_DIR=ports)
    traced = traced_env(env, preload, trace)
    out, err = os.path.join(work, "cli.out"), os.path.join(work, "cli.err")
    with open(out, "w") as out_file, open(err, "w") as err_file:
        program = subprocess.Popen(args, cwd=folder, env=traced, stdout=out_file,
                                   stderr=err_file)
    dumps = []
    try:
        # Board after board on one port: each hangs up after its reboot (it
        # is unplugged) and the next is plugged in under the same number.
        for board in range(1, boards + 1):
            dump = os.path.join(work, f"board{board}.a")
            if os.path.exists(dump):
                os.unlink(dump)
            status = subprocess.run([sim, "--com", str(PORT), "--force", "--after-reboot",
                                     "hangup", "--dump-code-a", dump, "--quiet"], env=env,
                                    stdout=subprocess.DEVNULL, timeout=90).returncode
            expect(status == 3, f"board {board}: quelmar-sim ended with {status}, not 3 "
                   "(hung up after its reboot)")
            dumps.append(dump)
        status = program.wait(timeout=60)
    except subprocess.TimeoutExpired:
        program.kill()
        program.wait()
        raise Failed("quelmar-cli or a board hung; its output:\n" + read(out) + read(err))
    finally:
        if program.poll() is None:
            program.kill()
            program.wait()
    stdout, stderr = read(out), read(err)
    expect(status == 0, f"quelmar-cli ended with {status}:\n{stdout}{stderr}")

    # What the boards got, and what the records say: one value each.
    values = {name: [] for name in case["fields"]}
    for dump in dumps:
        with open(dump, "rb") as f:
            flash = f.read()
        for name, at in case["fields"].items():
            values[name].append(struct.unpack_from("<I", flash, at - 0x1A000000)[0])
    for name, got in values.items():
        expect(got == [START + i for i in range(boards)],
               f"the boards' {name} values are {got}")
    records_file = [w for w in case["watch"] if w.endswith(".jsonl")][0]
    with open(os.path.join(folder, records_file)) as f:
        records = [json.loads(line) for line in f]
    if records_file in case.get("files", {}):
        records = records[1:]
    expect([r["fields"]["serial"] for r in records] == values["serial"],
           f"records: {[r['fields'] for r in records]}")

    watched = [os.path.realpath(os.path.join(folder, w)) for w in case["watch"]]
    summary_path = os.path.join(work, "summary.json")
    check = subprocess.run([sys.executable, CHECK, trace, "--program", "quelmar-cli",
                            "--summary", summary_path] +
                           [a for w in watched for a in ("--watch", w)],
                           stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
    report = check.stdout.strip()
    with open(summary_path) as f:
        summary = json.load(f)
    # The check saw the run: the board's line and the promises it judges.
    expect(summary["line_writes"] > boards * 10,
           f"the trace holds {summary['line_writes']} writes to the board's line\n{report}")
    done = summary["stdout"].count('"type":"record"') >= boards if "--json" in args else \
        f"board {boards}: OK" in summary["stdout"]
    expect(done, f"the trace misses what stdout said of the boards\n{report}")
    for path in watched:
        expect(summary["changes"].get(path, 0) >= boards,
               f"the trace shows {summary['changes'].get(path, 0)} changes of {path}, "
               f"not one per board at least\n{report}")
    known = case.get("fails_today", "").replace("{folder}", os.path.realpath(folder))
    if known:
        expect(check.returncode != 0,
               "the check now passes: the fault it showed is mended; drop \"fails_today\" "
               f"from this case\n{report}")
        expect(known in report, f"the check failed, but not with \"{known}\":\n{report}")
        return "fails as today's code does: " + [line for line in report.splitlines()
                                                 if known in line][0]
    expect(check.returncode == 0, report)
    return report.splitlines()[0]


def read(path):
    with open(path, errors="replace") as f:
        return f.read()


def traced_env(env, preload, trace):
    """The environment that puts the preload into quelmar-cli. A sanitizer
    build's runtime wants to come first among the libraries; the preload
    is not instrumented and only forwards, so that order does not matter."""
    asan = env.get("ASAN_OPTIONS", "")
    return dict(env, LD_PRELOAD=preload, QUELMAR_FS_TRACE=trace,
                ASAN_OPTIONS=(asan + ":" if asan else "") + "verify_asan_link_order=0")


def preload_runs(cli, preload, work):
    """Whether the preload goes into this build's quelmar-cli and writes
    its trace."""
    trace = os.path.join(work, "probe.log")
    probe = subprocess.run([cli, "--version"], env=traced_env(os.environ, preload, trace),
                           stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
    if probe.returncode != 0 or not os.path.exists(trace):
        print("crash: quelmar-cli does not run with the preload:\n" + probe.stdout)
        return False
    with open(trace) as f:
        return " out len=" in f.read()


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("cli")
    parser.add_argument("sim")
    parser.add_argument("preload")
    parser.add_argument("--only", action="append", default=[])
    parser.add_argument("--keep", action="store_true", help="keep the work folder")
    args = parser.parse_args()
    args.cli, args.sim, args.preload = (os.path.abspath(p)
                                        for p in (args.cli, args.sim, args.preload))
    if not sys.platform.startswith("linux"):
        print("crash: Linux only; skipped")
        return 77
    failed = 0
    work_root = tempfile.mkdtemp(prefix="quelmar-crash-")
    try:
        if not preload_runs(args.cli, args.preload, work_root):
            print("crash: the preload cannot follow this build of quelmar-cli; skipped")
            return 77
        for i, case in enumerate(CASES):
            if args.only and not any(o in case["name"] for o in args.only):
                continue
            work = os.path.join(work_root, str(i))
            os.makedirs(work)
            started = time.monotonic()
            try:
                seen = run_case(case, args.cli, args.sim, args.preload, work)
                print(f"PASS {case['name']} ({time.monotonic() - started:.1f} s)\n  {seen}")
            except Failed as e:
                failed += 1
                print(f"FAIL {case['name']} ({time.monotonic() - started:.1f} s)\n  " +
                      str(e).replace("\n", "\n  "))
    finally:
        if args.keep:
            print("crash: work folder kept: " + work_root)
        else:
            shutil.rmtree(work_root, ignore_errors=True)
    print(f"crash: {failed} failed")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
