# cython: language_level=3, embedsignature=True
"""The ACL store, which keeps every distinct access-control list once: class pyACLSIS."""

from libc.errno cimport EBUSY
from libc.string cimport memset
from cpython.bytes cimport PyBytes_FromStringAndSize

cimport cython

from qnst64 cimport *
from qnst_bdb cimport (qnst_env, qnst_txn, qnst_cursor, qnst_lock, qnst_db, env_of, txn_of,
                       path_of, require_length)

import qnst
from qnst import qnst_error

_companion_types = (qnst_env, qnst_txn, qnst_cursor, qnst_lock, qnst_db)


def aclsis_remove(qnst_env env not None, bytes dbfile not None):
    """aclsis_remove(env, dbfile) -> None. Deletes the store's file (it must not be open)."""
    cdef int rc
    cdef DB_ENV *dbenv = env_of(env)
    cdef const char *c_dbfile = path_of(dbfile)
    with nogil:
        rc = qnst_aclsis_remove(dbenv, c_dbfile)
    qnst_error.check(rc)


# The objects it keeps must outlive its __dealloc__, even when the collector breaks a cycle.
@cython.no_gc_clear
cdef class pyACLSIS:
    """The ACL store: ``aclsis_open(env, dbfile, init)``, store, look up, read, hold and
    release ACLs by their 64-bit handles, ``aclsis_close()``."""

    def __cinit__(self):
        memset(&self.handle, 0, sizeof(self.handle))
        self.opened = False
        self.env = None
        self.users = 0

    def __init__(self):
        # Takes no arguments: a new object is always closed.
        pass

    def __dealloc__(self):
        self.aclsis_close()

    def aclsis_open(self, qnst_env env not None, bytes dbfile not None, int32_t init):
        """aclsis_open(env, dbfile, init) -> None. Opens (creating what is missing) the store in
        `dbfile`; `init` has no effect."""
        cdef int rc
        if self.opened:
            raise ValueError("the ACL store is open already")
        cdef DB_ENV *dbenv = env_of(env)
        cdef const char *c_dbfile = path_of(dbfile)
        with nogil:
            rc = qnst_aclsis_create(&self.handle, dbenv)
        qnst_error.check(rc)
        self.opened = True
        self.env = env
        env.users += 1
        with nogil:
            rc = qnst_aclsis_open(&self.handle, c_dbfile, init)
        qnst_error.check(rc)

    def aclsis_close(self):
        """aclsis_close() -> None. Closes the store; does nothing when it is not open. Raises
        qnst.QnstError (code 16, EBUSY) while an inode-table set created with it is open."""
        cdef int rc
        if not self.opened:
            return
        if self.users:
            raise qnst.QnstError(EBUSY)
        with nogil:
            rc = qnst_aclsis_close(&self.handle)
        self.opened = False
        self.env.users -= 1
        self.env = None
        qnst_error.check(rc)

    def acl_store(self, qnst_txn txn, bytes hash not None, uint32_t hashlen, bytes acl not None,
                  int32_t acllen):
        """acl_store(txn, hash, hashlen, acl, acllen) -> handle. Stores a new ACL (the first
        `acllen` bytes of `acl`) under its hash with one reference; raises qnst.AlreadyExists
        when the hash is stored already (look it up first)."""
        cdef int rc
        cdef uint64_t handle = 0
        cdef DB_TXN *c_txn = txn_of(txn)
        require_length(hash, hashlen, "hash")
        require_length(acl, acllen, "acl")
        cdef const char *c_hash = hash
        cdef const char *c_acl = acl
        with nogil:
            rc = qnst_acl_store(&self.handle, c_txn, c_hash, hashlen, c_acl, acllen, &handle)
        qnst_error.check(rc)
        return handle

    def acl_read(self, qnst_txn txn, uint64_t handle):
        """acl_read(txn, handle) -> bytes. The ACL stored under `handle`; raises qnst.NotFound
        when there is none."""
        cdef int rc
        cdef const void *hash = NULL
        cdef const void *acl = NULL
        cdef uint32_t hashlen = 0, acllen = 0
        cdef void *buf = NULL
        cdef DB_TXN *c_txn = txn_of(txn)
        with nogil:
            rc = qnst_acl_read(&self.handle, c_txn, handle, &hash, &hashlen, &acl, &acllen, &buf)
        try:
            qnst_error.check(rc)
            if acl == NULL:
                return b""
            return PyBytes_FromStringAndSize(<const char *>acl, acllen)
        finally:
            # The copy above outlives the engine's buffer.
            qnst_acl_datafree(buf)

    def acl_lookup(self, qnst_txn txn, bytes hash not None, uint32_t hashlen):
        """acl_lookup(txn, hash, hashlen) -> handle. The handle of the ACL with this hash; 0
        when none is stored."""
        cdef int rc
        cdef uint64_t handle = 0
        cdef DB_TXN *c_txn = txn_of(txn)
        require_length(hash, hashlen, "hash")
        cdef const char *c_hash = hash
        with nogil:
            rc = qnst_acl_lookup(&self.handle, c_txn, c_hash, hashlen, &handle)
        qnst_error.check(rc)
        return handle

    def acl_hold(self, qnst_txn txn, uint64_t handle):
        """acl_hold(txn, handle) -> None. Adds one reference."""
        cdef int rc
        cdef DB_TXN *c_txn = txn_of(txn)
        with nogil:
            rc = qnst_acl_hold(&self.handle, c_txn, handle)
        qnst_error.check(rc)

    def acl_rele(self, qnst_txn txn, uint64_t handle):
        """acl_rele(txn, handle) -> None. Removes one reference; the last one deletes the
        ACL."""
        cdef int rc
        cdef DB_TXN *c_txn = txn_of(txn)
        with nogil:
            rc = qnst_acl_rele(&self.handle, c_txn, handle)
        qnst_error.check(rc)
