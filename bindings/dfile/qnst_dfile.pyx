# cython: language_level=3, embedsignature=True
"""The dfile table (per-data-file usage of the block store): class pyDFile."""

from libc.errno cimport EBUSY
from libc.string cimport memset

cimport cython

from qnst64 cimport *
from qnst_bdb cimport (qnst_env, qnst_txn, qnst_cursor, qnst_lock, qnst_db, env_of, txn_of,
                       path_of)

import qnst
from qnst import qnst_error

# Every binding module checks the layout of all five companion types when it is imported.
_companion_types = (qnst_env, qnst_txn, qnst_cursor, qnst_lock, qnst_db)


def dfile_remove(qnst_env env not None, bytes dbfile not None):
    """dfile_remove(env, dbfile) -> None. Deletes the table's file."""
    cdef int rc
    cdef DB_ENV *dbenv = env_of(env)
    cdef const char *c_dbfile = path_of(dbfile)
    with nogil:
        rc = qnst_dfile_remove(dbenv, c_dbfile)
    qnst_error.check(rc)


# The objects it keeps must outlive its __dealloc__, even when the collector breaks a cycle.
@cython.no_gc_clear
cdef class pyDFile:
    """One dfile table: ``dfile_open(env, nfiles, dbfile, init)``, get and set by data-file
    index, ``dfile_close()``."""

    def __cinit__(self):
        memset(&self.handle, 0, sizeof(self.handle))
        self.opened = False
        self.env = None

    def __init__(self):
        # Takes no arguments: a new object is always closed.
        pass

    def __dealloc__(self):
        self.dfile_close()

    def dfile_open(self, qnst_env env not None, uint32_t nfiles, bytes dbfile not None,
                   int32_t init):
        """dfile_open(env, nfiles, dbfile, init) -> None. Creates the handle for `nfiles` data
        files and opens (creating when missing) the table in `dbfile`; with `init`, records
        are made for every data file (existing ones keep their values)."""
        cdef int rc
        if self.opened:
            raise ValueError("the dfile table is open already")
        cdef DB_ENV *dbenv = env_of(env)
        cdef const char *c_dbfile = path_of(dbfile)
        with nogil:
            rc = qnst_dfile_create(&self.handle, dbenv, nfiles)
        qnst_error.check(rc)
        self.opened = True
        self.env = env
        env.users += 1
        with nogil:
            rc = qnst_dfile_open(&self.handle, c_dbfile, init)
        qnst_error.check(rc)

    def dfile_close(self):
        """dfile_close() -> None. Closes the table; does nothing when it is not open. Raises
        qnst.QnstError (code 16, EBUSY) while a block store opened with it is open."""
        cdef int rc
        if not self.opened:
            return
        if self.users:
            raise qnst.QnstError(EBUSY)
        with nogil:
            rc = qnst_dfile_close(&self.handle)
        self.opened = False
        self.env.users -= 1
        self.env = None
        qnst_error.check(rc)

    cdef qnst_dfile *table(self) except NULL:
        # The engine reads through the table handle unchecked: refuse before calling it.
        if self.handle.db == NULL:
            raise ValueError("the dfile table is not open")
        return &self.handle

    def dfile_get(self, qnst_txn txn, uint32_t dindex):
        """dfile_get(txn, dindex) -> (ver, over, coff, ooff, used). The record of data file
        `dindex`."""
        cdef int rc
        cdef uint32_t ver = 0, over = 0
        cdef uint64_t coff = 0, ooff = 0, used = 0
        cdef qnst_dfile *h = self.table()
        cdef DB_TXN *c_txn = txn_of(txn)
        with nogil:
            rc = qnst_dfile_get(h, c_txn, dindex, &ver, &over, &coff, &ooff, &used, 0)
        qnst_error.check(rc)
        return (ver, over, coff, ooff, used)

    def dfile_set(self, qnst_txn txn, uint32_t dindex, uint32_t ver, uint32_t over,
                  uint64_t coff, uint64_t ooff, uint64_t used):
        """dfile_set(txn, dindex, ver, over, coff, ooff, used) -> None. Writes the record of
        data file `dindex`."""
        cdef int rc
        cdef qnst_dfile *h = self.table()
        cdef DB_TXN *c_txn = txn_of(txn)
        with nogil:
            rc = qnst_dfile_set(h, c_txn, dindex, ver, over, coff, ooff, used)
        qnst_error.check(rc)
