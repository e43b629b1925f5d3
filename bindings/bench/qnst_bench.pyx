# cython: language_level=3
"""The C side of the binding benchmark: hot engine calls made in a loop without Python."""

from libc.stdint cimport int64_t

from qnst64 cimport *
from qnst_bdb cimport qnst_txn, txn_of, require_length
from qnst_blksism cimport pyBlkSIS
from qnst_inode cimport pyInode

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


cdef struct Timing:
    int64_t wall
    int64_t cpu


cdef inline void start(Timing *t) nogil:
    t.wall = now_ns(CLOCK_MONOTONIC)
    t.cpu = now_ns(CLOCK_THREAD_CPUTIME_ID)


cdef inline void stop(Timing *t) nogil:
    t.cpu = now_ns(CLOCK_THREAD_CPUTIME_ID) - t.cpu
    t.wall = now_ns(CLOCK_MONOTONIC) - t.wall


def lookup_loop(pyBlkSIS store not None, qnst_txn txn, bytes hash not None, uint32_t hashlen,
                int64_t n):
    """lookup_loop(store, txn, hash, hashlen, n) -> (wall_ns, cpu_ns, handle). Times `n` calls
    of the block store's lookup (wall-clock and this thread's CPU time); the last handle found
    is returned so the caller can check the hit."""
    cdef int rc = 0
    cdef uint64_t handle = 0
    cdef int64_t i
    cdef Timing t
    cdef DB_TXN *c_txn = txn_of(txn)
    require_length(hash, hashlen, "hash")
    cdef const char *c_hash = hash
    with nogil:
        start(&t)
        for i in range(n):
            rc = qnst_sism_lookup(&store.handle, c_txn, c_hash, hashlen, 0, &handle)
            if rc:
                break
        stop(&t)
    if rc:
        raise RuntimeError("lookup failed with code %d" % rc)
    return (t.wall, t.cpu, handle)


def bmap_lookup_loop(pyInode inode not None, qnst_txn txn, uint64_t offset, uint32_t ver,
                     int64_t n):
    """bmap_lookup_loop(inode, txn, offset, ver, n) -> (wall_ns, cpu_ns, handle). Times `n`
    calls of the block map's lookup of the block at `offset` valid at `ver`."""
    cdef int rc = 0
    cdef uint32_t size = 0, cver = 0, dver = 0
    cdef uint64_t handle = 0
    cdef int64_t i
    cdef Timing t
    cdef DB_TXN *c_txn = txn_of(txn)
    with nogil:
        start(&t)
        for i in range(n):
            rc = qnst_bmap_lookup(&inode.handle, c_txn, offset, ver, &size, &cver, &dver, &handle)
            if rc:
                break
        stop(&t)
    if rc:
        raise RuntimeError("block-map lookup failed with code %d" % rc)
    return (t.wall, t.cpu, handle)
