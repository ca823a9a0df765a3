#!/usr/bin/env python3
"""Replays a program's file operations (written down by fs_trace.so) against
a model of what a power cut leaves, and says where the program could lose a
promise.

Usage: crash_check.py TRACE --watch PATH [--watch PATH]... [--program NAME]
                      [--summary FILE]

The model is the strict one: a file's data is on the disk only up to its
last fsync or fdatasync (or a write through O_SYNC/O_DSYNC); a name made,
renamed or removed is on the disk only once its folder is flushed (fsync
of the folder); nothing else is (no auto_da_alloc, no journal that carries
one file's flush to another). What was there before the program started is
taken to be on the disk.

Two things are checked for each watched file, on bytes and operations
alone, never on what the bytes mean:

- At every moment the world outside can see (a write to a device the
  program opened, such as the board's line, and anything it prints on
  standard output), what it has written to the file is on the disk: the
  file a power cut would leave then holds exactly what the program sees.
- At every moment at all, each file a power cut could leave (only what is
  flushed; or the names as the program sees them over only what is
  flushed, as when a rename reaches the disk before the data; or the data
  as the program wrote it under the flushed names, as when pages are
  written back before their name) holds either what the program showed
  the world last or what it shows next, or, for a file only ever
  appended to, something between the two. Never an empty or half-written
  state file.

Exit status 0 when every check holds, 1 when one does not, 2 when the
trace holds what the model cannot follow for a watched file (a write
through a C stream, a hard link)."""

import argparse
import json
import os
import sys

ABSENT = ("absent",)
O_ACCMODE = 0o3
O_RDONLY = 0
O_APPEND = 0o2000
O_TRUNC = 0o1000
O_DSYNC = 0o10000
O_SYNC = 0o4010000
RENAME_EXCHANGE = 2


class Unsupported(Exception):
    pass


def decode(text):
    """The preload's percent encoding back to bytes."""
    if text == "%":
        return b""
    out = bytearray()
    i = 0
    raw = text.encode("latin-1")
    while i < len(raw):
        if raw[i] == 0x25:
            out.append(int(raw[i + 1:i + 3], 16))
            i += 3
        else:
            out.append(raw[i])
            i += 1
    return bytes(out)


def path_of(text):
    return os.path.normpath(decode(text).decode("utf-8", "surrogateescape"))


def show(content, limit=60):
    if content == ABSENT:
        return "no file"
    if isinstance(content, tuple):
        return "what it held before the run"
    text = repr(content[:limit]) + ("..." if len(content) > limit else "")
    return f"{text} ({len(content)} bytes)"


class Inode:
    counter = 0

    def __init__(self, ino, data, directory=None):
        Inode.counter += 1
        self.id = ino if ino is not None else f"x{Inode.counter}"
        self.directory = directory  # a folder's path, for a folder
        self.data = None if data is None else bytearray(data)  # None: not known
        self.gen = 0
        self.durable = self.content()
        self.append_only = True
        self.last_write = None  # the event of the last change to the data

    def content(self):
        return bytes(self.data) if self.data is not None else ("unknown", self.id, self.gen)

    def changed(self, seq):
        self.gen += 1
        self.last_write = seq

    def flush(self):
        self.durable = self.content()


class Folder:
    def __init__(self, path, new):
        self.path = path
        self.new = new  # made during the run: holds nothing from before
        self.current = {}  # name -> Inode, or None once removed
        self.durable = {}
        self.changes = {}  # name -> (event, what)

    def flush(self):
        self.durable = dict(self.current)


