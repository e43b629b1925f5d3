# cython: language_level=3, embedsignature=True
"""Inode-table sets and the blob store manager they hand to their inodes.

pyITable allocates inode numbers across 1..8 tables; pyBlobSISM is the blob store spread over
its partitions, which the server also drives directly (compaction queue, scans, repair). Blob
handles carry the partition number in bits 63..56. Walks return a qnst_bdb.qnst_cursor first;
end every walk with blobsism_done."""

from libc.errno cimport EBUSY
from libc.string cimport memset, memcpy
from cpython.bytes cimport PyBytes_FromStringAndSize

cimport cython

from qnst64 cimport *
from qnst_bdb cimport (qnst_env, qnst_txn, qnst_cursor, qnst_lock, qnst_db, env_of, txn_of,
                       cursor_of, new_cursor, path_of, require_length)
from qnst_blksism cimport pyBlkSIS
from qnst_aclsis cimport pyACLSIS

import qnst
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


def blobsism_remove(qnst_env env not None, bytes prefix not None, int32_t count):
    """blobsism_remove(env, prefix, count) -> None. Deletes the partition files of a blob store
    of `count` partitions (missing files are skipped; the store must not be open)."""
    cdef int rc
    cdef DB_ENV *dbenv = env_of(env)
    cdef const char *c_prefix = path_of(prefix)
    with nogil:
        rc = qnst_blobsism_remove(dbenv, c_prefix, count)
    qnst_error.check(rc)


cdef inline object blob_hash(const uint8_t *hash, uint32_t hashlen):
    if hashlen > QNST_BLOB_MAX_HASH:
        hashlen = QNST_BLOB_MAX_HASH
    return PyBytes_FromStringAndSize(<const char *>hash, hashlen)


cdef inline object blob_hash_or_none(const uint8_t *hash, uint32_t hashlen, uint64_t handle):
    # A walk that has ended (handle 0) found no hash.
    return blob_hash(hash, hashlen) if handle else None


