#!/usr/bin/env python3
"""Compaction speed beside the disk's floor.

Fills a store on the disk (under /var/tmp) with four versions of unique content, forgets two of
them, and times `compact`, which frees their chunks and rewrites the half-empty data files,
moving the live half. Then writes the same number of bytes with raw O_DIRECT | O_DSYNC pwrite
calls from an aligned buffer of the data writer's size, into the same folder: the floor that the
fast-file benchmark measures for the data writer. Prints seconds per GB moved and MB/s for both.

    PYTHONPATH=build/release/python:python python3 bench/compact_bench.py [--mb 512]
"""

import argparse
import io
import mmap
import os
import shutil
import sys
import tempfile
import time
from contextlib import redirect_stdout

from qnst_backup import cli
from qnst_backup.compact import Compact
from qnst_backup.progress import Progress
from qnst_backup.store import FAST_BUFFER, Store

VERSIONS = 4


def tool(store, *args):
    out = io.StringIO()
    with redirect_stdout(out):
        code = cli.main(["--store", store, "--no-progress"] + list(args))
    if code != 0:
        sys.exit("qnst-backup %s failed (%d): %s" % (" ".join(args), code, out.getvalue()))
    return out.getvalue()


def fill(top, store, total):
    """Four versions, each a tree of its own `total / 4` bytes of random files."""
    src = os.path.join(top, "src")
    per = total // VERSIONS
    for ver in range(VERSIONS):
        shutil.rmtree(src, ignore_errors=True)
        os.makedirs(src)
        left, i = per, 0
        while left > 0:
            n = min(left, 4 << 20)
            with open(os.path.join(src, "f%05d" % i), "wb") as f:
                f.write(os.urandom(n))
            left -= n
            i += 1
        tool(store, "backup", src)
    shutil.rmtree(src)


def uncache(folder):
    """Drops the data files from the page cache: each measurement reads from the disk."""
    for name in os.listdir(folder):
        fd = os.open(os.path.join(folder, name), os.O_RDONLY)
        try:
            os.fsync(fd)
            os.posix_fadvise(fd, 0, 0, os.POSIX_FADV_DONTNEED)
        finally:
            os.close(fd)


def floor(folder, nbytes, source=None):
    """Seconds to write `nbytes` with O_DIRECT | O_DSYNC pwrite in FAST_BUFFER pieces (the data
    writer's floor) and, with `source`, to read that whole file front to back meanwhile in
    pieces of the same size (a raw copy of the live bytes out of a file that holds them)."""
    path = os.path.join(folder, "floor")
    buf = mmap.mmap(-1, FAST_BUFFER)          # page-aligned, as O_DIRECT needs
    buf.write(os.urandom(FAST_BUFFER))
    fd = os.open(path, os.O_WRONLY | os.O_CREAT | os.O_TRUNC | os.O_DIRECT | os.O_DSYNC, 0o600)
    src = os.open(source, os.O_RDONLY) if source else None
    try:
        if src is not None:
            os.posix_fadvise(src, 0, 0, os.POSIX_FADV_DONTNEED)
        start = time.monotonic()
        offset = 0
        while offset < nbytes:
            if src is not None:
                piece = os.read(src, FAST_BUFFER)
                if piece:
                    buf[:len(piece)] = piece
            offset += os.pwritev(fd, [buf], offset)
        if src is not None:
            while os.read(src, FAST_BUFFER):
                pass
        return time.monotonic() - start
    finally:
        os.close(fd)
        if src is not None:
            os.close(src)
        os.unlink(path)


def main():
    p = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    p.add_argument("--mb", type=int, default=512, help="content backed up, in MB (default 512)")
    p.add_argument("--keep", action="store_true", help="keep the store afterwards")
    args = p.parse_args()
    top = tempfile.mkdtemp(prefix="qnst-compact-bench-", dir="/var/tmp")
    store = os.path.join(top, "store")
    try:
        fill(top, store, args.mb * 1000 * 1000)
        tool(store, "forget", "1", "3")
        data = os.path.join(store, "data")
        with Store(store) as s:
            live = sum(s.dfile.dfile_get(None, d)[4] for d in range(1, 1 + len(os.listdir(data))))
        biggest = max((os.path.join(data, n) for n in os.listdir(data)), key=os.path.getsize)
        # The floors are measured twice and averaged: the disk is shared.
        floors = [(floor(data, live), floor(data, live, biggest)) for _ in range(2)]
        uncache(data)
        with Store(store) as s:
            c = Compact(s, 0.6, Progress(False))
            start = time.monotonic()
            with redirect_stdout(io.StringIO()):
                c.run()
            seconds = time.monotonic() - start
        moved = c.moved_bytes
        if not moved:
            sys.exit("nothing was moved")
        write = sum(f[0] for f in floors) / len(floors) * moved / live
        copy = sum(f[1] for f in floors) / len(floors) * moved / live
        gb = moved / 1e9
        print("live data moved: %.1f MB in %d blocks, %d data files rewritten"
              % (moved / 1e6, c.moved_blocks, c.files))
        for label, t in (("compact, whole pass", seconds),
                         ("compact, copying the chunks", c.copy_seconds),
                         ("floor: O_DIRECT|O_DSYNC write", write),
                         ("floor: raw copy (read file, write live)", copy)):
            print("%-40s %6.2f s  %6.1f s/GB  %7.1f MB/s" % (label, t, t / gb, moved / t / 1e6))
        print("compact / raw copy: %.2f (copy phase %.2f); compact / write floor: %.2f"
              % (seconds / copy, c.copy_seconds / copy, seconds / write))
    finally:
        if not args.keep:
            shutil.rmtree(top, ignore_errors=True)


if __name__ == "__main__":
    main()
