/*
 * qnst_bmap.h: block maps, the versioned map from a file's byte offsets to stored blocks.
 *
 * The map of a file lives in the file's own database (qnst_inoderec.own_db) as two indexes over
 * the same entries. Keys are 13 bytes; integers in keys are big-endian and versions are stored
 * negated (modulo 2^32), so newer versions sort first.
 *
 *   offset entry  key:  '1' (0x31) | block start offset u64 BE | -cver u32 BE
 *                 data: dver u32 LE | size u32 LE | block handle u64 LE        (16 bytes)
 *   version entry key:  '0' (0x30) | -cver u32 BE | block start offset u64 BE
 *                 data: dver u32 LE                                             (4 bytes)
 *
 * Every offset entry (offset, cver) has a version entry (cver, offset) with the same dver. An
 * entry is live while its dver is QNST_INODE_LIVE and valid at version v when cver <= v < dver.
 * `size` is the number of bytes of the file the block covers. Blocks are addressed by their
 * start offset only: an operation over a range [offset, offset + size) considers the entries
 * whose start offset lies in it; a block starting before the range is never touched.
 *
 * Cutting a range as of version `ver` (enter, reconcile, clear) closes every live entry that
 * starts in the range at `ver` (its dver becomes `ver`); an entry that was written in `ver`
 * itself is deleted instead and its block released. Dead entries stay: they keep their block
 * referenced so that earlier versions can be read back, until purge removes them. A live entry
 * of size 0 is cut by any range that starts at or before it.
 *
 * Reference counts: every entry of the map, live or dead, holds one reference to its block in
 * the block store manager (qnst_blksism.h). Usage: each change is charged to the inode's set node
 * with qnst_inode_usg (fstotal: bytes of the file mapped by the entries; stcurrent and sttotal:
 * stored bytes and data-file growth of the blocks stored by enter). enter, reconcile, clear and
 * purge therefore need a set node.
 *
 * Every call works in the caller's transaction and never ends it. Results: 0; a Berkeley DB
 * code; 22 (EINVAL) for an inode whose own database is not open or that has no set node where
 * one is charged; a block-store code (qnst_blksism.h); a quota code QNST_QUOTA_FSCURRENT ..
 * QNST_QUOTA_STTOTAL (qnst_inode.h) from the set node, after which the caller aborts. "Logged"
 * means one error-log entry at this level unless the code is DB_LOCK_DEADLOCK,
 * DB_LOCK_NOTGRANTED, QNST_HASH_EXISTS, QNST_RETRY or a quota code. After DB_LOCK_DEADLOCK or
 * DB_LOCK_NOTGRANTED the caller aborts and retries the whole transaction. A record whose size
 * does not fit its layout gives 5 (EIO, logged).
 */
#ifndef QNST_BMAP_H
#define QNST_BMAP_H

#include <db.h>
#include <stdint.h>

#include "qnst_defs.h"
#include "qnst_inode.h"

QNST_BEGIN_DECLS

/* Rounds of store-then-reconcile an enter makes when the hash keeps vanishing between them. */
#define QNST_BMAP_ENTER_ATTEMPTS 17

/* Stores a newly written block and maps [offset, offset + size) to it from version `ver`.
 * The block (hash, its data file `dfid` of version `dver`, `csize` stored bytes at `coff`) goes
 * into the block store under `handle` (from qnst_sism_gen_handle for the same hash) with one
 * reference; the range is cut as of `ver` and the entry (offset, ver) written live; the set node
 * is charged size minus the bytes of entries deleted, `csize` and the data file's growth. When
 * another transaction stored the same hash first, the call maps that block instead (as
 * qnst_bmap_reconcile does) and `handle` stays unused.
 * Returns 0; 22 (logged) for an inode that is not open or has no set node, or a hash the block
 * store refuses; 11 (EAGAIN, logged) when the hash vanished again in each of
 * QNST_BMAP_ENTER_ATTEMPTS rounds; a quota code; or the block store's or Berkeley DB's code
 * (logged unless exempt). */
QNST_API int qnst_bmap_enter(qnst_inoderec *inode, DB_TXN *txn, uint64_t offset, uint32_t size,
                             uint32_t ver, uint64_t handle, const void *hash, uint32_t hashlen,
                             uint32_t dfid, uint32_t dver, uint64_t coff, uint32_t csize);

/* Maps [offset, offset + size) from version `ver` to the block already stored with `hash`:
 * looks the hash up (lookup mode `nwopt`, passed to qnst_sism_lookup as its `cacheonly`; when the
 * range already has a block at or after `offset` only mode 2 is passed on, any other becomes 0),
 * takes a reference to it, cuts the range as of `ver`, writes the entry live and charges the set
 * node size minus the bytes of entries deleted. *handle receives the block's handle; 0 when the
 * hash is unknown (nothing changed). When the live entry at exactly `offset` already maps that
 * block, nothing changes and nothing is charged. On any failure *handle is 0.
 * Returns 0; 22 (logged) for an inode that is not open or has no set node, or a hash the block
 * store refuses; a quota code; or the block store's or Berkeley DB's code (logged unless
 * exempt). */
QNST_API int qnst_bmap_reconcile(qnst_inoderec *inode, DB_TXN *txn, uint64_t offset,
                                 uint32_t size, uint32_t ver, const void *hash, uint32_t hashlen,
                                 uint64_t *handle, uint32_t nwopt);

