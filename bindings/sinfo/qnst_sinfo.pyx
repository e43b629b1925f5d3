# cython: language_level=3, embedsignature=True
"""The store-information table, one small record per store number: class pySInfo.

A listing returns a qnst_bdb.qnst_cursor first; `ino` 0 marks its end, and every listing is
ended with sinfo_end."""

from libc.string cimport memset

cimport cython

from qnst64 cimport *
from qnst_bdb cimport (qnst_env, qnst_txn, qnst_cursor, qnst_lock, qnst_db, env_of, txn_of,
                       cursor_of, new_cursor, path_of)

from qnst import qnst_error

_companion_types = (qnst_env, qnst_txn, qnst_cursor, qnst_lock, qnst_db)


def sinfo_remove(qnst_env env not None, bytes dbfile not None):
    """sinfo_remove(env, dbfile) -> None. Deletes the table's file (it must not be open)."""
    cdef int rc
    cdef DB_ENV *dbenv = env_of(env)
    cdef const char *c_dbfile = path_of(dbfile)
    with nogil:
        rc = qnst_sinfo_remove(dbenv, c_dbfile)
    qnst_error.check(rc)


# The objects it keeps must outlive its __dealloc__, even when the collector breaks a cycle.
@cython.no_gc_clear
cdef class pySInfo:
    """The store-information table: ``sinfo_open(env, dbfile, init)``, set, get, purge and
    list by store number `sino`, ``sinfo_close()``."""

    cdef qnst_sinfo handle
    cdef bint opened
    # The environment stays alive while the table is open.
    cdef qnst_env env

    def __cinit__(self):
        memset(&self.handle, 0, sizeof(self.handle))
        self.opened = False
        self.env = None

    def __init__(self):
        # Takes no arguments: a new object is always closed.
        pass

    def __dealloc__(self):
        self.sinfo_close()

    def sinfo_open(self, qnst_env env not None, bytes dbfile not None, int32_t init):
        """sinfo_open(env, dbfile, init) -> None. Opens (creating when missing) the table in
        `dbfile`; `init` has no effect."""
        cdef int rc
        if self.opened:
            raise ValueError("the store-information table is open already")
        cdef DB_ENV *dbenv = env_of(env)
        cdef const char *c_dbfile = path_of(dbfile)
        with nogil:
            rc = qnst_sinfo_create(&self.handle, dbenv)
        qnst_error.check(rc)
        self.opened = True
        self.env = env
        env.users += 1
        with nogil:
            rc = qnst_sinfo_open(&self.handle, c_dbfile, init)
        qnst_error.check(rc)

    def sinfo_close(self):
        """sinfo_close() -> None. Closes the table; does nothing when it is not open. End the
        listings first."""
        cdef int rc
        if not self.opened:
            return
        with nogil:
            rc = qnst_sinfo_close(&self.handle)
        self.opened = False
        self.env.users -= 1
        self.env = None
        qnst_error.check(rc)

    def sinfo_set(self, qnst_txn txn, uint64_t sino, uint64_t ino, uint32_t method,
                  uint32_t sgen, uint64_t stime):
        """sinfo_set(txn, sino, ino, method, sgen, stime) -> None. Writes the record of `sino`
        (`ino` must not be 0)."""
        cdef int rc
        cdef DB_TXN *c_txn = txn_of(txn)
        with nogil:
            rc = qnst_sinfo_set(&self.handle, c_txn, sino, ino, method, sgen, stime)
        qnst_error.check(rc)

    def sinfo_get(self, qnst_txn txn, uint64_t sino):
        """sinfo_get(txn, sino) -> (ino, method, sgen, stime). Raises qnst.NotFound when `sino`
        has no record."""
        cdef int rc
        cdef uint64_t ino = 0, stime = 0
        cdef uint32_t method = 0, sgen = 0
        cdef DB_TXN *c_txn = txn_of(txn)
        with nogil:
            rc = qnst_sinfo_get(&self.handle, c_txn, sino, &ino, &method, &sgen, &stime)
        qnst_error.check(rc)
        return (ino, method, sgen, stime)

    def sinfo_purge(self, qnst_txn txn, uint64_t sino):
        """sinfo_purge(txn, sino) -> None. Deletes the record of `sino`."""
        cdef int rc
        cdef DB_TXN *c_txn = txn_of(txn)
        with nogil:
            rc = qnst_sinfo_purge(&self.handle, c_txn, sino)
        qnst_error.check(rc)

    def sinfo_list(self, qnst_txn txn, uint64_t sino):
        """sinfo_list(txn, sino) -> (cursor, sino, ino, method, sgen, stime). Starts a listing
        in ascending order at the first record at or after `sino`; ino 0 when there is none."""
        cdef int rc
        cdef DBC *cursor = NULL
        cdef uint64_t ino = 0, stime = 0
        cdef uint32_t method = 0, sgen = 0
        cdef DB_TXN *c_txn = txn_of(txn)
        with nogil:
            rc = qnst_sinfo_list(&self.handle, c_txn, &cursor, &sino, &ino, &method, &sgen,
                                 &stime)
        qnst_error.check(rc)
        return (new_cursor(cursor), sino, ino, method, sgen, stime)

    def sinfo_next(self, qnst_cursor cursor not None):
        """sinfo_next(cursor) -> (sino, ino, method, sgen, stime). The next record of a
        listing; ino 0 at the end."""
        cdef int rc
        cdef uint64_t sino = 0, ino = 0, stime = 0
        cdef uint32_t method = 0, sgen = 0
        cdef DBC *c_cursor = cursor_of(cursor)
        with nogil:
            rc = qnst_sinfo_next(&self.handle, c_cursor, &sino, &ino, &method, &sgen, &stime)
        qnst_error.check(rc)
        return (sino, ino, method, sgen, stime)

    def sinfo_end(self, qnst_cursor cursor not None):
        """sinfo_end(cursor) -> None. Ends a listing; an ended cursor is left alone."""
        cdef int rc
        cdef DBC *c_cursor = cursor.cursor
        cursor.cursor = NULL
        with nogil:
            rc = qnst_sinfo_end(&self.handle, c_cursor)
        qnst_error.check(rc)
