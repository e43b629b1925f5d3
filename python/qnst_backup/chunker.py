"""Content-defined chunking: a gear rolling hash cuts a stream where the content says so, so an
insertion moves only the chunk boundaries next to it."""

import collections
import errno
import hashlib
import os
import random
from concurrent.futures import ThreadPoolExecutor

MIN_SIZE = 8 * 1024
AVG_BITS = 15                      # boundaries about every 32 KiB past the minimum
MAX_SIZE = 128 * 1024
READ_SIZE = 4 * 1024 * 1024
SMALL = READ_SIZE                  # files read ahead whole; larger ones are read as they are stored
WINDOW = 64 * 1024 * 1024          # bytes of the files read ahead and not yet taken

# One fixed table: the same content must always cut at the same places, in every run.
_RNG = random.Random(0x716E7374)
GEAR = tuple(_RNG.getrandbits(32) for _ in range(256))
del _RNG
MASK = ((1 << AVG_BITS) - 1) << (32 - AVG_BITS)   # the hash's top bits carry the most history


def cut(buf, start, end):
    """The end of the chunk that begins at buf[start], looking no further than `end`."""
    if end - start <= MIN_SIZE:
        return end
    limit = min(end, start + MAX_SIZE)
    gear, mask, h = GEAR, MASK, 0
    i = start + MIN_SIZE - 32       # the hash sees 32 bytes: start it just before the minimum
    for b in buf[i:start + MIN_SIZE]:
        h = ((h << 1) + gear[b]) & 0xFFFFFFFF
    i = start + MIN_SIZE
    for b in buf[i:limit]:
        h = ((h << 1) + gear[b]) & 0xFFFFFFFF
        i += 1
        if not h & mask:
            return i
    return limit


try:  # the same cut in C, when the tool's module is built
    import qnst_chunk as _fast
    _fast.configure(GEAR, MASK, MIN_SIZE, MAX_SIZE)
    fast_cut = _fast.cut
except ImportError:
    fast_cut = None


def chunks(f):
    """(offset, bytes) of every chunk of the open binary file `f`, read from its position."""
    cutter = fast_cut or cut
    buf = b""
    pos = 0
    offset = 0
    eof = False
    while True:
        if not eof and len(buf) - pos < MAX_SIZE:
            more = f.read(READ_SIZE)
            if more:
                buf = buf[pos:] + more
                pos = 0
            else:
                eof = True
        if pos >= len(buf):
            return
        end = cutter(buf, pos, len(buf)) if eof or len(buf) - pos >= MAX_SIZE else None
        if end is None:
            continue
        yield offset, buf[pos:end]
        offset += end - pos
        pos = end


def hashed(pieces):
    """(offset, bytes, SHA-1 digest) of every (offset, bytes) of `pieces`."""
    sha1 = hashlib.sha1
    for offset, data in pieces:
        yield offset, data, sha1(data).digest()


def read_small(path):
    """[(offset, bytes, digest)] of every chunk of the file at `path`, read whole; None when it
    cannot be read or is larger than SMALL (the caller then reads it itself, and sees why)."""
    try:
        with open(path, "rb") as f:
            data = f.read(SMALL + 1)
    except OSError:
        return None
    if len(data) > SMALL:
        return None
    return list(hashed(chunks_of(data)))


def chunks_of(data):
    """(offset, bytes) of every chunk of `data`."""
    cutter = fast_cut or cut
    pos, end = 0, len(data)
    while pos < end:
        stop = cutter(data, pos, end)
        yield pos, data[pos:stop]
        pos = stop


class ReadAhead:
    """Reads, cuts and hashes small files in a pool of threads ahead of the thread that stores
    them: the reads, the C cutter and hashlib's digests of large buffers run without the
    interpreter lock. plan() names the files that come next, take() hands out one of them."""

    def __init__(self, threads=min(4, os.cpu_count() or 1), window=WINDOW):
        self.pool = ThreadPoolExecutor(threads, thread_name_prefix="qnst-read")
        self.window = window
        self.todo = collections.deque()     # paths planned and not yet started, in order
        self.sizes = {}                     # path -> size, of the files planned
        self.running = {}                   # path -> future, of the files started
        self.bytes = 0                      # size of the files started and not taken

    def plan(self, files):
        """`files`: [(path, size)] taken next, in this order, before anything planned earlier."""
        fresh = [(path, size) for path, size in files
                 if size <= SMALL and path not in self.sizes]
        for path, size in fresh:
            self.sizes[path] = size
        self.todo.extendleft(path for path, _ in reversed(fresh))
        self._start()

    def _start(self):
        while self.todo and self.bytes < self.window:
            path = self.todo.popleft()
            if path in self.sizes and path not in self.running:
                self.running[path] = self.pool.submit(read_small, path)
                self.bytes += self.sizes[path]

    def take(self, path):
        """The chunks of `path` as read_small() gives them; None when it was not read ahead
        or could not be."""
        size = self.sizes.pop(path, None)
        future = self.running.pop(path, None)
        if future is not None:
            self.bytes -= size
        self._start()
        return future.result() if future is not None else None

    def close(self):
        self.pool.shutdown(wait=True, cancel_futures=True)
        self.todo.clear()
        self.sizes, self.running, self.bytes = {}, {}, 0


class _Region:
    """Reads the bytes [start, end) of a file descriptor, as a file would."""

    def __init__(self, fd, start, end):
        self.fd, self.pos, self.end = fd, start, end

    def read(self, n):
        n = min(n, self.end - self.pos)
        if n <= 0:
            return b""
        data = os.pread(self.fd, n, self.pos)
        self.pos += len(data)
        return data


def data_chunks(fd, holes):
    """(offset, bytes) of the chunks of a sparse file's data regions, read through `fd`; no
    chunk spans a hole. Appends the holes to `holes` as (start, end), the last one up to the
    file's end."""
    pos = 0
    while True:
        try:
            start = os.lseek(fd, pos, os.SEEK_DATA)
            end = os.lseek(fd, start, os.SEEK_HOLE)
        except OSError as e:
            if e.errno == errno.ENXIO:          # no data past `pos`
                end = os.lseek(fd, 0, os.SEEK_END)
                if end > pos:
                    holes.append((pos, end))
                return
            if e.errno not in (errno.EINVAL, errno.EOPNOTSUPP) or pos:
                raise
            start, end = 0, 1 << 63             # no hole information: all of it is data
        if start > pos:
            holes.append((pos, start))
        for offset, data in chunks(_Region(fd, start, end)):
            yield start + offset, data
        pos = end
        if end == 1 << 63:
            return