class Model:
    """Names and data as the program sees them and as they are on the disk.
    A name the program never touched is left as it was before the run."""

    def __init__(self, watched):
        self.watched = [os.path.normpath(p) for p in watched]
        self.inodes = {}
        self.folders = {}
        self.fds = {}
        self.before = {}  # path -> what the name held before the run, once known

    def folder(self, path):
        if path not in self.folders:
            self.folders[path] = Folder(path, False)
        return self.folders[path]

    @staticmethod
    def lookup(folder, name, table):
        """An Inode, ABSENT, or None for a name from before the run that
        the program never touched."""
        entries = folder.current if table == "current" else folder.durable
        if name in entries:
            return entries[name] if entries[name] is not None else ABSENT
        return ABSENT if folder.new else None

    def walk(self, path):
        """(folder, name) pairs from the root down to path."""
        parts = [p for p in path.split("/") if p]
        where = "/"
        for name in parts:
            yield where, name
            where = os.path.join(where, name)

    def resolve(self, path, table):
        for where, name in self.walk(path):
            found = self.lookup(self.folder(where), name, table)
            if found is ABSENT:
                return ABSENT
        return found

    def meet(self, path, existed, ino=None, data=None):
        """The first touch of a name from before the run: as found, it was
        on the disk."""
        folder = self.folder(os.path.dirname(path))
        name = os.path.basename(path)
        if name in folder.current or folder.new:
            return
        if existed:
            inode = Inode(ino, data)
            self.inodes[inode.id] = inode
            self.before[path] = inode.content()
        else:
            inode = None
            self.before[path] = ABSENT
        folder.current[name] = inode
        folder.durable[name] = inode

    def set_name(self, path, inode, seq, what):
        folder = self.folder(os.path.dirname(path))
        name = os.path.basename(path)
        folder.current[name] = inode
        folder.changes[name] = (seq, what)

    def content(self, path, names, data):
        found = self.resolve(path, names)
        if found is ABSENT:
            return ABSENT
        if found is None:
            return self.before.get(path, ("before", path))
        if found.directory:
            return ("folder", found.directory)
        return found.content() if data == "current" else found.durable

    def canon(self, content):
        if isinstance(content, tuple) and content[0] == "before":
            return self.before.get(content[1], content)
        return content

    def why_not_durable(self, path):
        """Why what the program sees at path is not what a power cut leaves."""
        for where, name in self.walk(path):
            folder = self.folder(where)
            now = self.lookup(folder, name, "current")
            then = self.lookup(folder, name, "durable")
            full = os.path.join(where, name)
            if now is not then:
                seq, what = folder.changes.get(name, ("?", "changed"))
                return (f"the folder {where} was not flushed (fsync) after {full} was "
                        f"{what} at #{seq}")
            if now is ABSENT:
                return "?"
            if full == path and now is not None and now.content() != now.durable:
                return f"the data written at #{now.last_write} was not flushed (fsync)"
        return "?"


