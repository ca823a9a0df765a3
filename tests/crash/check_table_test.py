#!/usr/bin/env python3
"""crash_check.py on small traces written by hand, one per way a program can
keep or lose its state and records across a power cut: each must be judged
as the strict model says, with the line that names the loss.

Usage: check_table_test.py    (exit status 0 when every case is judged right)"""

import os
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
O_WRONLY, O_RDWR, O_CREAT, O_EXCL, O_TRUNC, O_APPEND = 0o1, 0o2, 0o100, 0o200, 0o1000, 0o2000
O_DSYNC = 0o10000
O_DIRECTORY = 0o200000
D = "/w"  # the folder of every case
STATE, RECORDS = f"{D}/serial.state", f"{D}/records/line.jsonl"  # two folders


class Trace:
    """Events as fs_trace.so writes them."""

    def __init__(self):
        self.lines = ["1 10 10 start exe=/usr/bin/quelmar-cli"]
        self.ino = 100
        self.inodes = {}  # path -> its inode number, as the file system keeps it

    def add(self, text):
        self.lines.append(f"{len(self.lines) + 1} 10 11 {text}")
        return self

    def open(self, fd, path, flags, created, data=None, kind="f"):
        if created or path not in self.inodes:
            self.ino += 1
            self.inodes[path] = self.ino
        extra = "" if data is None else " data=" + (data.hex() or "-")
        return self.add(f"open fd={fd} path={path} flags={flags} created={int(created)} "
                        f"kind={kind} ino={self.inodes[path]} size={len(data or b'')}{extra}")

    def write(self, fd, off, data):
        return self.add(f"write fd={fd} off={off} len={len(data)} data={data.hex() or '-'}")

    def fsync(self, fd):
        return self.add(f"fsync fd={fd}")

    def close(self, fd):
        return self.add(f"close fd={fd}")

    def rename(self, src, dst, existed):
        self.inodes[dst] = self.inodes.pop(src)
        return self.add(f"rename from={src} to={dst} flags=0 existed={int(existed)}")

    def flush_folder(self, path=D, fd=9):
        return self.open(fd, path, O_DIRECTORY, False, kind="d").fsync(fd).close(fd)

    def board(self):
        """The board's line: the world sees something."""
        return self.open(3, "/dev/ttyUSB0", O_RDWR, False, kind="c").add("write fd=3 len=264")

    def out(self, text):
        return self.add("out len=%d text=%s" % (len(text), text.replace(" ", "%20")))

    # -- the ways a state is replaced --

    def replace(self, path, data, sync_file=True, sync_before_rename=True, sync_folder=True,
                existed=True):
        temp = os.path.join(os.path.dirname(path), "." + os.path.basename(path) + ".tmp")
        self.open(5, temp, O_RDWR | O_CREAT | O_EXCL, True).write(5, 0, data)
        if sync_file and sync_before_rename:
            self.fsync(5)
        if not sync_before_rename:
            self.rename(temp, path, existed)
            if sync_file:
                self.fsync(5)
            self.close(5)
        else:
            self.close(5).rename(temp, path, existed)
        if sync_folder:
            self.flush_folder(os.path.dirname(path))
        return self

    def rewrite_in_place(self, path, data):
        # Opened with O_TRUNC: the preload writes down no content.
        return self.open(5, path, O_WRONLY | O_TRUNC, False).write(5, 0, data).fsync(5) \
            .close(5)

    def append(self, fd, off, data, sync=True):
        self.write(fd, off, data)
        return self.fsync(fd) if sync else self


REC1 = b'{"board":1,"serial":7}\n'
REC2 = b'{"board":2,"serial":8}\n'


def state_run(**how):
    """Two boards: each reserves (the state replaced), writes, and is done."""
    t = Trace()
    t.open(4, RECORDS, O_RDWR | O_APPEND | O_CREAT, False, b"")
    t.replace(STATE, b"next 8\n", existed=False, **how).board()
    t.append(4, 0, REC1).out("board 1: OK")
    t.replace(STATE, b"next 9\n", **how).board()
    t.append(4, len(REC1), REC2).out("board 2: OK")
    return t


def records_run(sync=True, torn=False, new_file=False, sync_folder=False):
    t = Trace()
    if new_file:
        t.open(4, RECORDS, O_RDWR | O_APPEND | O_CREAT, True)
        if sync_folder:
            t.flush_folder(os.path.dirname(RECORDS))
    else:
        t.open(4, RECORDS, O_RDWR | O_APPEND | O_CREAT, False, REC1)
    t.replace(STATE, b"next 9\n").board()
    if torn:  # one record in two writes, flushed once
        t.write(4, len(REC1), REC2[:9]).write(4, len(REC1) + 9, REC2[9:]).fsync(4)
    else:
        t.append(4, len(REC1), REC2, sync)
    return t.out("board 2: OK")


