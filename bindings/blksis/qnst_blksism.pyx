# cython: language_level=3, embedsignature=True
"""The block single-instance store: class pyBlkSIS over the store manager, and blksis_remove.

Handles are manager-level handles (partition index in bits 63..56); `storeid` is a partition
index. Walks return a qnst_bdb.qnst_cursor first; end every walk with walk_done."""

from libc.errno cimport EBUSY
from libc.string cimport memset, memcpy
from cpython.bytes cimport PyBytes_FromStringAndSize

cimport cython

from qnst64 cimport *
from qnst_bdb cimport (qnst_env, qnst_txn, qnst_cursor, qnst_lock, qnst_db, env_of, txn_of,
                       cursor_of, new_cursor, path_of, require_length)
from qnst_dfile cimport pyDFile

import qnst
from qnst import qnst_error

_companion_types = (qnst_env, qnst_txn, qnst_cursor, qnst_lock, qnst_db)

# Capacity of every hash buffer the store fills.
DEF HASH_CAPACITY = 20


cdef inline object hash_or_none(const uint8_t *hash, uint32_t hashlen):
    if hashlen == 0:
        return None
    if hashlen > HASH_CAPACITY:
        hashlen = HASH_CAPACITY
    return PyBytes_FromStringAndSize(<const char *>hash, hashlen)


def blksis_remove(qnst_env env not None, bytes dbfolder not None, int32_t no_files):
    """blksis_remove(env, dbfolder, no_files) -> None. Deletes the partition files of a store of
    `no_files` partitions (the store must not be open)."""
    cdef int rc
    cdef DB_ENV *dbenv = env_of(env)
    cdef const char *c_dbfolder = path_of(dbfolder)
    with nogil:
        rc = qnst_blksism_remove(dbenv, c_dbfolder, no_files)
    qnst_error.check(rc)


