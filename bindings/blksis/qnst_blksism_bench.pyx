# cython: language_level=3
"""The C side of the binding benchmark: the engine's lookup called in a loop without Python."""

from libc.stdint cimport int64_t

from qnst64 cimport *
from qnst_bdb cimport qnst_txn, txn_of, require_length
from qnst_blksism cimport pyBlkSIS

cdef extern from "<time.h>" nogil:
    ctypedef struct timespec:
        long tv_sec
        long tv_nsec
    int clock_gettime(int clock, timespec *ts)
    enum:
        CLOCK_MONOTONIC
        CLOCK_THREAD_CPUTIME_ID


cdef inline int64_t now_ns(int clock) nogil:
    cdef timespec ts
    clock_gettime(clock, &ts)
    return <int64_t>ts.tv_sec * 1000000000 + ts.tv_nsec


def lookup_loop(pyBlkSIS store not None, qnst_txn txn, bytes hash not None, uint32_t hashlen,
                int64_t n):
    """lookup_loop(store, txn, hash, hashlen, n) -> (wall_ns, cpu_ns, handle). Times `n` calls
    of the engine's lookup (wall-clock and this thread's CPU time); the last handle found is
    returned so the caller can check the hit."""
    cdef int rc = 0
    cdef uint64_t handle = 0
    cdef int64_t i, start, end, cpu_start, cpu_end
    cdef DB_TXN *c_txn = txn_of(txn)
    require_length(hash, hashlen, "hash")
    cdef const char *c_hash = hash
    with nogil:
        start = now_ns(CLOCK_MONOTONIC)
        cpu_start = now_ns(CLOCK_THREAD_CPUTIME_ID)
        for i in range(n):
            rc = qnst_sism_lookup(&store.handle, c_txn, c_hash, hashlen, 0, &handle)
            if rc:
                break
        cpu_end = now_ns(CLOCK_THREAD_CPUTIME_ID)
        end = now_ns(CLOCK_MONOTONIC)
    if rc:
        raise RuntimeError("lookup failed with code %d" % rc)
    return (end - start, cpu_end - cpu_start, handle)