# The objects it keeps must outlive its __dealloc__, even when the collector breaks a cycle.
@cython.no_gc_clear
cdef class pyBlobSISM:
    """The blob store manager: ``blobsism_open(env, count, prefix, flags)`` ...
    ``blobsism_close()``. The data path (``mblob_*``) is routed by hash or handle; scans take a
    partition number `part`."""

    def __cinit__(self):
        memset(&self.handle, 0, sizeof(self.handle))
        self.opened = False
        self.env = None
        self.users = 0

    def __init__(self):
        # Takes no arguments: a new object is always closed.
        pass

    def __dealloc__(self):
        self.blobsism_close()

    # ---- Life cycle ----------------------------------------------------------------------

    def blobsism_open(self, qnst_env env not None, int32_t count, bytes prefix not None,
                      uint32_t flags=0):
        """blobsism_open(env, count, prefix, flags=0) -> None. Creates a store of `count`
        partitions (1..256; always the count the files were made with) and opens the partition
        files "<prefix>_<p>.db", creating what is missing; `flags` is not used."""
        cdef int rc
        if self.opened:
            raise ValueError("the blob store is open already")
        cdef DB_ENV *dbenv = env_of(env)
        cdef const char *c_prefix = path_of(prefix)
        with nogil:
            rc = qnst_blobsism_create(&self.handle, dbenv, count)
        qnst_error.check(rc)
        self.opened = True
        self.env = env
        env.users += 1
        with nogil:
            rc = qnst_blobsism_open(&self.handle, c_prefix, flags)
        qnst_error.check(rc)

    def blobsism_close(self):
        """blobsism_close() -> None. Closes every partition; does nothing when the store is not
        open. Raises qnst.QnstError (code 16, EBUSY) while an inode-table set created with it
        is."""
        cdef int rc
        if not self.opened:
            return
        if self.users:
            raise qnst.QnstError(EBUSY)
        with nogil:
            rc = qnst_blobsism_close(&self.handle)
        self.opened = False
        self.env.users -= 1
        self.env = None
        qnst_error.check(rc)

    def blobsism_open_fsck(self, bytes prefix not None, int32_t reset=1):
        """blobsism_open_fsck(prefix, reset=1) -> None. Opens every partition's check count
        table, dropping old ones first when `reset` is set."""
        cdef int rc
        cdef const char *c_prefix = path_of(prefix)
        with nogil:
            rc = qnst_blobsism_open_fsck(&self.handle, c_prefix, reset)
        qnst_error.check(rc)

    def blobsism_close_fsck(self, bytes prefix not None, int32_t remove=1):
        """blobsism_close_fsck(prefix, remove=1) -> None. Closes the check count tables,
        dropping them when `remove` is set."""
        cdef int rc
        cdef const char *c_prefix = path_of(prefix)
        with nogil:
            rc = qnst_blobsism_close_fsck(&self.handle, c_prefix, remove)
        qnst_error.check(rc)

    # ---- Data path -----------------------------------------------------------------------

    def mblob_gen_handle(self, bytes hash not None, uint32_t hashlen):
        """mblob_gen_handle(hash, hashlen) -> handle. A new handle in the hash's partition."""
        cdef int rc
        cdef uint64_t handle = 0
        require_length(hash, hashlen, "hash")
        cdef const char *c_hash = hash
        with nogil:
            rc = qnst_mblob_gen_handle(&self.handle, c_hash, hashlen, &handle)
        qnst_error.check(rc)
        return handle

    def mblob_store_hold(self, qnst_txn txn, bytes hash not None, uint32_t hashlen,
                         uint64_t size, uint64_t handle, uint32_t count):
        """mblob_store_hold(txn, hash, hashlen, size, handle, count) -> None. Stores a new blob
        of `size` bytes under `handle` (from mblob_gen_handle for this hash) with `count`
        references; raises qnst.AlreadyExists (QNST_HASH_EXISTS) when the hash is stored."""
        cdef int rc
        cdef DB_TXN *c_txn = txn_of(txn)
        require_length(hash, hashlen, "hash")
        cdef const char *c_hash = hash
        with nogil:
            rc = qnst_mblob_store_hold(&self.handle, c_txn, c_hash, hashlen, size, handle, count)
        qnst_error.check(rc)

    def mblob_store(self, qnst_txn txn, bytes hash not None, uint32_t hashlen, uint64_t size,
                    uint64_t handle):
        """mblob_store(txn, hash, hashlen, size, handle) -> None. mblob_store_hold with one
        reference."""
        cdef int rc
        cdef DB_TXN *c_txn = txn_of(txn)
        require_length(hash, hashlen, "hash")
        cdef const char *c_hash = hash
        with nogil:
            rc = qnst_mblob_store(&self.handle, c_txn, c_hash, hashlen, size, handle)
        qnst_error.check(rc)

    def mblob_lookup(self, qnst_txn txn, bytes hash not None, uint32_t hashlen):
        """mblob_lookup(txn, hash, hashlen) -> handle. The blob stored with this hash; 0 when
        it is unknown."""
        cdef int rc
        cdef uint64_t handle = 0
        cdef DB_TXN *c_txn = txn_of(txn)
        require_length(hash, hashlen, "hash")
        cdef const char *c_hash = hash
        with nogil:
            rc = qnst_mblob_lookup(&self.handle, c_txn, c_hash, hashlen, &handle)
        qnst_error.check(rc)
        return handle

    def mblob_hold(self, qnst_txn txn, uint64_t handle, int32_t fsck=0):
        """mblob_hold(txn, handle, fsck=0) -> None. Adds one reference (to the check count
        with `fsck`)."""
        cdef int rc
        cdef DB_TXN *c_txn = txn_of(txn)
        with nogil:
            rc = qnst_mblob_hold(&self.handle, c_txn, handle, fsck)
        qnst_error.check(rc)

    def mblob_rele(self, qnst_txn txn, uint64_t handle, uint64_t released=0):
        """mblob_rele(txn, handle, released=0) -> released. Drops one reference; the last one
        frees the blob, queues it for compaction and adds its size to `released`, which is
        returned."""
        cdef int rc
        cdef DB_TXN *c_txn = txn_of(txn)
        with nogil:
            rc = qnst_mblob_rele(&self.handle, c_txn, handle, &released)
        qnst_error.check(rc)
        return released

    def mblob_compactq(self, qnst_txn txn, uint64_t handle, uint64_t size):
        """mblob_compactq(txn, handle, size) -> None. Queues the blob for compaction."""
        cdef int rc
        cdef DB_TXN *c_txn = txn_of(txn)
        with nogil:
            rc = qnst_mblob_compactq(&self.handle, c_txn, handle, size)
        qnst_error.check(rc)

    def mblob_get_compactq(self, qnst_txn txn):
        """mblob_get_compactq(txn) -> (handle, size). The first entry of a compaction queue,
        not removed; (0, 0) when every queue is empty."""
        cdef int rc
        cdef uint64_t handle = 0, size = 0
        cdef DB_TXN *c_txn = txn_of(txn)
        with nogil:
            rc = qnst_mblob_get_compactq(&self.handle, c_txn, &handle, &size)
        qnst_error.check(rc)
        return (handle, size)

    def mblob_del_compactq(self, qnst_txn txn, uint64_t handle):
        """mblob_del_compactq(txn, handle) -> None. Takes the blob off its compaction queue."""
        cdef int rc
        cdef DB_TXN *c_txn = txn_of(txn)
        with nogil:
            rc = qnst_mblob_del_compactq(&self.handle, c_txn, handle)
        qnst_error.check(rc)

    def mblob_hashread(self, qnst_txn txn, uint64_t handle):
        """mblob_hashread(txn, handle) -> hash. The hash the blob was stored with."""
        cdef int rc
        cdef uint32_t hashlen = 0
        cdef uint8_t hash[QNST_BLOB_MAX_HASH]
        cdef DB_TXN *c_txn = txn_of(txn)
        with nogil:
            rc = qnst_mblob_hashread(&self.handle, c_txn, handle, &hashlen, hash)
        qnst_error.check(rc)
        return blob_hash(hash, hashlen)

    def mblob_getref(self, qnst_txn txn, int32_t fsck, uint64_t handle):
        """mblob_getref(txn, fsck, handle) -> count. The blob's stored reference count."""
        cdef int rc
        cdef uint32_t count = 0
        cdef DB_TXN *c_txn = txn_of(txn)
        with nogil:
            rc = qnst_mblob_getref(&self.handle, c_txn, fsck, handle, &count)
        qnst_error.check(rc)
        return count

    def mblob_setref(self, qnst_txn txn, int32_t fsck, uint64_t handle, uint32_t count):
        """mblob_setref(txn, fsck, handle, count) -> None. Overwrites the reference count."""
        cdef int rc
        cdef DB_TXN *c_txn = txn_of(txn)
        with nogil:
            rc = qnst_mblob_setref(&self.handle, c_txn, fsck, handle, count)
        qnst_error.check(rc)

    # ---- Repair --------------------------------------------------------------------------

    def blobsism_store_idref(self, qnst_txn txn, uint64_t handle, int32_t fsck=0):
        """blobsism_store_idref(txn, handle, fsck=0) -> None. Inserts a count of 0."""
        cdef int rc
        cdef DB_TXN *c_txn = txn_of(txn)
        with nogil:
            rc = qnst_blobsism_store_idref(&self.handle, c_txn, handle, fsck)
        qnst_error.check(rc)

    def blobsism_purge_idref(self, qnst_txn txn, uint64_t handle, int32_t fsck=0):
        """blobsism_purge_idref(txn, handle, fsck=0) -> None. Deletes the count."""
        cdef int rc
        cdef DB_TXN *c_txn = txn_of(txn)
        with nogil:
            rc = qnst_blobsism_purge_idref(&self.handle, c_txn, handle, fsck)
        qnst_error.check(rc)

    def blobsism_store_hashid(self, qnst_txn txn, uint64_t handle, bytes hash not None,
                              uint32_t hashlen):
        """blobsism_store_hashid(txn, handle, hash, hashlen) -> None. Indexes hash -> handle."""
        cdef int rc
        cdef DB_TXN *c_txn = txn_of(txn)
        require_length(hash, hashlen, "hash")
        cdef const char *c_hash = hash
        with nogil:
            rc = qnst_blobsism_store_hashid(&self.handle, c_txn, handle, c_hash, hashlen)
        qnst_error.check(rc)

    def blobsism_purge_hashid(self, qnst_txn txn, bytes hash not None, uint32_t hashlen):
        """blobsism_purge_hashid(txn, hash, hashlen) -> None. Deletes the hash's index entry."""
        cdef int rc
        cdef DB_TXN *c_txn = txn_of(txn)
        require_length(hash, hashlen, "hash")
        cdef const char *c_hash = hash
        with nogil:
            rc = qnst_blobsism_purge_hashid(&self.handle, c_txn, c_hash, hashlen)
        qnst_error.check(rc)

    def blobsism_purge_idinfo(self, qnst_txn txn, uint64_t handle):
        """blobsism_purge_idinfo(txn, handle) -> None. Deletes the blob's info record."""
        cdef int rc
        cdef DB_TXN *c_txn = txn_of(txn)
        with nogil:
            rc = qnst_blobsism_purge_idinfo(&self.handle, c_txn, handle)
        qnst_error.check(rc)

    # ---- Scans of one partition ----------------------------------------------------------

    def blobsism_walk_idref(self, int32_t part, qnst_txn txn, int32_t fsck, uint64_t handle):
        """blobsism_walk_idref(part, txn, fsck, handle) -> (cursor, handle, count). Reference
        counts of partition `part` from `handle` on (of the check table with `fsck`); handle 0
        at the end."""
        cdef int rc
        cdef DBC *cursor = NULL
        cdef uint32_t count = 0
        cdef DB_TXN *c_txn = txn_of(txn)
        with nogil:
            rc = qnst_blobsism_walk_idref(&self.handle, part, c_txn, fsck, &cursor, &handle,
                                          &count)
        qnst_error.check(rc)
        return (new_cursor(cursor), handle, count)

    def blobsism_next_idref(self, int32_t part, qnst_cursor cursor not None):
        """blobsism_next_idref(part, cursor) -> (handle, count)."""
        cdef int rc
        cdef uint64_t handle = 0
        cdef uint32_t count = 0
        cdef DBC *c_cursor = cursor_of(cursor)
        with nogil:
            rc = qnst_blobsism_next_idref(&self.handle, part, c_cursor, &handle, &count)
        qnst_error.check(rc)
        return (handle, count)

    def blobsism_walk_idinfo(self, int32_t part, qnst_txn txn, uint64_t handle):
        """blobsism_walk_idinfo(part, txn, handle) -> (cursor, handle, size, hash). Info
        records of partition `part` from `handle` on; handle 0 and hash None at the end."""
        cdef int rc
        cdef DBC *cursor = NULL
        cdef uint64_t size = 0
        cdef uint32_t hashlen = 0
        cdef uint8_t hash[QNST_BLOB_MAX_HASH]
        cdef DB_TXN *c_txn = txn_of(txn)
        with nogil:
            rc = qnst_blobsism_walk_idinfo(&self.handle, part, c_txn, &cursor, &handle, &size,
                                           &hashlen, hash)
        qnst_error.check(rc)
        return (new_cursor(cursor), handle, size, blob_hash_or_none(hash, hashlen, handle))

    def blobsism_next_idinfo(self, int32_t part, qnst_cursor cursor not None):
        """blobsism_next_idinfo(part, cursor) -> (handle, size, hash)."""
        cdef int rc
        cdef uint64_t handle = 0, size = 0
        cdef uint32_t hashlen = 0
        cdef uint8_t hash[QNST_BLOB_MAX_HASH]
        cdef DBC *c_cursor = cursor_of(cursor)
        with nogil:
            rc = qnst_blobsism_next_idinfo(&self.handle, part, c_cursor, &handle, &size,
                                           &hashlen, hash)
        qnst_error.check(rc)
        return (handle, size, blob_hash_or_none(hash, hashlen, handle))

    def blobsism_walk_hashid(self, int32_t part, qnst_txn txn, uint32_t startlen,
                             bytes start not None):
        """blobsism_walk_hashid(part, txn, startlen, start) -> (cursor, handle, hash). Index
        entries of partition `part` from the first `startlen` bytes of `start` on (0: the
        first entry); handle 0 and hash None at the end."""
        cdef int rc
        cdef DBC *cursor = NULL
        cdef uint64_t handle = 0
        cdef uint32_t hashlen = QNST_BLOB_MAX_HASH
        cdef uint8_t hash[QNST_BLOB_MAX_HASH]
        cdef DB_TXN *c_txn = txn_of(txn)
        require_length(start, startlen, "start")
        if startlen > QNST_BLOB_MAX_HASH:
            raise ValueError("start is longer than the %d bytes of a hash" % QNST_BLOB_MAX_HASH)
        memset(hash, 0, QNST_BLOB_MAX_HASH)
        memcpy(hash, <const char *>start, startlen)
        with nogil:
            rc = qnst_blobsism_walk_hashid(&self.handle, part, c_txn, &cursor, &handle, startlen,
                                           &hashlen, hash)
        qnst_error.check(rc)
        return (new_cursor(cursor), handle, blob_hash_or_none(hash, hashlen, handle))

    def blobsism_next_hashid(self, int32_t part, qnst_cursor cursor not None):
        """blobsism_next_hashid(part, cursor) -> (handle, hash)."""
        cdef int rc
        cdef uint64_t handle = 0
        cdef uint32_t hashlen = QNST_BLOB_MAX_HASH
        cdef uint8_t hash[QNST_BLOB_MAX_HASH]
        cdef DBC *c_cursor = cursor_of(cursor)
        with nogil:
            rc = qnst_blobsism_next_hashid(&self.handle, part, c_cursor, &handle, &hashlen, hash)
        qnst_error.check(rc)
        return (handle, blob_hash_or_none(hash, hashlen, handle))

    def blobsism_done(self, int32_t part, qnst_cursor cursor not None):
        """blobsism_done(part, cursor) -> None. Ends a walk; an ended cursor is left alone."""
        cdef int rc
        cdef DBC *c_cursor = cursor.cursor
        cursor.cursor = NULL
        with nogil:
            rc = qnst_blobsism_done(&self.handle, part, c_cursor)
        qnst_error.check(rc)