class Checker:
    def __init__(self, watched):
        self.model = Model(watched)
        self.violations = []  # [event, text, times seen again]
        self.repeats = {}
        self.errors = []
        self.stats = {"events": 0, "line_writes": 0, "stdout_writes": 0, "flushes": 0,
                      "changes": {p: 0 for p in self.model.watched}, "stdout": ""}
        self.shown = {}  # path -> its content when the world last saw something
        self.pending = []  # (event, its text, path, which state, content)
        self.committed = {}  # path -> contents wholly on the disk since then
        self.now = {}

    def _now(self, path):
        return self.model.canon(self.model.content(path, "current", "current"))

    # The three states a power cut can leave, beside what the program sees.
    STATES = (
        ("durable", "durable", "only what was flushed"),
        ("current", "durable", "the names as the program sees them, over only the data "
                               "flushed (a rename that reaches the disk before the data)"),
        ("durable", "current", "the data as the program wrote it under the names flushed "
                               "(pages written back before their name; a file changed in "
                               "place)"),
    )

    def _sample(self, seq, text):
        m = self.model
        for path in m.watched:
            now = self._now(path)
            if now != self.now.get(path):
                self.stats["changes"][path] += 1
            self.now[path] = now
            for names, data, what in self.STATES:
                c = m.canon(m.content(path, names, data))
                if names == data == "durable" and c == now:
                    # Everything the program sees is on the disk: a state it
                    # may come back to after a power cut.
                    self.committed.setdefault(path, set()).add(c)
                if c != m.canon(self.shown.get(path)):
                    self.pending.append((seq, text, path, what, c))

    def _settle(self):
        """A moment the world sees (or the end): every state a power cut
        could have left since the last such moment must be what was shown
        then, what is shown now, or a state the program had wholly on the
        disk in between."""
        m = self.model
        for path in m.watched:
            shown_then = m.canon(self.shown.get(path))
            shown_now = self._now(path)
            ok = {shown_then, shown_now} | {m.canon(c) for c in self.committed.get(path, ())}
            inode = m.resolve(path, "current")
            appended = isinstance(inode, Inode) and inode.append_only
            reported = set()
            for pseq, ptext, ppath, what, c in self.pending:
                c = m.canon(c)
                if ppath != path or c in ok or c in reported:
                    continue
                if c == ABSENT and b"" in ok:
                    continue  # a file made and still empty: nothing to lose
                if (appended and isinstance(c, bytes) and isinstance(shown_now, bytes) and
                        (shown_then == ABSENT or isinstance(shown_then, bytes)) and
                        shown_now.startswith(c) and
                        (shown_then == ABSENT or c.startswith(shown_then))):
                    continue  # a torn append: the reader skips it
                reported.add(c)
                self.violations.append([pseq,
                    f"after #{pseq} ({ptext}), a power cut could leave {path} holding "
                    f"{show(c)}: neither what it held when the program last showed "
                    f"something ({show(shown_then)}) nor what it holds when it next does "
                    f"({show(shown_now)}); that power cut leaves {what}", 0])
            self.shown[path] = shown_now
        self.pending = []
        self.committed = {}

    def _effect(self, seq, text):
        m = self.model
        for path in m.watched:
            on_disk = m.canon(m.content(path, "durable", "durable"))
            now = self._now(path)
            # A file made and not yet written holds nothing the program
            # could lose: no file is as good.
            if on_disk != now and {on_disk, now} != {ABSENT, b""}:
                key = (path, on_disk, now)
                if key in self.repeats:
                    self.repeats[key][2] += 1  # the same loss, seen again
                    continue
                self.repeats[key] = [seq, (
                    f"at #{seq} ({text}), a power cut would leave {path} holding "
                    f"{show(on_disk)}, but the program had already made it {show(now)}: "
                    f"{m.why_not_durable(path)}"), 0]
                self.violations.append(self.repeats[key])
        self._settle()

    def run(self, lines):
        m = self.model
        for line in lines:
            fields = line.split()
            if len(fields) < 4:
                continue
            seq, op = int(fields[0]), fields[3]
            args = dict(f.split("=", 1) for f in fields[4:])
            self.stats["events"] += 1
            if op == "start":
                self.shown = {p: self._now(p) for p in m.watched}
                self.now = dict(self.shown)
                continue
            try:
                changed = self._apply(seq, op, args)
            except Unsupported as e:
                self.errors.append(f"#{seq}: {e}")
                continue
            if changed:
                self._sample(seq, changed)
        self._settle()

    def _fd(self, args):
        return self.model.fds.get(int(args["fd"]))

    def _apply(self, seq, op, args):
        """Applies one event; a description when it may have changed what a
        power cut leaves, None otherwise."""
        m = self.model
        if op in ("open", "stream"):
            fd, path, kind = int(args["fd"]), path_of(args["path"]), args["kind"]
            flags = int(args["flags"])
            if kind == "d":
                m.fds[fd] = ("folder", path)
                return None
            if kind == "c":
                m.fds[fd] = ("device", path)
                return None
            if kind != "f":
                return None
            ino = args["ino"]
            if op == "stream" and path in m.watched and (flags & O_ACCMODE) != O_RDONLY:
                raise Unsupported(f"{path} is written through a C stream, which the trace "
                                  "cannot follow")
            if args["created"] == "1":
                m.meet(path, existed=False)
                inode = Inode(ino, b"")
                m.inodes[ino] = inode
                m.set_name(path, inode, seq, "made")
            else:
                data = args.get("data")
                known = None if data in (None, "?") else \
                    (b"" if data == "-" else bytes.fromhex(data))
                m.meet(path, True, ino, known)
                inode = m.resolve(path, "current")
                if not isinstance(inode, Inode) or inode.id != ino:
                    # A name the model lost track of (a link, say): the file
                    # as found, on the disk.
                    inode = m.inodes.get(ino) or Inode(ino, known)
                    m.inodes[ino] = inode
                    folder = m.folder(os.path.dirname(path))
                    folder.current[os.path.basename(path)] = inode
                    folder.durable.setdefault(os.path.basename(path), inode)
                if inode.data is None and known is not None and inode.gen == 0:
                    inode.data = bytearray(known)
                    inode.durable = bytes(known)
            if flags & O_TRUNC and (flags & O_ACCMODE) != O_RDONLY:
                inode.data = bytearray()
                inode.append_only = False
                inode.changed(seq)
            m.fds[fd] = ("file", inode, flags)
            return f"open {path}"
        if op == "write":
            entry = self._fd(args)
            if entry is None:
                return None
            if entry[0] == "device":
                self.stats["line_writes"] += 1
                self._effect(seq, f"a write of {args['len']} bytes to {entry[1]}")
                return None
            if entry[0] != "file":
                return None
            _, inode, flags = entry
            data = b"" if args["data"] == "-" else bytes.fromhex(args["data"])
            off = int(args["off"])
            if inode.data is None:
                inode.changed(seq)
            else:
                if len(inode.data) < off:
                    inode.data.extend(b"\0" * (off - len(inode.data)))
                inode.data[off:off + len(data)] = data
                inode.changed(seq)
            if not flags & O_APPEND:
                inode.append_only = False
            if flags & O_DSYNC or flags & O_SYNC == O_SYNC:
                inode.flush()
            return f"a write of {len(data)} bytes"
        if op == "out":
            text = decode(args["text"]).decode("utf-8", "replace")
            self.stats["stdout_writes"] += 1
            self.stats["stdout"] += text
            self._effect(seq, "standard output: " + repr(text[:60]))
            return None
        if op in ("ftruncate", "truncate"):
            if op == "ftruncate":
                entry = self._fd(args)
                if entry is None or entry[0] != "file":
                    return None
                inode = entry[1]
            else:
                path = path_of(args["path"])
                m.meet(path, True)
                inode = m.resolve(path, "current")
                if not isinstance(inode, Inode):
                    return None
            size = int(args["len"])
            if inode.data is not None:
                inode.data = inode.data[:size] + bytearray(max(0, size - len(inode.data)))
            inode.append_only = False
            inode.changed(seq)
            return f"{op} to {size} bytes"
        if op in ("fsync", "fdatasync"):
            entry = self._fd(args)
            self.stats["flushes"] += 1
            if entry is None:
                return None
            if entry[0] == "file":
                entry[1].flush()
                return f"{op} of a file"
            if entry[0] == "folder":
                m.folder(entry[1]).flush()
                return f"{op} of the folder {entry[1]}"
            return None
        if op == "sync":
            self.stats["flushes"] += 1
            for inode in m.inodes.values():
                inode.flush()
            for folder in m.folders.values():
                folder.flush()
            return "sync"
        if op == "close":
            m.fds.pop(int(args["fd"]), None)
            return None
        if op == "dup":
            entry = self._fd(args)
            if entry is not None:
                m.fds[int(args["to"])] = entry
            return None
        if op == "rename":
            src, dst = path_of(args["from"]), path_of(args["to"])
            if int(args.get("flags", "0")) & RENAME_EXCHANGE:
                if src in m.watched or dst in m.watched:
                    raise Unsupported(f"RENAME_EXCHANGE of {src} and {dst}")
            m.meet(src, True)
            m.meet(dst, args.get("existed", "1") == "1")
            inode = m.resolve(src, "current")
            m.set_name(dst, inode if inode is not ABSENT else None, seq, f"renamed from {src}")
            m.set_name(src, None, seq, f"renamed to {dst}")
            return f"rename {src} -> {dst}"
        if op in ("unlink", "rmdir"):
            path = path_of(args["path"])
            m.meet(path, True)
            m.set_name(path, None, seq, "removed")
            return f"{op} {path}"
        if op == "mkdir":
            path = path_of(args["path"])
            m.meet(path, False)
            m.set_name(path, Inode(None, None, directory=path), seq, "made")
            m.folders[path] = Folder(path, True)
            return f"mkdir {path}"
        if op in ("link", "symlink"):
            path = path_of(args.get("to", args.get("path")))
            if path in m.watched or path_of(args.get("from", "%")) in m.watched:
                raise Unsupported(f"a {op} at {path}")
            return None
        return None


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("trace")
    parser.add_argument("--watch", action="append", default=[], required=True)
    parser.add_argument("--program", help="judge the process running this program (its "
                        "file name), when the trace holds several")
    parser.add_argument("--summary", help="write what was seen as JSON here")
    args = parser.parse_args()
    with open(args.trace, encoding="latin-1") as f:
        lines = f.read().splitlines()
    # One process is judged: the one named, or the only one traced.
    programs = {}
    for line in lines:
        fields = line.split()
        if len(fields) >= 5 and fields[3] == "start":
            exe = decode(fields[4].split("=", 1)[1]).decode("utf-8", "replace")
            programs[fields[1]] = os.path.basename(exe)
    chosen = [pid for pid, exe in programs.items()
              if args.program is None or exe == args.program]
    if len(chosen) != 1:
        print(f"crash-check: the trace holds {len(chosen)} processes"
              f"{' named ' + args.program if args.program else ''} ({programs}); "
              "name one with --program")
        return 2
    lines = [line for line in lines if line.split(" ", 2)[1:2] == chosen]
    checker = Checker(args.watch)
    checker.run(lines)
    s = checker.stats
    print(f"crash-check: {s['events']} events; {s['line_writes']} writes to a device, "
          f"{s['stdout_writes']} to standard output; {s['flushes']} flushes; watched: " +
          ", ".join(f"{p} changed {n} times" for p, n in s["changes"].items()))
    for e in checker.errors:
        print("crash-check: cannot follow: " + e)
    found = [text + (f" (and at {again} later moments)" if again else "")
             for _, text, again in sorted(checker.violations, key=lambda v: v[0] or 0)]
    for text in found[:10]:
        print("crash-check: " + text)
    if len(found) > 10:
        print(f"crash-check: ... and {len(found) - 10} more")
    if args.summary:
        with open(args.summary, "w") as f:
            json.dump({**s, "violations": found, "errors": checker.errors}, f)
    if checker.errors:
        return 2
    return 1 if checker.violations else 0


if __name__ == "__main__":
    sys.exit(main())