# The objects it keeps must outlive its __dealloc__, even when the collector breaks a cycle.
@cython.no_gc_clear
cdef class pyBlkSIS:
    """The block store: ``blksis_open(env, dfile, sis_list_size, dbfolder, init, cpath,
    csize)`` ... ``blksis_close()``."""

    def __cinit__(self):
        memset(&self.handle, 0, sizeof(self.handle))
        self.opened = False
        self.env = None
        self.dfile = None

    def __init__(self):
        # Takes no arguments: a new object is always closed.
        pass

    def __dealloc__(self):
        self.blksis_close()

    # ---- Life cycle ----------------------------------------------------------------------

    def blksis_open(self, qnst_env env not None, pyDFile dfile not None, int32_t sis_list_size,
                    bytes dbfolder not None, int32_t init, bytes cpath, int64_t csize):
        """blksis_open(env, dfile, sis_list_size, dbfolder, init, cpath, csize) -> None.
        Creates a store of `sis_list_size` partitions that charges data-file usage to the open
        pyDFile `dfile`, and opens its files "<dbfolder>_<p>.db" and its cache stores (files
        prefixed with `cpath`, `csize` bytes of cache tables in all; 0: none)."""
        cdef int rc
        if self.opened:
            raise ValueError("the block store is open already")
        cdef DB_ENV *dbenv = env_of(env)
        cdef qnst_dfile *c_dfile = dfile.table()
        cdef const char *c_dbfolder = path_of(dbfolder)
        cdef const char *c_cpath = path_of(cpath)
        with nogil:
            rc = qnst_blksism_create(&self.handle, dbenv, c_dfile, sis_list_size)
        qnst_error.check(rc)
        self.opened = True
        self.env = env
        env.users += 1
        self.dfile = dfile
        dfile.users += 1
        with nogil:
            rc = qnst_blksism_open(&self.handle, c_dbfolder, init, c_cpath, csize)
        qnst_error.check(rc)

    def blksis_close(self):
        """blksis_close() -> None. Closes the store; does nothing when it is not open. Raises
        qnst.QnstError (code 16, EBUSY) while an inode-table set created with it is open."""
        cdef int rc
        if not self.opened:
            return
        if self.users:
            raise qnst.QnstError(EBUSY)
        with nogil:
            rc = qnst_blksism_close(&self.handle)
        self.dfile.users -= 1
        self.opened = False
        self.env.users -= 1
        self.env = None
        self.dfile = None
        qnst_error.check(rc)

    def cachesis_drop(self, qnst_env env not None, int32_t sis_list_size, bytes dbfolder,
                      bytes cpath):
        """cachesis_drop(env, sis_list_size, dbfolder, cpath) -> None. Deletes every
        partition's cache table; the store runs without them until reopened with a budget.
        Does nothing when the store is not open."""
        cdef int rc
        env_of(env)
        cdef const char *c_dbfolder = path_of(dbfolder)
        cdef const char *c_cpath = path_of(cpath)
        if not self.opened:
            return
        with nogil:
            rc = qnst_csism_drop(&self.handle, c_dbfolder, c_cpath)
        qnst_error.check(rc)

    # ---- Blocks --------------------------------------------------------------------------

    def blk_lookup(self, qnst_txn txn, bytes hash not None, uint32_t hashlen,
                   uint32_t cacheonly=0):
        """blk_lookup(txn, hash, hashlen, cacheonly=0) -> handle. The block stored with the
        first `hashlen` bytes of `hash`; 0 when the hash is not stored."""
        cdef int rc
        cdef uint64_t handle = 0
        cdef DB_TXN *c_txn = txn_of(txn)
        require_length(hash, hashlen, "hash")
        cdef const char *c_hash = hash
        with nogil:
            rc = qnst_sism_lookup(&self.handle, c_txn, c_hash, hashlen, cacheonly, &handle)
        qnst_error.check(rc)
        return handle

    def blk_gen_handle(self, bytes hash not None, uint32_t hashlen):
        """blk_gen_handle(hash, hashlen) -> handle. A new handle in the hash's partition."""
        cdef int rc
        cdef uint64_t handle = 0
        require_length(hash, hashlen, "hash")
        cdef const char *c_hash = hash
        with nogil:
            rc = qnst_sism_gen_handle(&self.handle, c_hash, hashlen, &handle)
        qnst_error.check(rc)
        return handle

    def blk_hold(self, qnst_txn txn, uint64_t handle, uint32_t fsck=0):
        """blk_hold(txn, handle, fsck=0) -> None. Adds a reference: queued on the hold/release
        queue, or with `fsck` applied at once to the check reference table."""
        cdef int rc
        cdef DB_TXN *c_txn = txn_of(txn)
        with nogil:
            rc = qnst_sism_hold(&self.handle, c_txn, handle, fsck)
        qnst_error.check(rc)

    def blk_rele(self, qnst_txn txn, uint64_t handle):
        """blk_rele(txn, handle) -> count. Queues a release (count 0 after success)."""
        cdef int rc
        cdef uint32_t count = 0
        cdef DB_TXN *c_txn = txn_of(txn)
        with nogil:
            rc = qnst_sism_rele(&self.handle, c_txn, handle, &count)
        qnst_error.check(rc)
        return count

    def blk_read(self, qnst_txn txn, uint64_t handle):
        """blk_read(txn, handle) -> (dfid, dfver, offset, length, linked). Where the block's
        data lies; `linked` is 1 when a symbolic link was followed."""
        cdef int rc
        cdef uint32_t dfid = 0, dfver = 0, length = 0, hashlen = 0, followed = 0
        cdef uint64_t offset = 0
        cdef DB_TXN *c_txn = txn_of(txn)
        with nogil:
            rc = qnst_sism_read(&self.handle, c_txn, handle, &dfid, &dfver, &offset, &length,
                                &hashlen, NULL, &followed)
        qnst_error.check(rc)
        return (dfid, dfver, offset, length, followed)

    def blk_hashread(self, qnst_txn txn, uint64_t handle):
        """blk_hashread(txn, handle) -> (hash, dfid, dfver, offset, length)."""
        cdef int rc
        cdef uint32_t dfid = 0, dfver = 0, length = 0, hashlen = 0, followed = 0
        cdef uint64_t offset = 0
        cdef uint8_t hash[HASH_CAPACITY]
        cdef DB_TXN *c_txn = txn_of(txn)
        with nogil:
            rc = qnst_sism_read(&self.handle, c_txn, handle, &dfid, &dfver, &offset, &length,
                                &hashlen, hash, &followed)
        qnst_error.check(rc)
        if hashlen > HASH_CAPACITY:
            hashlen = HASH_CAPACITY
        return (PyBytes_FromStringAndSize(<const char *>hash, hashlen), dfid, dfver, offset,
                length)

    def blk_move(self, qnst_txn txn, uint64_t handle, uint32_t dfid, uint32_t dfver,
                 uint64_t offset):
        """blk_move(txn, handle, dfid, dfver, offset) -> growth. Records that the block now
        lies at `offset` of version `dfver` of data file `dfid`."""
        cdef int rc
        cdef uint64_t growth = 0
        cdef DB_TXN *c_txn = txn_of(txn)
        with nogil:
            rc = qnst_sism_move(&self.handle, c_txn, handle, dfid, dfver, offset, &growth)
        qnst_error.check(rc)
        return growth

    def blk_getref(self, qnst_txn txn, uint64_t handle, uint32_t fsck=0):
        """blk_getref(txn, handle, fsck=0) -> count. The block's reference count."""
        cdef int rc
        cdef uint32_t ref = 0
        cdef DB_TXN *c_txn = txn_of(txn)
        with nogil:
            rc = qnst_blksism_getref(&self.handle, c_txn, fsck, handle, &ref)
        qnst_error.check(rc)
        return ref

    def blk_setref(self, qnst_txn txn, uint64_t handle, uint32_t ref, uint32_t fsck=0):
        """blk_setref(txn, handle, ref, fsck=0) -> None. Writes the reference word `ref`."""
        cdef int rc
        cdef DB_TXN *c_txn = txn_of(txn)
        with nogil:
            rc = qnst_blksism_setref(&self.handle, c_txn, fsck, handle, ref)
        qnst_error.check(rc)

    def blk_seq_extend(self):
        """blk_seq_extend() -> None. Skips 100,000 handles in every partition."""
        cdef int rc
        with nogil:
            rc = qnst_sism_seq_extend(&self.handle)
        qnst_error.check(rc)

    def blk_xlat(self, qnst_txn txn, uint64_t handle):
        """blk_xlat(txn, handle) -> handle. Resolves a translated handle."""
        cdef int rc
        cdef uint64_t out = 0
        cdef DB_TXN *c_txn = txn_of(txn)
        with nogil:
            rc = qnst_xlat_handle(&self.handle, c_txn, handle, &out)
        qnst_error.check(rc)
        return out

    def blk_store_idref(self, qnst_txn txn, uint64_t handle, uint32_t fsck=0):
        """blk_store_idref(txn, handle, fsck=0) -> None. Inserts a zero reference count."""
        cdef int rc
        cdef DB_TXN *c_txn = txn_of(txn)
        with nogil:
            rc = qnst_sism_store_idref(&self.handle, c_txn, handle, fsck)
        qnst_error.check(rc)

    def blk_purge_idref(self, qnst_txn txn, uint64_t handle, uint32_t fsck=0):
        """blk_purge_idref(txn, handle, fsck=0) -> None. Deletes the reference record."""
        cdef int rc
        cdef DB_TXN *c_txn = txn_of(txn)
        with nogil:
            rc = qnst_sism_purge_idref(&self.handle, c_txn, handle, fsck)
        qnst_error.check(rc)

    def blk_store_hashid(self, qnst_txn txn, uint64_t handle, bytes hash not None,
                         uint32_t hashlen):
        """blk_store_hashid(txn, handle, hash, hashlen) -> None. Indexes hash -> handle."""
        cdef int rc
        cdef DB_TXN *c_txn = txn_of(txn)
        require_length(hash, hashlen, "hash")
        cdef const char *c_hash = hash
        with nogil:
            rc = qnst_sism_store_hashid(&self.handle, c_txn, handle, c_hash, hashlen)
        qnst_error.check(rc)

    def blk_purge_hashid(self, qnst_txn txn, bytes hash not None, uint32_t hashlen):
        """blk_purge_hashid(txn, hash, hashlen) -> None. Deletes the hash's index entry."""
        cdef int rc
        cdef DB_TXN *c_txn = txn_of(txn)
        require_length(hash, hashlen, "hash")
        cdef const char *c_hash = hash
        with nogil:
            rc = qnst_sism_purge_hashid(&self.handle, c_txn, c_hash, hashlen)
        qnst_error.check(rc)

    def blk_purge_iddf(self, qnst_txn txn, uint64_t handle):
        """blk_purge_iddf(txn, handle) -> None. Deletes the block's location record."""
        cdef int rc
        cdef DB_TXN *c_txn = txn_of(txn)
        with nogil:
            rc = qnst_sism_purge_iddf(&self.handle, c_txn, handle)
        qnst_error.check(rc)

    # ---- Walks ---------------------------------------------------------------------------

    def walk_idref(self, qnst_txn txn, int32_t storeid, uint64_t handle, uint32_t fsck=0,
                   uint32_t plist=0):
        """walk_idref(txn, storeid, handle, fsck=0, plist=0) -> (cursor, handle, word, count).
        Reference words of partition `storeid` from `handle` on (of the purge list with
        `plist`, of the check table with `fsck`); handle 0 at the end."""
        cdef int rc
        cdef DBC *cursor = NULL
        cdef uint32_t word = 0, count = 0
        cdef DB_TXN *c_txn = txn_of(txn)
        with nogil:
            rc = qnst_sism_walk_idref(&self.handle, storeid, c_txn, fsck, plist, &cursor,
                                      &handle, &word, &count)
        qnst_error.check(rc)
        return (new_cursor(cursor), handle, word, count)

    def next_idref(self, int32_t storeid, qnst_cursor cursor not None):
        """next_idref(storeid, cursor) -> (handle, word, count)."""
        cdef int rc
        cdef uint64_t handle = 0
        cdef uint32_t word = 0, count = 0
        cdef DBC *c_cursor = cursor_of(cursor)
        with nogil:
            rc = qnst_sism_next_idref(&self.handle, storeid, c_cursor, &handle, &word, &count)
        qnst_error.check(rc)
        return (handle, word, count)

    def walk_iddf(self, qnst_txn txn, int32_t storeid, uint64_t handle):
        """walk_iddf(txn, storeid, handle) -> (cursor, handle, dfid, dfver, offset, length,
        hash). Location records from `handle` on; hash is None when the record holds none."""
        cdef int rc
        cdef DBC *cursor = NULL
        cdef uint32_t dfid = 0, dfver = 0, length = 0, hashlen = 0
        cdef uint64_t offset = 0
        cdef uint8_t hash[HASH_CAPACITY]
        cdef DB_TXN *c_txn = txn_of(txn)
        with nogil:
            rc = qnst_sism_walk_iddf(&self.handle, storeid, c_txn, &cursor, &handle, &dfid,
                                     &dfver, &offset, &length, &hashlen, hash)
        qnst_error.check(rc)
        return (new_cursor(cursor), handle, dfid, dfver, offset, length,
                hash_or_none(hash, hashlen))

    def next_iddf(self, int32_t storeid, qnst_cursor cursor not None):
        """next_iddf(storeid, cursor) -> (handle, dfid, dfver, offset, length, hash)."""
        cdef int rc
        cdef uint64_t handle = 0, offset = 0
        cdef uint32_t dfid = 0, dfver = 0, length = 0, hashlen = 0
        cdef uint8_t hash[HASH_CAPACITY]
        cdef DBC *c_cursor = cursor_of(cursor)
        with nogil:
            rc = qnst_sism_next_iddf(&self.handle, storeid, c_cursor, &handle, &dfid, &dfver,
                                     &offset, &length, &hashlen, hash)
        qnst_error.check(rc)
        return (handle, dfid, dfver, offset, length, hash_or_none(hash, hashlen))

    def walk_hashid(self, qnst_txn txn, int32_t storeid, bytes ohash not None,
                    uint32_t ohashlen):
        """walk_hashid(txn, storeid, ohash, ohashlen) -> (cursor, handle, hash). Hash-index
        entries from the first `ohashlen` bytes of `ohash` on; handle 0 at the end."""
        cdef int rc
        cdef DBC *cursor = NULL
        cdef uint64_t handle = 0
        cdef uint32_t hashlen = HASH_CAPACITY
        cdef uint8_t hash[HASH_CAPACITY]
        cdef DB_TXN *c_txn = txn_of(txn)
        require_length(ohash, ohashlen, "ohash")
        # The engine refuses a start longer than the buffer; copy no more than it holds.
        memset(hash, 0, HASH_CAPACITY)
        memcpy(hash, <const char *>ohash, min(ohashlen, HASH_CAPACITY))
        with nogil:
            rc = qnst_sism_walk_hashid(&self.handle, storeid, c_txn, &cursor, &handle, ohashlen,
                                       &hashlen, hash)
        qnst_error.check(rc)
        return (new_cursor(cursor), handle, hash_or_none(hash, hashlen if handle else 0))

    def next_hashid(self, int32_t storeid, qnst_cursor cursor not None):
        """next_hashid(storeid, cursor) -> (handle, hash)."""
        cdef int rc
        cdef uint64_t handle = 0
        cdef uint32_t hashlen = HASH_CAPACITY
        cdef uint8_t hash[HASH_CAPACITY]
        cdef DBC *c_cursor = cursor_of(cursor)
        with nogil:
            rc = qnst_sism_next_hashid(&self.handle, storeid, c_cursor, &handle, &hashlen, hash)
        qnst_error.check(rc)
        return (handle, hash_or_none(hash, hashlen if handle else 0))

    def walk_done(self, int32_t storeid, qnst_cursor cursor not None):
        """walk_done(storeid, cursor) -> None. Ends a walk; an ended cursor is left alone."""
        cdef int rc
        cdef DBC *c_cursor = cursor.cursor
        with nogil:
            rc = qnst_sism_done(&self.handle, storeid, c_cursor)
        if rc == 0:
            cursor.cursor = NULL
        qnst_error.check(rc)

    # ---- Queues, cache and statistics ----------------------------------------------------

    def stq_flush(self, qnst_txn txn, int32_t storeid, uint32_t tail):
        """stq_flush(txn, storeid, tail) -> tail. Flushes one store-queue record; start a pass
        with tail 0 and pass the returned tail back until it is 0 again."""
        cdef int rc
        cdef DB_TXN *c_txn = txn_of(txn)
        with nogil:
            rc = qnst_sism_stqflush(&self.handle, c_txn, storeid, &tail)
        qnst_error.check(rc)
        return tail

    def hdq_flush(self, qnst_txn txn, int32_t storeid, uint32_t tail, uint32_t compactor):
        """hdq_flush(txn, storeid, tail, compactor) -> tail. Applies one hold/release-queue
        record; the pass discipline of stq_flush."""
        cdef int rc
        cdef DB_TXN *c_txn = txn_of(txn)
        with nogil:
            rc = qnst_sism_hdqflush(&self.handle, c_txn, storeid, &tail, compactor)
        qnst_error.check(rc)
        return tail

    def blk_histget(self, int32_t refcnt):
        """blk_histget(refcnt) -> count. Blocks whose reference count falls in bucket `refcnt`
        (1..256), over all partitions."""
        cdef int rc
        cdef uint32_t total = 0
        with nogil:
            rc = qnst_sism_histget(&self.handle, refcnt, &total)
        qnst_error.check(rc)
        return total

    def blk_getcachesize(self):
        """blk_getcachesize() -> (entries, 256). The cache capacity over all partitions."""
        cdef int rc
        cdef uint32_t entries = 0
        with nogil:
            rc = qnst_sism_csis_size(&self.handle, &entries)
        qnst_error.check(rc)
        return (entries, 256)

    def blk_cachestats(self):
        """blk_cachestats() -> (hits, misses)."""
        cdef int rc
        cdef uint32_t hits = 0, misses = 0
        with nogil:
            rc = qnst_csis_getstats(&self.handle, &hits, &misses)
        qnst_error.check(rc)
        return (hits, misses)

    def blk_cache_refresh(self, qnst_txn txn, int32_t storeid, uint64_t handle, uint32_t ref,
                          int32_t wmark):
        """blk_cache_refresh(txn, storeid, handle, ref, wmark) -> None. Sets the partition's
        watermark and refreshes the cache entry of one block of a reference walk."""
        cdef int rc
        cdef DB_TXN *c_txn = txn_of(txn)
        with nogil:
            rc = qnst_sism_cache_refresh(&self.handle, c_txn, storeid, handle, ref, wmark)
        qnst_error.check(rc)

    def blk_wmark_update(self, int32_t wmark):
        """blk_wmark_update(wmark) -> None. Sets every partition's cache watermark."""
        cdef int rc
        with nogil:
            rc = qnst_sism_cache_wmupdate(&self.handle, wmark)
        qnst_error.check(rc)

    # ---- Compaction and consistency check ------------------------------------------------

    def compact_init(self, int32_t storeid):
        """compact_init(storeid) -> None. Starts a compaction of partition `storeid`."""
        cdef int rc
        with nogil:
            rc = qnst_sism_compact_init(&self.handle, storeid)
        qnst_error.check(rc)

    def compact_cleanup(self, int32_t storeid):
        """compact_cleanup(storeid) -> None. Ends the compaction of partition `storeid`."""
        cdef int rc
        with nogil:
            rc = qnst_sism_compact_cleanup(&self.handle, storeid)
        qnst_error.check(rc)

    def compact_plist_add(self, qnst_txn txn, int32_t storeid, uint64_t handle, uint32_t ref):
        """compact_plist_add(txn, storeid, handle, ref) -> None. Puts an unreferenced block of
        a reference walk onto the purge list."""
        cdef int rc
        cdef DB_TXN *c_txn = txn_of(txn)
        with nogil:
            rc = qnst_sism_compact_padd(&self.handle, c_txn, storeid, handle, ref)
        qnst_error.check(rc)

    def compact_plist_purge(self, qnst_txn txn, int32_t storeid, uint64_t handle,
                            uint32_t ref):
        """compact_plist_purge(txn, storeid, handle, ref) -> None. Frees a block of a
        purge-list walk."""
        cdef int rc
        cdef DB_TXN *c_txn = txn_of(txn)
        with nogil:
            rc = qnst_sism_compact_ppurge(&self.handle, c_txn, storeid, handle, ref)
        qnst_error.check(rc)

    def blksis_dbcompact(self, int32_t strtfile, int32_t endfile):
        """blksis_dbcompact(strtfile, endfile) -> (freed, truncated). Compacts the tables of
        partitions strtfile..endfile; returns the pages freed and truncated."""
        cdef int rc
        cdef uint32_t freed = 0, truncated = 0
        with nogil:
            rc = qnst_sism_dbcompact(&self.handle, &freed, &truncated, strtfile, endfile)
        qnst_error.check(rc)
        return (freed, truncated)

    def blksis_open_fsck(self, bytes dbfolder not None, uint32_t remove=1):
        """blksis_open_fsck(dbfolder, remove=1) -> None. Opens the check tables, removing old
        ones first when `remove` is set."""
        cdef int rc
        cdef const char *c_dbfolder = path_of(dbfolder)
        with nogil:
            rc = qnst_blksism_open_fsck(&self.handle, c_dbfolder, remove)
        qnst_error.check(rc)

    def blksis_close_fsck(self, bytes dbfolder not None, uint32_t remove=1):
        """blksis_close_fsck(dbfolder, remove=1) -> None. Closes the check tables, removing
        them when `remove` is set."""
        cdef int rc
        cdef const char *c_dbfolder = path_of(dbfolder)
        with nogil:
            rc = qnst_blksism_close_fsck(&self.handle, c_dbfolder, remove)
        qnst_error.check(rc)

    def blksis_fsckq_put(self, qnst_txn txn, uint64_t handle, uint64_t fset):
        """blksis_fsckq_put(txn, handle, fset) -> None. Queues a handle for checking."""
        cdef int rc
        cdef DB_TXN *c_txn = txn_of(txn)
        with nogil:
            rc = qnst_sism_fsckq_put(&self.handle, c_txn, handle, fset)
        qnst_error.check(rc)

    def blksis_fsckq_get(self, qnst_txn txn, int32_t storeid):
        """blksis_fsckq_get(txn, storeid) -> (handle, fset). Takes the first entry of the
        partition's check queue; handle 0 when it is empty."""
        cdef int rc
        cdef uint64_t handle = 0, fset = 0
        cdef DB_TXN *c_txn = txn_of(txn)
        with nogil:
            rc = qnst_sism_fsckq_get(&self.handle, storeid, c_txn, &handle, &fset)
        qnst_error.check(rc)
        return (handle, fset)