# The objects it keeps must outlive its __dealloc__, even when the collector breaks a cycle.
@cython.no_gc_clear
cdef class pyITable:
    """A set of inode tables: ``itabm_create(env, id, aclsis, blksis, mblob, count)``,
    ``itabm_open(base, pagesize, create)``, the inode-number calls, ``itabm_close()``."""

    def __cinit__(self):
        memset(&self.handle, 0, sizeof(self.handle))
        self.created = False
        self.users = 0

    def __init__(self):
        # Takes no arguments: a new object is always closed.
        pass

    def __dealloc__(self):
        self.itabm_close()

    def itabm_create(self, qnst_env env not None, uint64_t id, pyACLSIS aclsis,
                     pyBlkSIS blksis, pyBlobSISM mblob, int32_t count):
        """itabm_create(env, id, aclsis, blksis, mblob, count) -> None. Creates a set of
        `count` tables registered in `env` under `id`; the inodes opened against it use the
        ACL store `aclsis`, the block store `blksis` and the blob store manager `mblob` (each
        may be None). The stores stay open while the set is created."""
        cdef int rc
        if self.created:
            raise ValueError("the inode-table set is created already")
        env_of(env)
        cdef qnst_blksism *sism = &blksis.handle if blksis is not None else NULL
        cdef qnst_aclsisrec *acls = &aclsis.handle if aclsis is not None else NULL
        cdef qnst_blobsism *blobs = &mblob.handle if mblob is not None else NULL
        with nogil:
            rc = qnst_itabm_create(&self.handle, &env.rec, id, acls, sism, blobs, count)
        qnst_error.check(rc)
        self.created = True
        self.env = env
        env.users += 1
        self.blksis = blksis
        if blksis is not None:
            blksis.users += 1
        self.aclsis = aclsis
        if aclsis is not None:
            aclsis.users += 1
        self.mblob = mblob
        if mblob is not None:
            mblob.users += 1

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
        it is not created. Raises qnst.QnstError (code 16, EBUSY) while an inode bound to it is
        open."""
        cdef int rc
        if not self.created:
            return
        if self.users:
            raise qnst.QnstError(EBUSY)
        with nogil:
            rc = qnst_itabm_close(&self.handle)
        self.created = False
        self.env.users -= 1
        self.env = None
        if self.blksis is not None:
            self.blksis.users -= 1
        self.blksis = None
        if self.aclsis is not None:
            self.aclsis.users -= 1
        self.aclsis = None
        if self.mblob is not None:
            self.mblob.users -= 1
        self.mblob = None
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
