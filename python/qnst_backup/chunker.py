"""Content-defined chunking: a gear rolling hash cuts a stream where the content says so, so an
insertion moves only the chunk boundaries next to it."""

import errno
import os
import random

MIN_SIZE = 8 * 1024
AVG_BITS = 15                      # boundaries about every 32 KiB past the minimum
MAX_SIZE = 128 * 1024
READ_SIZE = 4 * 1024 * 1024

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


def chunks(f, size=None):
    """(offset, bytes) of every chunk of the open binary file `f`, read from its position.
    `size`, the file's size when known, only sizes the reads: a small file is read with one
    read of its size (a read of READ_SIZE would allocate and give back megabytes each time);
    a read that comes back short ends the file, and one past the size reads on as usual."""
    cutter = fast_cut or cut
    buf = b""
    pos = 0
    offset = 0
    taken = 0
    eof = False
    while True:
        if not eof and len(buf) - pos < MAX_SIZE:
            want = READ_SIZE if size is None or taken >= size else min(READ_SIZE,
                                                                       size - taken + 1)
            more = f.read(want)
            if more:
                taken += len(more)
                buf = buf[pos:] + more
                pos = 0
                eof = size is not None and len(more) < want
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
