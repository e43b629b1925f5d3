# cython: language_level=3, embedsignature=True
"""Inode-table sets: class pyITable (allocation of inode numbers across 1..8 tables).

The blob store manager class of this module (pyBlobSISM) is added when the blob store is bound;
until then the sets are created without an ACL store and a blob store manager."""

from libc.string cimport memset

cimport cython

from qnst64 cimport *
from qnst_bdb cimport (qnst_env, qnst_txn, qnst_cursor, qnst_lock, qnst_db, env_of, txn_of,
                       path_of)
from qnst_blksism cimport pyBlkSIS

from qnst import qnst_error

_companion_types = (qnst_env, qnst_txn, qnst_cursor, qnst_lock, qnst_db)

ENOINODE = QNST_ENOINODE
EINODEBUSY = QNST_EINODEBUSY


def itabm_remove(qnst_env env not None, bytes base not None, int32_t count):
    """itabm_remove(env, base, count) -> None. Deletes the files of tables 0..count-1."""
    cdef int rc
    cdef DB_ENV *dbenv = env_of(env)
    cdef const char *c_base = path_of(base)
    with nogil:
        rc = qnst_itabm_remove(dbenv, c_base, count)
    qnst_error.check(rc)


# The objects it keeps must outlive its __dealloc__, even when the collector breaks a cycle.
@cython.no_gc_clear
cdef class pyITable:
    """A set of inode tables: ``itabm_create(env, id, aclsis, blksis, mblob, count)``,
    ``itabm_open(base, pagesize, create)``, the inode-number calls, ``itabm_close()``."""

    def __cinit__(self):
        memset(&self.handle, 0, sizeof(self.handle))
        self.created = False

    def __init__(self):
        # Takes no arguments: a new object is always closed.
        pass

    def __dealloc__(self):
        self.itabm_close()

    def itabm_create(self, qnst_env env not None, uint64_t id, aclsis, pyBlkSIS blksis,
                     mblob, int32_t count):
        """itabm_create(env, id, aclsis, blksis, mblob, count) -> None. Creates a set of
        `count` tables registered in `env` under `id`; the inodes opened against it use the
        ACL store `aclsis`, the block store `blksis` and the blob store manager `mblob` (each
        may be None; the ACL and blob stores must be None until they are bound)."""
        cdef int rc
        if self.created:
            raise ValueError("the inode-table set is created already")
        if aclsis is not None:
            raise TypeError("Argument 'aclsis' has incorrect type (expected None, got %s)"
                            % type(aclsis).__name__)
        if mblob is not None:
            raise TypeError("Argument 'mblob' has incorrect type (expected None, got %s)"
                            % type(mblob).__name__)
        env_of(env)
        cdef qnst_blksism *sism = &blksis.handle if blksis is not None else NULL
        with nogil:
            rc = qnst_itabm_create(&self.handle, &env.rec, id, NULL, sism, NULL, count)
        qnst_error.check(rc)
        self.created = True
        self.env = env
        env.users += 1
        self.blksis = blksis
        if blksis is not None:
            blksis.users += 1

    def itabm_open(self, bytes base not None, uint32_t pagesize, int32_t create):
        """itabm_open(base, pagesize, create) -> None. Opens table i in "<base>_<i>.db" for
        every table (a new file gets `pagesize` when `create` is set)."""
        cdef int rc
        cdef const char *c_base = path_of(base)
        with nogil:
            rc = qnst_itabm_open(&self.handle, c_base, pagesize, create)
        qnst_error.check(rc)

    def itabm_close(self):
        """itabm_close() -> None. Closes every table and unregisters the set; does nothing when
        it is not created."""
        cdef int rc
        if not self.created:
            return
        with nogil:
            rc = qnst_itabm_close(&self.handle)
        self.created = False
        self.env.users -= 1
        self.env = None
        if self.blksis is not None:
            self.blksis.users -= 1
        self.blksis = None
        qnst_error.check(rc)

    def itabm_extend(self, uint32_t count, uint32_t ino):
        """itabm_extend(count, ino) -> None. Adds `count` free numbers to table ino >> 28 (ino
        0: the table at the round-robin cursor, when it is known to be empty)."""
        cdef int rc
        with nogil:
            rc = qnst_itabm_extend(&self.handle, count, ino)
        qnst_error.check(rc)

    def itabm_setrange(self, qnst_txn txn, uint32_t ino):
        """itabm_setrange(txn, ino) -> None. Makes table ino >> 28 never issue numbers up to
        `ino`."""
        cdef int rc
        cdef DB_TXN *c_txn = txn_of(txn)
        with nogil:
            rc = qnst_itabm_setrange(&self.handle, c_txn, ino)
        qnst_error.check(rc)

    def inodem_alloc(self, qnst_txn txn, uint32_t cver):
        """inodem_alloc(txn, cver) -> ino. Allocates a number valid from `cver`; raises
        qnst.NoInode when the table needs extending."""
        cdef int rc
        cdef uint32_t ino = 0
        cdef DB_TXN *c_txn = txn_of(txn)
        with nogil:
            rc = qnst_inodem_alloc(&self.handle, c_txn, cver, &ino)
        qnst_error.check(rc)
        return ino

    def inodem_getalloc(self, qnst_txn txn, uint32_t cver, uint32_t ino):
        """inodem_getalloc(txn, cver, ino) -> extend_by. Allocates the number `ino`; a nonzero
        result asks for itabm_extend(extend_by, ino) and another call."""
        cdef int rc
        cdef uint32_t extend_by = 0
        cdef DB_TXN *c_txn = txn_of(txn)
        with nogil:
            rc = qnst_inodem_getalloc(&self.handle, c_txn, cver, ino, &extend_by)
        qnst_error.check(rc)
        return extend_by

    def inodem_pick(self, qnst_txn txn, uint32_t ino, uint32_t value):
        """inodem_pick(txn, ino, value) -> None. Allocates `ino` with cver `value`."""
        cdef int rc
        cdef DB_TXN *c_txn = txn_of(txn)
        with nogil:
            rc = qnst_inodem_pick(&self.handle, c_txn, ino, value)
        qnst_error.check(rc)

    def inodem_free(self, qnst_txn txn, uint32_t ino, uint32_t dver):
        """inodem_free(txn, ino, dver) -> None. Ends the number's life at `dver`."""
        cdef int rc
        cdef DB_TXN *c_txn = txn_of(txn)
        with nogil:
            rc = qnst_inodem_free(&self.handle, c_txn, ino, dver)
        qnst_error.check(rc)

    def inodem_dealloc(self, qnst_txn txn, uint32_t ino):
        """inodem_dealloc(txn, ino) -> None. Returns the number to the free list."""
        cdef int rc
        cdef DB_TXN *c_txn = txn_of(txn)
        with nogil:
            rc = qnst_inodem_dealloc(&self.handle, c_txn, ino)
        qnst_error.check(rc)

    def inodem_notfree(self, qnst_txn txn, uint32_t ino):
        """inodem_notfree(txn, ino) -> None. Takes a free number off the free list."""
        cdef int rc
        cdef DB_TXN *c_txn = txn_of(txn)
        with nogil:
            rc = qnst_inodem_notfree(&self.handle, c_txn, ino)
        qnst_error.check(rc)

    def inodem_next(self, qnst_txn txn, uint32_t cursor):
        """inodem_next(txn, cursor) -> (cursor, cver, dver). The next allocated number after
        `cursor` (start with 0); cursor 0 at the end."""
        cdef int rc
        cdef uint32_t cver = 0, dver = 0
        cdef DB_TXN *c_txn = txn_of(txn)
        with nogil:
            rc = qnst_inodem_next(&self.handle, c_txn, &cursor, &cver, &dver)
        qnst_error.check(rc)
        return (cursor, cver, dver)

    def inodem_getinfo(self, qnst_txn txn, uint32_t ino):
        """inodem_getinfo(txn, ino) -> (beyond_end, is_free, cver, dver)."""
        cdef int rc
        cdef int32_t beyond_end = 0, is_free = 0
        cdef uint32_t cver = 0, dver = 0
        cdef DB_TXN *c_txn = txn_of(txn)
        with nogil:
            rc = qnst_inodem_getinfo(&self.handle, c_txn, ino, &beyond_end, &is_free, &cver,
                                     &dver)
        qnst_error.check(rc)
        return (beyond_end, is_free, cver, dver)
