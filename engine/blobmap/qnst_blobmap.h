/*
 * qnst_blobmap.h: blob maps, which blob holds an inode's whole content in each backup version.
 *
 * A blob is uploaded in two phases. qnst_blobmap_reconcile either finds the content in the blob
 * store (qnst_blobsism.h) and maps it at once, or reserves a new blob handle and records the
 * upload as pending; once the server has written the content, qnst_blobmap_commit stores the
 * blob, maps it and ends the pending state. Every mapping is valid from the version that made it
 * (cver) to the version that ended it (dver); lookups answer which blob held the content at a
 * version; purge, clear and walk keep and list the history.
 *
 * Records, in the inode's record database (the table's "inodes", or the inode's own database in
 * misc mode), integers little-endian unless said otherwise:
 *
 *   version record  key   inode u32 @0, '4' (0x34) @4, -cver as u32 big-endian @5  (9 bytes)
 *                   data  dver u32 @0 (QNST_INODE_LIVE while current), blob handle u64 @4,
 *                         blob size u64 @12                                      (20 bytes)
 *   pending upload  key   inode u32 @0, '5' (0x35) @4                              (5 bytes)
 *                   data  reserved handle u64 @0, size u64 @8, hash length n u32 @16,
 *                         hash @20                                      (20 + n bytes, n <= 64)
 *
 * The negated, big-endian cver makes one inode's version records run from the newest to the
 * oldest. A record is valid at version V when cver <= V < dver. Each version record holds one
 * reference to its blob; a pending upload holds none. Versions that records are made in must be
 * 1..QNST_INODE_LIVE-1.
 *
 * Usage. Every change ends with one call qnst_inode_usg(setnode, txn, 0, A, B, C, 0, 0) on the
 * inode's set node (qnst_inode.h), with (closed: the size of a current mapping this call ended or
 * replaced; released: the bytes the blob store freed; psize: the pending upload's size):
 *   reconcile, new handle reserved        A = size         B = size                  C = size
 *   reconcile, content already stored     A = size-closed  B = -released             C = 0
 *   reconcile, stale pending dropped      A = -psize       B = -psize                C = 0
 *   commit, stored                        A = -closed      B = blobsize-released-psize
 *                                                                           C = blobsize-psize
 *   commit, stored meanwhile elsewhere    A = -closed      B = -released-psize       C = 0
 *   purge of a version record             A = -size        B = -released             C = 0
 *   purge of the pending upload           A = -psize       B = -psize                C = 0
 *   clear                                 A = -closed-psize B = -released-psize      C = 0
 *
 * Every call runs in the caller's transaction `txn`; none begins, commits or aborts one. The
 * calls that change a map require one, so that their steps are undone together. "Logged" means one code entry in the error log; DB_LOCK_DEADLOCK,
 * DB_LOCK_NOTGRANTED, QNST_HASH_EXISTS and QNST_RETRY are never logged. Failures of the blob
 * store or of the usage update (its quota codes included) are logged and returned. After a
 * failure the caller aborts its transaction, which undoes the usage and blob store changes too.
 * The calls that change a map return 22 (EINVAL, logged, nothing written) for a null `txn`, an
 * inode handle without record database, blob store or set node, a version outside
 * 1..QNST_INODE_LIVE-1, or a hash that is null, empty or longer than 64 bytes.
 */
#ifndef QNST_BLOBMAP_H
#define QNST_BLOBMAP_H

#include <db.h>
#include <stdint.h>

#include "qnst_defs.h"
#include "qnst_inode.h"

QNST_BEGIN_DECLS

#define QNST_BLOBMAP_MAX_HASH 64u /* longest hash of a pending upload */
#define QNST_BLOBMAP_ATTEMPTS 17  /* commit's attempts to settle a duplicate */

/* Starts or resumes the upload of content `hash` of `size` bytes for version `ver`. On return
 * *stale, *upload and *isnew tell what happened, *handle the blob concerned:
 *   - a pending upload of the same hash: it resumes (*upload 1, *handle its reserved handle);
 *   - a pending upload of another hash: it is dropped and its handle queued for compaction
 *     (*stale 1, *handle the dropped handle); reconcile again;
 *   - content the blob store knows: mapped at once with a new reference (*upload 0, *handle the
 *     stored blob);
 *   - new content: a handle is reserved and the upload recorded as pending (*isnew 1, *upload 1).
 * Returns 0, 22, or a failure of the blob store, the usage update or Berkeley DB (logged). */