def new_state_folder(sync_parent):
    t = Trace()
    t.add(f"mkdir path={D}/state")
    if sync_parent:
        t.flush_folder()
    t.replace(f"{D}/state/serial.state", b"next 8\n", existed=False)
    return t.board()


def o_dsync_records():
    t = Trace()
    t.open(4, RECORDS, O_WRONLY | O_APPEND | O_DSYNC, False, REC1)
    t.replace(STATE, b"next 9\n").board()
    return t.write(4, len(REC1), REC2).out("board 2: OK")


def stream_case():
    t = Trace()
    t.add(f"stream fd=6 path={STATE} flags={O_WRONLY | O_CREAT | O_TRUNC} created=1 kind=f "
          "ino=7 size=0")
    return t.board()


# name, trace, files watched, exit status, a text the report must hold
CASES = [
    ("state replaced in full order, records flushed", state_run(), [STATE, RECORDS], 0, ""),
    ("a state of more lines (a range, a hash) replaced the same way",
     Trace().replace(STATE, b"next 8\nrange 1 99\nsha256 ab12\n", existed=False).board()
     .replace(STATE, b"next 9\nrange 1 99\nsha256 cd34\n").board(), [STATE], 0, ""),
    ("no fsync of the state before the rename", state_run(sync_file=False), [STATE], 1,
     f"a power cut would leave {STATE} holding b'' (0 bytes), but the program had already "
     "made it b'next 8\\n' (7 bytes): the data written at #"),
    ("the rename before the state's fsync", state_run(sync_before_rename=False), [STATE], 1,
     f"a power cut could leave {STATE} holding b'' (0 bytes): neither what it held when the "
     "program last showed something (b'next 8\\n' (7 bytes)) nor what it holds when it next "
     "does (b'next 9\\n' (7 bytes)); that power cut leaves the names as the program sees them"),
    ("no fsync of the folder after the rename", state_run(sync_folder=False), [STATE], 1,
     f"a power cut would leave {STATE} holding no file, but the program had already made it "
     f"b'next 8\\n' (7 bytes): the folder {D} was not flushed (fsync) after {STATE} was "
     "renamed from"),
    ("the state rewritten in place, flushed",
     Trace().replace(STATE, b"next 8\n", existed=False).board()
     .rewrite_in_place(STATE, b"next 9\n").board(), [STATE], 1,
     "holding b'' (0 bytes): neither what it held when the program last showed something "
     "(b'next 8\\n' (7 bytes))"),
    ("a record appended and flushed before 'OK'", records_run(), [RECORDS], 0, ""),
    ("a record appended, not flushed, then 'OK'", records_run(sync=False), [RECORDS], 1,
     f"(standard output: 'board 2: OK'), a power cut would leave {RECORDS} holding "
     f"{REC1!r} ({len(REC1)} bytes), but the program had already made it"),
    ("a record in two writes, flushed once: torn in between", records_run(torn=True),
     [RECORDS], 0, ""),
    ("a records file made, its folder never flushed", records_run(new_file=True), [RECORDS],
     1, f"the folder {D}/records was not flushed (fsync) after {RECORDS} was made at #2"),
    ("a records file made, its folder flushed",
     records_run(new_file=True, sync_folder=True), [RECORDS], 0, ""),
    ("a state in a folder made by the run, the parent not flushed", new_state_folder(False),
     [f"{D}/state/serial.state"], 1,
     f"the folder {D} was not flushed (fsync) after {D}/state was made at #2"),
    ("a state in a folder made by the run, the parent flushed", new_state_folder(True),
     [f"{D}/state/serial.state"], 0, ""),
    ("records written through O_DSYNC", o_dsync_records(), [RECORDS], 0, ""),
    ("the state written through a C stream", stream_case(), [STATE], 2,
     f"cannot follow: #2: {STATE} is written through a C stream"),
]


def main():
    failed = 0
    with tempfile.TemporaryDirectory() as work:
        for name, trace, watched, status, text in CASES:
            path = os.path.join(work, "trace.log")
            with open(path, "w") as f:
                f.write("\n".join(trace.lines) + "\n")
            run = subprocess.run([sys.executable, os.path.join(HERE, "crash_check.py"), path] +
                                 [a for w in watched for a in ("--watch", w)],
                                 stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
            ok = run.returncode == status and text in run.stdout
            print(f"{'PASS' if ok else 'FAIL'} {name}")
            if not ok:
                failed += 1
                print(f"  expected exit {status} and {text!r}\n  got exit {run.returncode}:\n  " +
                      run.stdout.replace("\n", "\n  "))
    print(f"crash-check table: {len(CASES) - failed} passed, {failed} failed")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
