"""Content-defined chunking: a gear rolling hash cuts a stream where the content says so, so an
insertion moves only the chunk boundaries next to it."""

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