QNST_API int qnst_blobmap_reconcile(qnst_inoderec *inode, DB_TXN *txn, uint64_t size,
                                    const void *hash, uint32_t hashlen, uint32_t ver,
                                    uint32_t *stale, uint32_t *upload, uint32_t *isnew,
                                    uint64_t *handle);

/* Completes the pending upload of `hash` (`blobsize` bytes as written): stores the blob with one
 * reference under the reserved handle and maps it at `ver`, *handle being that handle. When the
 * same content was stored meanwhile under another handle, that blob is mapped with a new
 * reference instead, *handle becomes it, and the reserved handle is queued for compaction.
 * Returns 0; 0 with *stale 1 and nothing changed when the pending upload is of another hash;
 * 2 (ENOENT, not logged) when there is no pending upload; 11 (EAGAIN, logged) when the
 * duplicate kept vanishing through all QNST_BLOBMAP_ATTEMPTS attempts; 22; or a failure of the
 * blob store, the usage update or Berkeley DB (logged). */
QNST_API int qnst_blobmap_commit(qnst_inoderec *inode, DB_TXN *txn, const void *hash,
                                 uint32_t hashlen, uint64_t blobsize, uint32_t ver,
                                 uint32_t *stale, uint64_t *handle);

/* The mapping valid at `ver`: its cver, dver, blob handle and size. Returns 0; DB_NOTFOUND
 * (logged) when no mapping is valid at `ver` (before the first, at or after the dver of an
 * ended one); 22 (logged) for an inode handle without record database; 5 (EIO,
 * logged) for a damaged record; or the Berkeley DB code (logged). */
QNST_API int qnst_blobmap_lookup(qnst_inoderec *inode, DB_TXN *txn, uint32_t ver, uint32_t *cver,
                                 uint32_t *dver, uint64_t *handle, uint64_t *size);

/* Deletes the version record made in `cver` and, unless `fsck` is nonzero, releases its blob;
 * neighbouring records are not adjusted. With `cver` QNST_INODE_LIVE it drops the pending upload
 * instead (if any), queueing its handle for compaction. Returns 0; DB_NOTFOUND (logged) when
 * there is no record for `cver`; 22; 5 (EIO, logged) for a damaged record; or a failure of the
 * blob store, the usage update or Berkeley DB (logged). */
QNST_API int qnst_blobmap_purge(qnst_inoderec *inode, DB_TXN *txn, uint32_t cver, uint32_t fsck);

/* Ends the current mapping at `ver` (one made in `ver` itself is deleted and its blob released)
 * and drops any pending upload, queueing its handle for compaction. Returns 0, 22, 5 (EIO,
 * logged) for a damaged record, or a failure of the blob store, the usage update or Berkeley DB
 * (logged). */
QNST_API int qnst_blobmap_clear(qnst_inoderec *inode, DB_TXN *txn, uint32_t ver);

/* Lists the history in ascending cver, from the oldest record whose cver is above `lastver`.
 * The listing starts at the key of `lastver`, whose suffix is the negated version: the key of
 * version 0 sorts before every stored version, so a walk from 0 finds nothing. Opens a cursor in `txn` (read-committed), hands it to the caller
 * and returns the first record; *cver 0 means there is none. The caller steps with
 * qnst_blobmap_next and ends with qnst_blobmap_done, also after the end. Returns 0; 22 (logged)
 * for an inode handle without record database; or the Berkeley DB code
 * (logged; the cursor is then closed and *cursor null). */
QNST_API int qnst_blobmap_walk(qnst_inoderec *inode, DB_TXN *txn, uint32_t lastver, DBC **cursor,
                               uint32_t *cver, uint32_t *dver, uint64_t *handle, uint64_t *size);

/* The next record of a walk; *cver 0 at the end. Returns 0, 22 (logged) for a null cursor, or
 * the Berkeley DB code (logged). */
QNST_API int qnst_blobmap_next(qnst_inoderec *inode, DBC *cursor, uint32_t *cver, uint32_t *dver,
                               uint64_t *handle, uint64_t *size);

/* Closes a walk's cursor (null is allowed). Always 0. */
QNST_API int qnst_blobmap_done(qnst_inoderec *inode, DBC *cursor);

QNST_END_DECLS

#endif /* QNST_BLOBMAP_H */
