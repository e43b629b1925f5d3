# cython: language_level=3, embedsignature=True
"""The namespace store: class pyInode, one object per open inode.

An inode is bound to an inode-table set (qnst_itabm.pyITable) with ``inode_open(itab, setnode,
ino)``; its folder entries, block map, stat versions, extended attributes, blob map and MAPI
message map are then reached through its methods. Walks return a qnst_bdb.qnst_cursor first, which the matching done
method ends; a walk has ended when its cver is 0 (names and values are then None)."""

from libc.string cimport memset
from cpython.bytes cimport PyBytes_FromStringAndSize

cimport cython

from qnst64 cimport *
from qnst_bdb cimport (qnst_env, qnst_txn, qnst_cursor, qnst_lock, qnst_db, txn_of, cursor_of,
                       new_cursor, require_length)
from qnst_itabm cimport pyITable

from qnst import qnst_error

_companion_types = (qnst_env, qnst_txn, qnst_cursor, qnst_lock, qnst_db, pyITable)


cdef inline object entry_name(const char *name, uint32_t namelen, uint32_t cver):
    # A listing that has ended (cver 0) names nothing.
    if cver == 0:
        return None
    if namelen > QNST_DIR_MAXNAME:
        namelen = QNST_DIR_MAXNAME
    return PyBytes_FromStringAndSize(name, namelen)


cdef object take_value(int rc, void *value, uint32_t size, void *buf, bint walk, uint32_t cver):
    # Checks the engine's code, copies an attribute value out of the engine's buffer and releases
    # the buffer in every case. A walk that has ended gives None.
    try:
        qnst_error.check(rc)
        if walk and cver == 0:
            return None
        if value == NULL:
            return b""
        return PyBytes_FromStringAndSize(<const char *>value, size)
    finally:
        qnst_eatr_free(buf)


cdef object take_mapi_buffer(int rc, void *buf, uint32_t size):
    # Checks the engine's code, copies a message's information record out of the engine's buffer
    # and releases the buffer in every case; None when the engine found none.
    try:
        qnst_error.check(rc)
        if buf == NULL:
            return None
        return PyBytes_FromStringAndSize(<const char *>buf, size)
    finally:
        qnst_mapimsg_freebuf(buf)


cdef inline object message_key(const char *key, uint32_t keylen, uint32_t cver):
    # A walk that has ended (cver 0) names no message.
    if cver == 0:
        return None
    if keylen > QNST_MAPI_MAX_KEY:
        keylen = QNST_MAPI_MAX_KEY
    return PyBytes_FromStringAndSize(key, keylen)


cdef bytes cookie_name_bytes(name):
    # The name of a listing's resume point: bytes as they are, other names encoded as UTF-8.
    if isinstance(name, bytes):
        return name
    encoded = name.encode("utf-8")
    if encoded is None:
        raise TypeError("object of type 'NoneType' has no len()")
    if not isinstance(encoded, bytes):
        raise TypeError("Expected bytes, got %.200s" % type(encoded).__name__)
    return encoded