/* Cuts [offset, offset + size) out of the map as of `ver` and charges the set node for the bytes
 * of the entries deleted. Returns 0; 22 (logged) for an inode that is not open or has no set
 * node; or the block store's or Berkeley DB's code (logged unless exempt). */
QNST_API int qnst_bmap_clear(qnst_inoderec *inode, DB_TXN *txn, uint64_t offset, uint32_t size,
                             uint32_t ver);

/* Removes the entry (offset, cver) and its version entry entirely, releases its block unless
 * `fsck` is nonzero (a consistency check rebuilds the counts itself), and charges the set node
 * minus its size. Returns 0; DB_NOTFOUND (logged) when there is no such entry; 22 (logged) for an
 * inode that is not open or has no set node; or the block store's or Berkeley DB's code (logged
 * unless exempt). */
QNST_API int qnst_bmap_purge(qnst_inoderec *inode, DB_TXN *txn, uint64_t offset, uint32_t cver,
                             uint32_t fsck);

/* The block that starts exactly at `offset` and is valid at `ver`: its size, cver, dver and
 * handle. Returns 0; DB_NOTFOUND (logged) when there is none; 22 (logged) for an inode that is
 * not open; 5 (logged) for a damaged entry; or the Berkeley DB code (logged unless exempt). */
QNST_API int qnst_bmap_lookup(qnst_inoderec *inode, DB_TXN *txn, uint64_t offset, uint32_t ver,
                              uint32_t *size, uint32_t *cver, uint32_t *dver, uint64_t *handle);

/* Single entries, read with a write lock or written as given (puts overwrite); they keep no
 * other record in step. Each returns 0; 22 for an inode that is not open; DB_NOTFOUND for a
 * missing entry (get and del); 5 for an entry of the wrong size (get); or the Berkeley DB code.
 * get_oent logs nothing; the others log every failure but the exempt codes. */
QNST_API int qnst_bmap_get_oent(qnst_inoderec *inode, DB_TXN *txn, uint64_t offset, uint32_t cver,
                                uint32_t *dver, uint32_t *size, uint64_t *handle);
QNST_API int qnst_bmap_get_vent(qnst_inoderec *inode, DB_TXN *txn, uint32_t cver, uint64_t offset,
                                uint32_t *dver);
QNST_API int qnst_bmap_add_vent(qnst_inoderec *inode, DB_TXN *txn, uint32_t cver, uint64_t offset,
                                uint32_t dver);
QNST_API int qnst_bmap_del_oent(qnst_inoderec *inode, DB_TXN *txn, uint64_t offset,
                                uint32_t cver);
QNST_API int qnst_bmap_del_vent(qnst_inoderec *inode, DB_TXN *txn, uint32_t cver,
                                uint64_t offset);

/*
 * Listings. No version filter is applied: the caller decides what to keep. Both read committed
 * data through a cursor opened in `txn`. The first call positions the cursor and returns the
 * first entry; the cursor is handed to the caller only then (*cursor is null when the listing is
 * empty) and is ended with qnst_bmap_done before the transaction ends. The end of a listing is
 * result 0 with *cver = 0. An inode whose own database is not open gives an empty listing.
 * Each returns 0, 22 (logged) for a null cursor in a step call, 5 (logged) for a damaged entry,
 * or the Berkeley DB code (logged unless exempt), a failing first call having closed its cursor.
 *
 * qnst_bmap_walk lists version entries. It positions at the version entry (lastver, *offset) and
 * steps towards newer versions: from (lastver, 0) it yields the entries of every version newer
 * than `lastver`, the oldest version first and, within a version, descending offsets. Because
 * version 0 sorts before every stored version, a walk from `lastver` 0 yields nothing.
 * qnst_bmap_next gives the next version entry.
 *
 * qnst_bmap_woff lists offset entries: the first entry at *offset whose cver is below `lastver`
 * (any cver when `lastver` is 0), then every later entry in key order (ascending offsets, newest
 * version first within an offset). qnst_bmap_noff gives the next offset entry.
 *
 * *offset is where a listing starts on entry to walk and woff, and the entry's offset on return.
 */
QNST_API int qnst_bmap_walk(qnst_inoderec *inode, DB_TXN *txn, uint32_t lastver, DBC **cursor,
                            uint32_t *cver, uint32_t *dver, uint64_t *offset);
QNST_API int qnst_bmap_next(qnst_inoderec *inode, DBC *cursor, uint32_t *cver, uint32_t *dver,
                            uint64_t *offset);
QNST_API int qnst_bmap_woff(qnst_inoderec *inode, DB_TXN *txn, uint32_t lastver, DBC **cursor,
                            uint32_t *cver, uint32_t *dver, uint64_t *offset, uint32_t *size,
                            uint64_t *handle);
QNST_API int qnst_bmap_noff(qnst_inoderec *inode, DBC *cursor, uint32_t *cver, uint32_t *dver,
                            uint64_t *offset, uint32_t *size, uint64_t *handle);

/* Closes a listing's cursor; a null cursor is accepted. Always 0. */
QNST_API int qnst_bmap_done(qnst_inoderec *inode, DBC *cursor);

QNST_END_DECLS

#endif /* QNST_BMAP_H */
