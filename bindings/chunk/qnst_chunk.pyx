# cython: language_level=3, boundscheck=False, wraparound=False
"""The backup tool's chunk cutter in C: the gear rolling hash of qnst_backup.chunker, run without
the interpreter lock."""

from libc.stdint cimport uint32_t

cdef uint32_t gear[256]
cdef uint32_t mask = 0
cdef Py_ssize_t min_size = 0, max_size = 0


def configure(table, uint32_t hash_mask, Py_ssize_t minimum, Py_ssize_t maximum):
    """configure(table, hash_mask, minimum, maximum) -> None. Sets the 256 gear values, the
    boundary mask and the chunk size limits; call once before cut()."""
    global mask, min_size, max_size
    if len(table) != 256 or minimum < 32 or maximum < minimum:
        raise ValueError("a gear table of 256 values and 32 <= minimum <= maximum are needed")
    for i in range(256):
        gear[i] = table[i]
    mask, min_size, max_size = hash_mask, minimum, maximum


def cut(const unsigned char[::1] buf not None, Py_ssize_t start, Py_ssize_t end):
    """cut(buf, start, end) -> int. The end of the chunk that begins at buf[start], looking no
    further than `end`."""
    if max_size == 0:
        raise ValueError("configure() was not called")
    if start < 0 or end > buf.shape[0] or start > end:
        raise IndexError("start and end must lie in the buffer, start before end")
    cdef Py_ssize_t i, limit
    cdef uint32_t h = 0
    if end - start <= min_size:
        return end
    limit = end if end < start + max_size else start + max_size
    with nogil:
        i = start + min_size - 32
        while i < start + min_size:
            h = (h << 1) + gear[buf[i]]
            i += 1
        while i < limit:
            h = (h << 1) + gear[buf[i]]
            i += 1
            if (h & mask) == 0:
                break
    return i