# The objects it keeps must outlive its __dealloc__, even when the collector breaks a cycle.
@cython.no_gc_clear
cdef class pyInode:
    """One inode of an inode-table set: ``inode_open(itab, setnode, ino)``, then ``inode_init``
    or ``inode_chk``, the family methods, ``inode_close()``. One thread at a time."""

    def __cinit__(self):
        memset(&self.handle, 0, sizeof(self.handle))
        self.number = 0
        self.bound = False
        self.itab = None
        self.setnode = None

    def __init__(self):
        # Takes no arguments: a new object is always closed.
        pass

    def __dealloc__(self):
        self.inode_close()

    # ---- Life cycle ----------------------------------------------------------------------

    def inode_open(self, pyITable itab not None, pyInode setnode, uint32_t ino):
        """inode_open(itab, setnode, ino) -> None. Binds the object to inode `ino` of the set
        `itab`; usage changes go on to `setnode` (a pyInode, or None). Opens no database."""
        cdef int rc
        if self.bound:
            raise ValueError("the inode is open already")
        cdef qnst_inoderec *c_setnode = &setnode.handle if setnode is not None else NULL
        self.number = ino
        self.bound = True
        self.itab = itab
        itab.users += 1
        self.setnode = setnode
        with nogil:
            rc = qnst_inode_open(&self.handle, &itab.handle, c_setnode, ino)
        qnst_error.check(rc)

    def inode_close(self):
        """inode_close() -> None. Closes the inode's own database and unbinds the object; does
        nothing when it is not open. End its walks first."""
        if not self.bound:
            return
        with nogil:
            qnst_inode_close(&self.handle)
        # A closed object points into nothing: its calls are refused (code 22) until it is
        # opened again, even after the set is closed.
        memset(&self.handle, 0, sizeof(self.handle))
        self.number = 0
        self.bound = False
        self.itab.users -= 1
        self.itab = None
        self.setnode = None

    @property
    def ino(self):
        """The open inode number (0 when not open)."""
        return self.number

    def inode_init(self, uint32_t ver, bint misc):
        """inode_init(ver, misc) -> None. Initialises the inode with `ver` (misc mode when
        `misc` is true) and opens its own database."""
        cdef int rc
        with nogil:
            if misc:
                rc = qnst_misc_inode_init(&self.handle, ver)
            else:
                rc = qnst_inode_init(&self.handle, ver)
        qnst_error.check(rc)

    def inode_chk(self):
        """inode_chk() -> None. Opens an existing inode's own database; raises qnst.NotFound
        when the inode was never initialised."""
        cdef int rc
        with nogil:
            rc = qnst_inode_chk(&self.handle)
        qnst_error.check(rc)

    # ---- Usage and quotas ----------------------------------------------------------------

    def quota_set(self, qnst_txn txn, int64_t fscurrentq, int64_t fscurrentu, int64_t fstotalq,
                  int64_t fstotalu, int64_t stcurrentq, int64_t stcurrentu, int64_t sttotalq,
                  int64_t sttotalu, int64_t filescurrent, int64_t filestotal):
        """quota_set(txn, fscurrentq, fscurrentu, fstotalq, fstotalu, stcurrentq, stcurrentu,
        sttotalq, sttotalu, filescurrent, filestotal) -> None. Writes the usage record."""
        cdef int rc
        cdef DB_TXN *c_txn = txn_of(txn)
        with nogil:
            rc = qnst_inode_usage_set(&self.handle, c_txn, fscurrentq, fscurrentu, fstotalq,
                                      fstotalu, stcurrentq, stcurrentu, sttotalq, sttotalu,
                                      filescurrent, filestotal)
        qnst_error.check(rc)

    def quota_get(self, qnst_txn txn):
        """quota_get(txn) -> (fscurrentq, fscurrentu, fstotalq, fstotalu, stcurrentq,
        stcurrentu, sttotalq, sttotalu, filescurrent, filestotal). The usage record, with the
        limits this object was given (inode_setquota), not the stored ones."""
        cdef int rc
        cdef int64_t v[10]
        cdef DB_TXN *c_txn = txn_of(txn)
        memset(v, 0, sizeof(v))
        with nogil:
            rc = qnst_inode_usage_get(&self.handle, c_txn, &v[0], &v[1], &v[2], &v[3], &v[4],
                                      &v[5], &v[6], &v[7], &v[8], &v[9])
        qnst_error.check(rc)
        return (v[0], v[1], v[2], v[3], v[4], v[5], v[6], v[7], v[8], v[9])

    def quota_update(self, qnst_txn txn, int64_t fscurrentd, int64_t fstotald,
                     int64_t stcurrentd, int64_t sttotald, int64_t filescurrent,
                     int64_t filestotal):
        """quota_update(txn, fscurrentd, fstotald, stcurrentd, sttotald, filescurrent,
        filestotal) -> None. Adds the deltas to this inode's usage and up its set-node chain;
        raises qnst.QuotaExceeded when a limit refuses them."""
        cdef int rc
        cdef DB_TXN *c_txn = txn_of(txn)
        with nogil:
            rc = qnst_inode_usg(&self.handle, c_txn, fscurrentd, fstotald, stcurrentd, sttotald,
                                filescurrent, filestotal)
        qnst_error.check(rc)

    def inode_setquota(self, int64_t fscurrentq, int64_t fstotalq, int64_t stcurrentq,
                       int64_t sttotalq):
        """inode_setquota(fscurrentq, fstotalq, stcurrentq, sttotalq) -> None. Sets this
        object's limits (0: none)."""
        cdef int rc
        with nogil:
            rc = qnst_inode_setquota(&self.handle, fscurrentq, fstotalq, stcurrentq, sttotalq)
        qnst_error.check(rc)

    # ---- Block maps ----------------------------------------------------------------------

    def bmap_add_vent(self, qnst_txn txn, uint32_t cver, uint64_t off, uint32_t dver):
        """bmap_add_vent(txn, cver, off, dver) -> None. Writes the version entry (cver, off)."""
        cdef int rc
        cdef DB_TXN *c_txn = txn_of(txn)
        with nogil:
            rc = qnst_bmap_add_vent(&self.handle, c_txn, cver, off, dver)
        qnst_error.check(rc)

    def bmap_get_oent(self, qnst_txn txn, uint64_t off, uint32_t cver):
        """bmap_get_oent(txn, off, cver) -> (dver, size, handle). The offset entry (off, cver)."""
        cdef int rc
        cdef uint32_t dver = 0, size = 0
        cdef uint64_t handle = 0
        cdef DB_TXN *c_txn = txn_of(txn)
        with nogil:
            rc = qnst_bmap_get_oent(&self.handle, c_txn, off, cver, &dver, &size, &handle)
        qnst_error.check(rc)
        return (dver, size, handle)

    def bmap_get_vent(self, qnst_txn txn, uint32_t cver, uint64_t off):
        """bmap_get_vent(txn, cver, off) -> dver. The version entry (cver, off)."""
        cdef int rc
        cdef uint32_t dver = 0
        cdef DB_TXN *c_txn = txn_of(txn)
        with nogil:
            rc = qnst_bmap_get_vent(&self.handle, c_txn, cver, off, &dver)
        qnst_error.check(rc)
        return dver

    def bmap_lookup(self, qnst_txn txn, uint64_t offset, uint32_t ver):
        """bmap_lookup(txn, offset, ver) -> (size, cver, dver, handle). The block starting at
        `offset` valid at `ver`; raises qnst.NotFound when there is none."""
        cdef int rc
        cdef uint32_t size = 0, cver = 0, dver = 0
        cdef uint64_t handle = 0
        cdef DB_TXN *c_txn = txn_of(txn)
        with nogil:
            rc = qnst_bmap_lookup(&self.handle, c_txn, offset, ver, &size, &cver, &dver, &handle)
        qnst_error.check(rc)
        return (size, cver, dver, handle)

    def bmap_del_oent(self, qnst_txn txn, uint64_t offset, uint32_t cver):
        """bmap_del_oent(txn, offset, cver) -> None. Deletes the offset entry (offset, cver)."""
        cdef int rc
        cdef DB_TXN *c_txn = txn_of(txn)
        with nogil:
            rc = qnst_bmap_del_oent(&self.handle, c_txn, offset, cver)
        qnst_error.check(rc)

    def bmap_del_vent(self, qnst_txn txn, uint32_t cver, uint64_t offset):
        """bmap_del_vent(txn, cver, offset) -> None. Deletes the version entry (cver, offset)."""
        cdef int rc
        cdef DB_TXN *c_txn = txn_of(txn)
        with nogil:
            rc = qnst_bmap_del_vent(&self.handle, c_txn, cver, offset)
        qnst_error.check(rc)

    def bmap_purge(self, qnst_txn txn, uint64_t offset, uint32_t ver, uint32_t fsck):
        """bmap_purge(txn, offset, ver, fsck) -> None. Removes the entry (offset, ver) and,
        unless `fsck`, releases its block."""
        cdef int rc
        cdef DB_TXN *c_txn = txn_of(txn)
        with nogil:
            rc = qnst_bmap_purge(&self.handle, c_txn, offset, ver, fsck)
        qnst_error.check(rc)

    def bmap_clear(self, qnst_txn txn, uint64_t offset, uint32_t size, uint32_t ver):
        """bmap_clear(txn, offset, size, ver) -> None. Cuts [offset, offset + size) out of the
        map as of `ver`."""
        cdef int rc
        cdef DB_TXN *c_txn = txn_of(txn)
        with nogil:
            rc = qnst_bmap_clear(&self.handle, c_txn, offset, size, ver)
        qnst_error.check(rc)

    def bmap_enter(self, qnst_txn txn, uint64_t offset, uint32_t size, uint32_t ver,
                   uint64_t handle, bytes hash not None, uint32_t hashlen, uint32_t dfid,
                   uint32_t dver, uint64_t coff, uint32_t csize):
        """bmap_enter(txn, offset, size, ver, handle, hash, hashlen, dfid, dver, coff, csize)
        -> None. Stores a newly written block under `handle` (csize bytes at `coff` of version
        `dver` of data file `dfid`) and maps [offset, offset + size) to it from `ver`."""
        cdef int rc
        cdef DB_TXN *c_txn = txn_of(txn)
        require_length(hash, hashlen, "hash")
        cdef const char *c_hash = hash
        with nogil:
            rc = qnst_bmap_enter(&self.handle, c_txn, offset, size, ver, handle, c_hash, hashlen,
                                 dfid, dver, coff, csize)
        qnst_error.check(rc)

    def bmap_reconcile(self, qnst_txn txn, uint64_t offset, uint32_t size, uint32_t ver,
                       bytes hash not None, uint32_t hashlen, uint32_t nwopt):
        """bmap_reconcile(txn, offset, size, ver, hash, hashlen, nwopt) -> handle. Maps the
        range from `ver` to the block already stored with `hash`; 0 when the hash is unknown
        (nothing changed)."""
        cdef int rc
        cdef uint64_t handle = 0
        cdef DB_TXN *c_txn = txn_of(txn)
        require_length(hash, hashlen, "hash")
        cdef const char *c_hash = hash
        with nogil:
            rc = qnst_bmap_reconcile(&self.handle, c_txn, offset, size, ver, c_hash, hashlen,
                                     &handle, nwopt)
        qnst_error.check(rc)
        return handle

    def bmap_walk(self, qnst_txn txn, uint32_t lastver, uint64_t offset):
        """bmap_walk(txn, lastver, offset) -> (cursor, cver, dver, offset). Version entries of
        the versions after `lastver`, oldest version first; cver 0 at the end."""
        cdef int rc
        cdef DBC *cursor = NULL
        cdef uint32_t cver = 0, dver = 0
        cdef DB_TXN *c_txn = txn_of(txn)
        with nogil:
            rc = qnst_bmap_walk(&self.handle, c_txn, lastver, &cursor, &cver, &dver, &offset)
        qnst_error.check(rc)
        return (new_cursor(cursor), cver, dver, offset)

    def bmap_next(self, qnst_cursor cursor not None):
        """bmap_next(cursor) -> (cver, dver, offset). The next version entry."""
        cdef int rc
        cdef uint32_t cver = 0, dver = 0
        cdef uint64_t offset = 0
        cdef DBC *c_cursor = cursor_of(cursor)
        with nogil:
            rc = qnst_bmap_next(&self.handle, c_cursor, &cver, &dver, &offset)
        qnst_error.check(rc)
        return (cver, dver, offset)

    def bmap_done(self, qnst_cursor cursor not None):
        """bmap_done(cursor) -> None. Ends a block-map listing; an ended cursor is left
        alone."""
        cdef int rc
        cdef DBC *c_cursor = cursor.cursor
        cursor.cursor = NULL
        with nogil:
            rc = qnst_bmap_done(&self.handle, c_cursor)
        qnst_error.check(rc)

    def bmap_woff(self, qnst_txn txn, uint32_t lastver, uint64_t offset):
        """bmap_woff(txn, lastver, offset) -> (cursor, cver, dver, offset, size, handle).
        Offset entries from `offset` on (the first with a cver below `lastver`, any with 0);
        cver 0 at the end."""
        cdef int rc
        cdef DBC *cursor = NULL
        cdef uint32_t cver = 0, dver = 0, size = 0
        cdef uint64_t handle = 0
        cdef DB_TXN *c_txn = txn_of(txn)
        with nogil:
            rc = qnst_bmap_woff(&self.handle, c_txn, lastver, &cursor, &cver, &dver, &offset,
                                &size, &handle)
        qnst_error.check(rc)
        return (new_cursor(cursor), cver, dver, offset, size, handle)

    def bmap_noff(self, qnst_cursor cursor not None):
        """bmap_noff(cursor) -> (cver, dver, offset, size, handle). The next offset entry."""
        cdef int rc
        cdef uint32_t cver = 0, dver = 0, size = 0
        cdef uint64_t offset = 0, handle = 0
        cdef DBC *c_cursor = cursor_of(cursor)
        with nogil:
            rc = qnst_bmap_noff(&self.handle, c_cursor, &cver, &dver, &offset, &size, &handle)
        qnst_error.check(rc)
        return (cver, dver, offset, size, handle)

    # ---- Stat versions -------------------------------------------------------------------

    def stat_lookup(self, qnst_txn txn, uint32_t ver):
        """stat_lookup(txn, ver) -> (cver, flags, size, acl, mtime, method, links). The stat
        record valid at `ver`; raises qnst.NotFound (QNST_ENOSTAT) when there is none."""
        cdef int rc
        cdef uint32_t cver = 0, dver = 0, flags = 0, mtime = 0, method = 0, links = 0
        cdef uint64_t size = 0, acl = 0
        cdef DB_TXN *c_txn = txn_of(txn)
        with nogil:
            rc = qnst_stat_lookup(&self.handle, c_txn, ver, &cver, &dver, &flags, &size, &acl,
                                  &mtime, &method, &links)
        qnst_error.check(rc)
        return (cver, flags, size, acl, mtime, method, links)

    def stat_getlatest(self, qnst_txn txn):
        """stat_getlatest(txn) -> ver. The version of the inode's newest stat record."""
        cdef int rc
        cdef uint32_t ver = 0
        cdef DB_TXN *c_txn = txn_of(txn)
        with nogil:
            rc = qnst_stat_getlatest(&self.handle, c_txn, &ver)
        qnst_error.check(rc)
        return ver

    def stat_update(self, qnst_txn txn, uint32_t ver, uint32_t flags, uint64_t size,
                    uint64_t acl, uint32_t mtime, uint32_t method, uint32_t links):
        """stat_update(txn, ver, flags, size, acl, mtime, method, links) -> None. Makes these
        attributes current from `ver` (the caller holds the ACL `acl`)."""
        cdef int rc
        cdef DB_TXN *c_txn = txn_of(txn)
        with nogil:
            rc = qnst_stat_update(&self.handle, c_txn, ver, flags, size, acl, mtime, method,
                                  links)
        qnst_error.check(rc)

    def stat_purge(self, qnst_txn txn, uint32_t cver):
        """stat_purge(txn, cver) -> None. Deletes the record made in `cver`."""
        cdef int rc
        cdef DB_TXN *c_txn = txn_of(txn)
        with nogil:
            rc = qnst_stat_purge(&self.handle, c_txn, cver)
        qnst_error.check(rc)

    def stat_clear(self, qnst_txn txn, uint32_t ver):
        """stat_clear(txn, ver) -> None. Ends the current record at `ver`."""
        cdef int rc
        cdef DB_TXN *c_txn = txn_of(txn)
        with nogil:
            rc = qnst_stat_clear(&self.handle, c_txn, ver)
        qnst_error.check(rc)

    def stat_walk(self, qnst_txn txn, uint32_t lastver):
        """stat_walk(txn, lastver) -> (cursor, cver, dver, flags, size, acl, mtime, method,
        links). Records made after `lastver`, oldest first; cver 0 at the end."""
        cdef int rc
        cdef DBC *cursor = NULL
        cdef uint32_t cver = 0, dver = 0, flags = 0, mtime = 0, method = 0, links = 0
        cdef uint64_t size = 0, acl = 0
        cdef DB_TXN *c_txn = txn_of(txn)
        with nogil:
            rc = qnst_stat_walk(&self.handle, c_txn, lastver, &cursor, &cver, &dver, &flags,
                                &size, &acl, &mtime, &method, &links)
        qnst_error.check(rc)
        return (new_cursor(cursor), cver, dver, flags, size, acl, mtime, method, links)

    def stat_next(self, qnst_cursor cursor not None):
        """stat_next(cursor) -> (cver, dver, flags, size, acl, mtime, method, links)."""
        cdef int rc
        cdef uint32_t cver = 0, dver = 0, flags = 0, mtime = 0, method = 0, links = 0
        cdef uint64_t size = 0, acl = 0
        cdef DBC *c_cursor = cursor_of(cursor)
        with nogil:
            rc = qnst_stat_next(&self.handle, c_cursor, &cver, &dver, &flags, &size, &acl,
                                &mtime, &method, &links)
        qnst_error.check(rc)
        return (cver, dver, flags, size, acl, mtime, method, links)

    def stat_done(self, qnst_cursor cursor not None):
        """stat_done(cursor) -> None. Ends a stat walk; an ended cursor is left alone."""
        cdef int rc
        cdef DBC *c_cursor = cursor.cursor
        cursor.cursor = NULL
        with nogil:
            rc = qnst_stat_done(&self.handle, c_cursor)
        qnst_error.check(rc)

    # ---- Blob maps -----------------------------------------------------------------------

    def blobmap_lookup(self, qnst_txn txn, uint32_t ver):
        """blobmap_lookup(txn, ver) -> (cver, handle). The blob holding the content at `ver`;
        raises qnst.NotFound when none does."""
        cdef int rc
        cdef uint32_t cver = 0, dver = 0
        cdef uint64_t handle = 0, size = 0
        cdef DB_TXN *c_txn = txn_of(txn)
        with nogil:
            rc = qnst_blobmap_lookup(&self.handle, c_txn, ver, &cver, &dver, &handle, &size)
        qnst_error.check(rc)
        return (cver, handle)

    def blobmap_purge(self, qnst_txn txn, uint32_t cver, uint32_t fsck):
        """blobmap_purge(txn, cver, fsck) -> None. Deletes the mapping made in `cver` and,
        unless `fsck`, releases its blob (QNST_INODE_LIVE: drops the pending upload)."""
        cdef int rc
        cdef DB_TXN *c_txn = txn_of(txn)
        with nogil:
            rc = qnst_blobmap_purge(&self.handle, c_txn, cver, fsck)
        qnst_error.check(rc)

    def blobmap_clear(self, qnst_txn txn, uint32_t ver):
        """blobmap_clear(txn, ver) -> None. Ends the current mapping at `ver` and drops any
        pending upload."""
        cdef int rc
        cdef DB_TXN *c_txn = txn_of(txn)
        with nogil:
            rc = qnst_blobmap_clear(&self.handle, c_txn, ver)
        qnst_error.check(rc)

    def blobmap_reconcile(self, qnst_txn txn, uint64_t size, bytes hash not None,
                          uint32_t hashlen, uint32_t ver):
        """blobmap_reconcile(txn, size, hash, hashlen, ver) -> (stale, upload, isnew, handle).
        Maps stored content at once, or reserves a handle for its upload."""
        cdef int rc
        cdef uint32_t stale = 0, upload = 0, isnew = 0
        cdef uint64_t handle = 0
        cdef DB_TXN *c_txn = txn_of(txn)
        require_length(hash, hashlen, "hash")
        cdef const char *c_hash = hash
        with nogil:
            rc = qnst_blobmap_reconcile(&self.handle, c_txn, size, c_hash, hashlen, ver, &stale,
                                        &upload, &isnew, &handle)
        qnst_error.check(rc)
        return (stale, upload, isnew, handle)

    def blobmap_commit(self, qnst_txn txn, bytes hash not None, uint32_t hashlen,
                       uint64_t blobsize, uint32_t ver):
        """blobmap_commit(txn, hash, hashlen, blobsize, ver) -> (stale, handle). Completes the
        pending upload and maps the blob at `ver`."""
        cdef int rc
        cdef uint32_t stale = 0
        cdef uint64_t handle = 0
        cdef DB_TXN *c_txn = txn_of(txn)
        require_length(hash, hashlen, "hash")
        cdef const char *c_hash = hash
        with nogil:
            rc = qnst_blobmap_commit(&self.handle, c_txn, c_hash, hashlen, blobsize, ver, &stale,
                                     &handle)
        qnst_error.check(rc)
        return (stale, handle)

    def blobmap_walk(self, qnst_txn txn, uint32_t lastver):
        """blobmap_walk(txn, lastver) -> (cursor, cver, dver, handle, size). Mappings made
        after `lastver`, oldest first; cver 0 at the end."""
        cdef int rc
        cdef DBC *cursor = NULL
        cdef uint32_t cver = 0, dver = 0
        cdef uint64_t handle = 0, size = 0
        cdef DB_TXN *c_txn = txn_of(txn)
        with nogil:
            rc = qnst_blobmap_walk(&self.handle, c_txn, lastver, &cursor, &cver, &dver, &handle,
                                   &size)
        qnst_error.check(rc)
        return (new_cursor(cursor), cver, dver, handle, size)

    def blobmap_next(self, qnst_cursor cursor not None):
        """blobmap_next(cursor) -> (cver, dver, handle, size)."""
        cdef int rc
        cdef uint32_t cver = 0, dver = 0
        cdef uint64_t handle = 0, size = 0
        cdef DBC *c_cursor = cursor_of(cursor)
        with nogil:
            rc = qnst_blobmap_next(&self.handle, c_cursor, &cver, &dver, &handle, &size)
        qnst_error.check(rc)
        return (cver, dver, handle, size)

    def blobmap_done(self, qnst_cursor cursor not None):
        """blobmap_done(cursor) -> None. Ends a blob-map walk; an ended cursor is left alone."""
        cdef int rc
        cdef DBC *c_cursor = cursor.cursor
        cursor.cursor = NULL
        with nogil:
            rc = qnst_blobmap_done(&self.handle, c_cursor)
        qnst_error.check(rc)

    # ---- Folders -------------------------------------------------------------------------

    def dir_add(self, qnst_txn txn, bytes name not None, uint32_t namelen, uint32_t cver,
                uint32_t type, uint32_t cino):
        """dir_add(txn, name, namelen, cver, type, cino) -> None. Adds the live entry
        (name, cver) -> (type, cino)."""
        cdef int rc
        cdef DB_TXN *c_txn = txn_of(txn)
        require_length(name, namelen, "name")
        cdef const char *c_name = name
        with nogil:
            rc = qnst_dir_add(&self.handle, c_txn, c_name, namelen, cver, type, cino)
        qnst_error.check(rc)

    def dir_lookup(self, qnst_txn txn, bytes name not None, uint32_t namelen, uint32_t ver,
                   uint32_t cino):
        """dir_lookup(txn, name, namelen, ver, cino) -> (cver, dver, type, cino). The entry
        visible at `ver` (with child `cino`, any child for 0); raises qnst.NotFound
        (QNST_ENOENTRY) when there is none."""
        cdef int rc
        cdef uint32_t cver = 0, dver = 0, c_type = 0
        cdef DB_TXN *c_txn = txn_of(txn)
        require_length(name, namelen, "name")
        cdef const char *c_name = name
        with nogil:
            rc = qnst_dir_lookup(&self.handle, c_txn, c_name, namelen, ver, &cver, &dver, &c_type,
                                 &cino)
        qnst_error.check(rc)
        return (cver, dver, c_type, cino)

    def dir_purge(self, qnst_txn txn, bytes name not None, uint32_t namelen, uint32_t cver):
        """dir_purge(txn, name, namelen, cver) -> None. Deletes the exact entry (name, cver)."""
        cdef int rc
        cdef DB_TXN *c_txn = txn_of(txn)
        require_length(name, namelen, "name")
        cdef const char *c_name = name
        with nogil:
            rc = qnst_dir_purge(&self.handle, c_txn, c_name, namelen, cver)
        qnst_error.check(rc)

    def dir_del(self, qnst_txn txn, bytes name not None, uint32_t namelen, uint32_t ver,
                uint32_t cino):
        """dir_del(txn, name, namelen, ver, cino) -> None. Deletes `name` as of `ver`."""
        cdef int rc
        cdef DB_TXN *c_txn = txn_of(txn)
        require_length(name, namelen, "name")
        cdef const char *c_name = name
        with nogil:
            rc = qnst_dir_del(&self.handle, c_txn, c_name, namelen, ver, cino)
        qnst_error.check(rc)

    def dir_rename(self, qnst_txn txn, bytes old not None, uint32_t oldlen, bytes new not None,
                   uint32_t newlen, int32_t overwrite):
        """dir_rename(txn, old, oldlen, new, newlen, overwrite) -> None. Renames the live entry
        `old` to `new`."""
        cdef int rc
        cdef DB_TXN *c_txn = txn_of(txn)
        require_length(old, oldlen, "old")
        require_length(new, newlen, "new")
        cdef const char *c_old = old
        cdef const char *c_new = new
        with nogil:
            rc = qnst_dir_rename(&self.handle, c_txn, c_old, oldlen, c_new, newlen, overwrite)
        qnst_error.check(rc)

    def dir_walk(self, qnst_txn txn, int32_t ver):
        """dir_walk(txn, ver) -> (cursor, cver, dver, name, type, cino). Lists the folder: every
        entry (ver 0), the entries visible at `ver` (ver > 0), or the changes since -ver
        (ver < 0); cver 0 and name None at the end."""
        cdef int rc
        cdef DBC *cursor = NULL
        cdef uint32_t cver = 0, dver = 0, namelen = 0, c_type = 0, cino = 0
        cdef char name[QNST_DIR_MAXNAME]
        cdef DB_TXN *c_txn = txn_of(txn)
        with nogil:
            rc = qnst_dir_walk(&self.handle, c_txn, ver, &cursor, &cver, &dver, name, &namelen,
                               &c_type, &cino)
        qnst_error.check(rc)
        return (new_cursor(cursor), cver, dver, entry_name(name, namelen, cver), c_type, cino)

    def dir_walk_v2(self, qnst_txn txn, int32_t ver, cookie):
        """dir_walk_v2(txn, ver, cookie) -> (cursor, cver, dver, name, type, cino). As dir_walk,
        resuming after the entry named by `cookie`, a pair (cver, name) such as the last entry
        a listing returned; None or an empty cookie starts at the beginning."""
        cdef int rc
        cdef DBC *cursor = NULL
        cdef uint32_t cver = 0, dver = 0, namelen = 0, c_type = 0, cino = 0
        cdef char name[QNST_DIR_MAXNAME]
        cdef uint32_t cookie_cver = 0
        cdef bytes cookie_name = None
        cdef const char *c_cookie_name = NULL
        cdef uint32_t cookie_namelen = 0
        cdef bint resume = bool(cookie)
        if resume:
            cookie_cver_obj, cookie_name_obj = cookie
            cookie_cver = cookie_cver_obj
            cookie_name = cookie_name_bytes(cookie_name_obj)
            cookie_namelen = <uint32_t>min(len(cookie_name), 0xFFFFFFFF)
            c_cookie_name = cookie_name
        cdef DB_TXN *c_txn = txn_of(txn)
        with nogil:
            if resume:
                rc = qnst_dir_walk_v2(&self.handle, c_txn, ver, &cursor, &cver, &dver, name,
                                      &namelen, &c_type, &cino, c_cookie_name, cookie_namelen,
                                      cookie_cver)
            else:
                rc = qnst_dir_walk(&self.handle, c_txn, ver, &cursor, &cver, &dver, name,
                                   &namelen, &c_type, &cino)
        qnst_error.check(rc)
        return (new_cursor(cursor), cver, dver, entry_name(name, namelen, cver), c_type, cino)

    def dir_next(self, qnst_cursor cursor not None, int32_t ver):
        """dir_next(cursor, ver) -> (cver, dver, name, type, cino). The next entry of a folder
        listing, with the `ver` of its walk."""
        cdef int rc
        cdef uint32_t cver = 0, dver = 0, namelen = 0, c_type = 0, cino = 0
        cdef char name[QNST_DIR_MAXNAME]
        cdef DBC *c_cursor = cursor_of(cursor)
        with nogil:
            rc = qnst_dir_next(&self.handle, c_cursor, ver, &cver, &dver, name, &namelen, &c_type,
                               &cino)
        qnst_error.check(rc)
        return (cver, dver, entry_name(name, namelen, cver), c_type, cino)

    def dir_done(self, qnst_cursor cursor not None):
        """dir_done(cursor) -> None. Ends a folder listing; an ended cursor is left alone."""
        cdef DBC *c_cursor = cursor.cursor
        cursor.cursor = NULL
        # Closing a listing cannot fail: there is no code to check.
        with nogil:
            qnst_dir_done(&self.handle, c_cursor)

    # ---- Extended attributes -------------------------------------------------------------

    def eatr_lookup(self, qnst_txn txn, uint32_t aid, uint32_t ver):
        """eatr_lookup(txn, aid, ver) -> (cver, value). The value of attribute `aid` at `ver`;
        raises qnst.NotFound when it had none."""
        cdef int rc
        cdef uint32_t cver = 0, dver = 0, size = 0
        cdef void *value = NULL
        cdef void *buf = NULL
        cdef DB_TXN *c_txn = txn_of(txn)
        with nogil:
            rc = qnst_eatr_lookup(&self.handle, c_txn, aid, ver, &cver, &dver, &value, &size,
                                  &buf)
        data = take_value(rc, value, size, buf, False, cver)
        return (cver, data)

    def eatr_lastver(self, qnst_txn txn, uint32_t aid):
        """eatr_lastver(txn, aid) -> (cver, dver). The versions of the newest record of `aid`."""
        cdef int rc
        cdef uint32_t cver = 0, dver = 0
        cdef DB_TXN *c_txn = txn_of(txn)
        with nogil:
            rc = qnst_eatr_lastver(&self.handle, c_txn, aid, &cver, &dver)
        qnst_error.check(rc)
        return (cver, dver)

    def eatr_update(self, qnst_txn txn, uint32_t aid, uint32_t ver, bytes buf not None,
                    uint32_t size):
        """eatr_update(txn, aid, ver, buf, size) -> None. Makes the first `size` bytes of `buf`
        the value of `aid` from `ver` on."""
        cdef int rc
        cdef DB_TXN *c_txn = txn_of(txn)
        require_length(buf, size, "buf")
        cdef const char *c_buf = buf
        with nogil:
            rc = qnst_eatr_update(&self.handle, c_txn, aid, ver, c_buf, size)
        qnst_error.check(rc)

    def eatr_purge(self, qnst_txn txn, uint32_t aid, uint32_t cver):
        """eatr_purge(txn, aid, cver) -> None. Deletes the record of `aid` made in `cver`."""
        cdef int rc
        cdef DB_TXN *c_txn = txn_of(txn)
        with nogil:
            rc = qnst_eatr_purge(&self.handle, c_txn, aid, cver)
        qnst_error.check(rc)

    def eatr_clear(self, qnst_txn txn, uint32_t aid, uint32_t ver):
        """eatr_clear(txn, aid, ver) -> None. Ends the current value of `aid` at `ver`."""
        cdef int rc
        cdef DB_TXN *c_txn = txn_of(txn)
        with nogil:
            rc = qnst_eatr_clear(&self.handle, c_txn, aid, ver)
        qnst_error.check(rc)

    def eatr_walk(self, qnst_txn txn, uint32_t aid, uint32_t lastver):
        """eatr_walk(txn, aid, lastver) -> (cursor, cver, dver, value). Values of `aid` made
        after `lastver`, oldest first; cver 0 and value None at the end."""
        cdef int rc
        cdef DBC *cursor = NULL
        cdef uint32_t cver = 0, dver = 0, size = 0
        cdef void *value = NULL
        cdef void *buf = NULL
        cdef DB_TXN *c_txn = txn_of(txn)
        with nogil:
            rc = qnst_eatr_walk(&self.handle, c_txn, aid, lastver, &cursor, &cver, &dver, &value,
                                &size, &buf)
        data = take_value(rc, value, size, buf, True, cver)
        return (new_cursor(cursor), cver, dver, data)

    def eatr_next(self, qnst_cursor cursor not None, uint32_t aid):
        """eatr_next(cursor, aid) -> (cver, dver, value). The next newer value of the walk."""
        cdef int rc
        cdef uint32_t cver = 0, dver = 0, size = 0
        cdef void *value = NULL
        cdef void *buf = NULL
        cdef DBC *c_cursor = cursor_of(cursor)
        with nogil:
            rc = qnst_eatr_next(&self.handle, c_cursor, aid, &cver, &dver, &value, &size, &buf)
        data = take_value(rc, value, size, buf, True, cver)
        return (cver, dver, data)

    def eatr_done(self, qnst_cursor cursor not None):
        """eatr_done(cursor) -> None. Ends an attribute walk; an ended cursor is left alone."""
        cdef int rc
        cdef DBC *c_cursor = cursor.cursor
        cursor.cursor = NULL
        with nogil:
            rc = qnst_eatr_done(&self.handle, c_cursor)
        qnst_error.check(rc)

    # ---- MAPI message maps ---------------------------------------------------------------

    def mapimsg_findi(self, qnst_txn txn, bytes mkey not None, uint32_t mkeylen, uint32_t ver):
        """mapimsg_findi(txn, mkey, mkeylen, ver) -> (cver, dver, info). The entry of message
        `mkey` live at `ver`; (0, 0, None) when there is none."""
        cdef int rc
        cdef uint32_t cver = 0, dver = 0, size = 0
        cdef void *buf = NULL
        cdef DB_TXN *c_txn = txn_of(txn)
        require_length(mkey, mkeylen, "mkey")
        cdef const char *c_mkey = mkey
        with nogil:
            rc = qnst_mapimsg_findi(&self.handle, c_txn, c_mkey, mkeylen, ver, &cver, &dver, &buf,
                                    &size)
        info = take_mapi_buffer(rc, buf, size)
        return (cver, dver, info)

    def mapimsg_getvent(self, qnst_txn txn, bytes mkey not None, uint32_t mkeylen,
                        uint32_t cver):
        """mapimsg_getvent(txn, mkey, mkeylen, cver) -> dver. The end version of the entry
        (mkey, cver)."""
        cdef int rc
        cdef uint32_t dver = 0
        cdef DB_TXN *c_txn = txn_of(txn)
        require_length(mkey, mkeylen, "mkey")
        cdef const char *c_mkey = mkey
        with nogil:
            rc = qnst_mapimsg_getvent(&self.handle, c_txn, c_mkey, mkeylen, cver, &dver)
        qnst_error.check(rc)
        return dver

    def mapimsg_getient(self, qnst_txn txn, bytes mkey not None, uint32_t mkeylen,
                        uint32_t cver):
        """mapimsg_getient(txn, mkey, mkeylen, cver) -> info. The information record of the
        entry (mkey, cver)."""
        cdef int rc
        cdef uint32_t size = 0
        cdef void *buf = NULL
        cdef DB_TXN *c_txn = txn_of(txn)
        require_length(mkey, mkeylen, "mkey")
        cdef const char *c_mkey = mkey
        with nogil:
            rc = qnst_mapimsg_getient(&self.handle, c_txn, c_mkey, mkeylen, cver, &buf, &size)
        info = take_mapi_buffer(rc, buf, size)
        return b"" if info is None else info

    def mapimsg_delvent(self, qnst_txn txn, bytes mkey not None, uint32_t mklen, uint32_t cver):
        """mapimsg_delvent(txn, mkey, mklen, cver) -> None. Deletes the v-entry of (mkey,
        cver)."""
        cdef int rc
        cdef DB_TXN *c_txn = txn_of(txn)
        require_length(mkey, mklen, "mkey")
        cdef const char *c_mkey = mkey
        with nogil:
            rc = qnst_mapimsg_delvent(&self.handle, c_txn, c_mkey, mklen, cver)
        qnst_error.check(rc)

    def mapimsg_delient(self, qnst_txn txn, bytes mkey not None, uint32_t mklen, uint32_t cver):
        """mapimsg_delient(txn, mkey, mklen, cver) -> None. Deletes the i-entry of (mkey,
        cver)."""
        cdef int rc
        cdef DB_TXN *c_txn = txn_of(txn)
        require_length(mkey, mklen, "mkey")
        cdef const char *c_mkey = mkey
        with nogil:
            rc = qnst_mapimsg_delient(&self.handle, c_txn, c_mkey, mklen, cver)
        qnst_error.check(rc)

    def mapimsg_purge(self, qnst_txn txn, bytes mkey not None, uint32_t mklen, uint32_t cver,
                      uint64_t msgsz):
        """mapimsg_purge(txn, mkey, mklen, cver, msgsz) -> None. Removes the entry (mkey, cver)
        and takes `msgsz` off the file and current store bytes."""
        cdef int rc
        cdef DB_TXN *c_txn = txn_of(txn)
        require_length(mkey, mklen, "mkey")
        cdef const char *c_mkey = mkey
        with nogil:
            rc = qnst_mapimsg_purge(&self.handle, c_txn, c_mkey, mklen, cver, msgsz)
        qnst_error.check(rc)

    def mapimsg_delv(self, qnst_txn txn, bytes mkey not None, uint32_t mkeylen, uint32_t cver,
                     uint32_t ver, uint64_t msgsz):
        """mapimsg_delv(txn, mkey, mkeylen, cver, ver, msgsz) -> None. Ends the entry (mkey,
        cver) at `ver`. `msgsz` is accepted for the callers that pass the message size; ending
        an entry charges nothing."""
        cdef int rc
        cdef DB_TXN *c_txn = txn_of(txn)
        require_length(mkey, mkeylen, "mkey")
        cdef const char *c_mkey = mkey
        with nogil:
            rc = qnst_mapimsg_delv(&self.handle, c_txn, c_mkey, mkeylen, cver, ver)
        qnst_error.check(rc)

    def mapimsg_holdblk(self, qnst_txn txn, bytes hash not None, uint32_t hlen, uint64_t pbsz,
                        uint32_t cacheonly):
        """mapimsg_holdblk(txn, hash, hlen, pbsz, cacheonly) -> handle. Claims the stored block
        with this hash (charging `pbsz` file bytes); 0 when the hash is unknown."""
        cdef int rc
        cdef uint64_t handle = 0
        cdef DB_TXN *c_txn = txn_of(txn)
        require_length(hash, hlen, "hash")
        cdef const char *c_hash = hash
        with nogil:
            rc = qnst_mapimsg_holdblk(&self.handle, c_txn, c_hash, hlen, pbsz, cacheonly, &handle)
        qnst_error.check(rc)
        return handle

    def mapimsg_getblob(self, qnst_txn txn, bytes sum not None, uint32_t slen, uint64_t bsize):
        """mapimsg_getblob(txn, sum, slen, bsize) -> (handle, existed). Claims the stored blob
        with this checksum (existed 1), or a new handle to write it under (existed 0)."""
        cdef int rc
        cdef uint64_t handle = 0
        cdef int32_t existed = 0
        cdef DB_TXN *c_txn = txn_of(txn)
        require_length(sum, slen, "sum")
        cdef const char *c_sum = sum
        with nogil:
            rc = qnst_mapimsg_getblob(&self.handle, c_txn, c_sum, slen, bsize, &handle, &existed)
        qnst_error.check(rc)
        return (handle, existed)

    def mapimsg_enterblk(self, qnst_txn txn, bytes hash not None, uint32_t hlen, uint32_t dindex,
                         uint32_t dver, uint64_t coff, uint32_t size, uint64_t handle):
        """mapimsg_enterblk(txn, hash, hlen, dindex, dver, coff, size, handle) -> handle. Stores
        a new block under `handle`; returns the block used (another writer's when it stored the
        hash first)."""
        cdef int rc
        cdef uint64_t out = 0
        cdef DB_TXN *c_txn = txn_of(txn)
        require_length(hash, hlen, "hash")
        cdef const char *c_hash = hash
        with nogil:
            rc = qnst_mapimsg_enterblk(&self.handle, c_txn, c_hash, hlen, dindex, dver, coff, size,
                                       handle, &out)
        qnst_error.check(rc)
        return out

    def mapimsg_enterblob(self, qnst_txn txn, uint64_t handle, bytes sum not None, uint32_t slen,
                          uint64_t blobsize, uint64_t disksize):
        """mapimsg_enterblob(txn, handle, sum, slen, blobsize, disksize) -> handle. Stores a new
        blob under `handle` (from mapimsg_getblob); returns the blob used."""
        cdef int rc
        cdef uint64_t out = 0
        cdef DB_TXN *c_txn = txn_of(txn)
        require_length(sum, slen, "sum")
        cdef const char *c_sum = sum
        with nogil:
            rc = qnst_mapimsg_enterblob(&self.handle, c_txn, handle, c_sum, slen, blobsize,
                                        disksize, &out)
        qnst_error.check(rc)
        return out

    def mapimsg_update(self, qnst_txn txn, bytes mkey not None, uint32_t mkeylen,
                       bytes info not None, uint32_t ilen, uint32_t ver, uint32_t dver):
        """mapimsg_update(txn, mkey, mkeylen, info, ilen, ver, dver) -> None. Writes the entry
        (mkey, ver) with the information record `info` and end version `dver`."""
        cdef int rc
        cdef DB_TXN *c_txn = txn_of(txn)
        require_length(mkey, mkeylen, "mkey")
        require_length(info, ilen, "info")
        cdef const char *c_mkey = mkey
        cdef const char *c_info = info
        with nogil:
            rc = qnst_mapimsg_update(&self.handle, c_txn, c_mkey, mkeylen, c_info, ilen, ver,
                                     dver)
        qnst_error.check(rc)

    def mapimsg_walk(self, qnst_txn txn, uint32_t lastver, bytes lastkey not None,
                     uint32_t lastkeylen):
        """mapimsg_walk(txn, lastver, lastkey, lastkeylen) -> (cursor, cver, dver, key).
        Entries by version from (lastver, lastkey) towards newer versions; cver 0 and key None
        at the end."""
        cdef int rc
        cdef DBC *cursor = NULL
        cdef uint32_t cver = 0, dver = 0, keylen = 0
        cdef char key[QNST_MAPI_MAX_KEY]
        cdef DB_TXN *c_txn = txn_of(txn)
        require_length(lastkey, lastkeylen, "lastkey")
        cdef const char *c_lastkey = lastkey
        with nogil:
            rc = qnst_mapimsg_walk(&self.handle, c_txn, lastver, c_lastkey, lastkeylen, &cursor,
                                   &cver, &dver, key, &keylen)
        qnst_error.check(rc)
        return (new_cursor(cursor), cver, dver, message_key(key, keylen, cver))

    def mapimsg_next(self, qnst_cursor cursor not None):
        """mapimsg_next(cursor) -> (cver, dver, key)."""
        cdef int rc
        cdef uint32_t cver = 0, dver = 0, keylen = 0
        cdef char key[QNST_MAPI_MAX_KEY]
        cdef DBC *c_cursor = cursor_of(cursor)
        with nogil:
            rc = qnst_mapimsg_next(&self.handle, c_cursor, &cver, &dver, key, &keylen)
        qnst_error.check(rc)
        return (cver, dver, message_key(key, keylen, cver))

    def mapimid_walk(self, qnst_txn txn, uint32_t lastver, bytes lastkey not None,
                     uint32_t lastkeylen):
        """mapimid_walk(txn, lastver, lastkey, lastkeylen) -> (cursor, cver, key). Entries in
        message-key order from (lastkey, lastver); cver 0 and key None at the end."""
        cdef int rc
        cdef DBC *cursor = NULL
        cdef uint32_t cver = 0, keylen = 0
        cdef char key[QNST_MAPI_MAX_KEY]
        cdef DB_TXN *c_txn = txn_of(txn)
        require_length(lastkey, lastkeylen, "lastkey")
        cdef const char *c_lastkey = lastkey
        with nogil:
            rc = qnst_mapimid_walk(&self.handle, c_txn, lastver, c_lastkey, lastkeylen, &cursor,
                                   &cver, key, &keylen)
        qnst_error.check(rc)
        return (new_cursor(cursor), cver, message_key(key, keylen, cver))

    def mapimid_next(self, qnst_cursor cursor not None):
        """mapimid_next(cursor) -> (cver, key)."""
        cdef int rc
        cdef uint32_t cver = 0, keylen = 0
        cdef char key[QNST_MAPI_MAX_KEY]
        cdef DBC *c_cursor = cursor_of(cursor)
        with nogil:
            rc = qnst_mapimid_next(&self.handle, c_cursor, &cver, key, &keylen)
        qnst_error.check(rc)
        return (cver, message_key(key, keylen, cver))

    def mapimsg_done(self, qnst_cursor cursor not None):
        """mapimsg_done(cursor) -> None. Ends a message walk; an ended cursor is left alone."""
        cdef DBC *c_cursor = cursor.cursor
        cursor.cursor = NULL
        # Closing a walk cannot fail: there is no code to check.
        with nogil:
            qnst_mapimsg_done(&self.handle, c_cursor)
