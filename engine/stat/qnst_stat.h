/*
 * qnst_stat.h: stat versions, one record of an inode's attributes per version in which they
 * changed.
 *
 * Records lie in the inode handle's record database (qnst_inode.h):
 *   key, 9 bytes:   inode number u32 little-endian, '2' (0x32), (0 - cver) u32 big-endian,
 *                   so that an inode's newest record comes first
 *   data, 36 bytes, little-endian: dver u32 @0 (QNST_INODE_LIVE while current), flags u32 @4,
 *                   size u64 @8, acl u64 @16 (ACL store handle, 0 for none), mtime u32 @24,
 *                   method u32 @28, links u32 @32
 * A record is valid at version v when cver <= v < dver (signed comparisons).
 *
 * ACLs: the caller holds the ACL it passes to qnst_stat_update; a record's ACL is released
 * (qnst_acl_rele through the inode's ACL store) exactly once, when the record is dropped: replaced
 * or cleared in the version that created it, or purged. A record closed by a later version keeps
 * its ACL until it is purged.
 *
 * Usage: update, clear and purge charge the inode's set node (qnst_inode_usg), so that its
 * fscurrentu is the size of the current records, filescurrent their number and filestotal the
 * number of records. A handle without a set node is refused with EINVAL before anything is read.
 *
 * Versions written (update, clear) run from 1 to QNST_INODE_LIVE - 1 and never go back: a
 * version older than the inode's newest record (or than the version that closed it) is refused
 * with EINVAL, as it would rewrite history that older records and their ACLs stand for.
 *
 * Every function works inside the caller's transaction and never begins, commits or aborts one.
 * "Logged" means one code entry in the error log unless the code is DB_LOCK_DEADLOCK or
 * DB_LOCK_NOTGRANTED; the caller aborts its transaction after any failure.
 */
#ifndef QNST_STAT_H
#define QNST_STAT_H

#include <db.h>
#include <stdint.h>

#include "qnst_defs.h"
#include "qnst_inode.h"

/* Type letter of stat records in the record database. */
#define QNST_STAT_RECORD '2'
#define QNST_STAT_KEY_SIZE 9u
#define QNST_STAT_DATA_SIZE 36u

QNST_BEGIN_DECLS

/* The record valid at `ver`, into the outputs.
 * Returns 0; QNST_ENOSTAT (not logged) when no record is valid at `ver`; EINVAL (logged) when
 * the handle has no record database or the record found is damaged (not 36 bytes); or a Berkeley
 * DB code (logged). */
QNST_API int qnst_stat_lookup(qnst_inoderec *inode, DB_TXN *txn, uint32_t ver, uint32_t *cver,
                              uint32_t *dver, uint32_t *flags, uint64_t *size, uint64_t *acl,
                              uint32_t *mtime, uint32_t *method, uint32_t *links);

/* The cver of the current record into `ver`; 0 when the inode has none (no record, or the
 * newest one is closed).
 * Returns 0; EINVAL (logged) when the handle has no record database or the newest record is
 * damaged (not 36 bytes); or a Berkeley DB code (logged). */
QNST_API int qnst_stat_getlatest(qnst_inoderec *inode, DB_TXN *txn, uint32_t *ver);

/* Records new attributes as of `ver`: the current record is closed at `ver` (or, created in
 * `ver` itself, replaced and its ACL released) and the new record is current from `ver`. Charges
 * the set node: fscurrentu by the size difference, filescurrent by 1 unless a record was
 * current, filestotal by 1 unless a record of `ver` was replaced.
 * Returns 0; EINVAL (logged) when the handle has no set node, no record database or no ACL
 * store for an ACL to release, when `ver` is 0 or not below QNST_INODE_LIVE, when `ver` is
 * older than the inode's newest record, or when that record is damaged (not 36 bytes);
 * QNST_QUOTA_FSCURRENT (logged) when the set node's limit refuses the size; or a Berkeley DB code
 * (logged), DB_NOTFOUND included when the ACL to release is unknown. */
QNST_API int qnst_stat_update(qnst_inoderec *inode, DB_TXN *txn, uint32_t ver, uint32_t flags,
                              uint64_t size, uint64_t acl, uint32_t mtime, uint32_t method,
                              uint32_t links);

/* Ends the current record as of `ver` (the inode was deleted in `ver`): closed at `ver`, or,
 * created in `ver`, deleted with its ACL released. Without a current record nothing changes.
 * Charges the set node: fscurrentu by minus the old size, filescurrent by -1 when a record was
 * current, filestotal by -1 when it was deleted.
 * Returns 0; EINVAL (logged) as qnst_stat_update; or a Berkeley DB code (logged). */
QNST_API int qnst_stat_clear(qnst_inoderec *inode, DB_TXN *txn, uint32_t ver);

/* Removes the record created in `cver` and releases its ACL. Charges the set node: filestotal by
 * -1 and, when the record was current, filescurrent by -1 and fscurrentu by minus its size.
 * Returns 0; DB_NOTFOUND (logged) when there is no such record; EINVAL (logged) when the
 * handle has no set node, no record database, or no ACL store for an ACL to release; EIO
 * (logged, nothing written) when the record is not 36 bytes; or a Berkeley DB code (logged). */
QNST_API int qnst_stat_purge(qnst_inoderec *inode, DB_TXN *txn, uint32_t cver);

/* Lists the records created after `lastver`, oldest first, whatever their dver. The listing starts
 * at the key of `lastver`, whose suffix is the negated version: the key of version 0 sorts before
 * every stored version, so a walk from 0 finds nothing, as the attribute and blob-map walks do.
 * Opens a cursor in `txn` and returns the first record; the cursor is handed to the caller, who
 * steps with qnst_stat_next and ends with qnst_stat_done. When there is no record, `cver` is 0
 * and the cursor must still be ended.
 * Returns 0; EINVAL (logged) when the handle has no record database or the first record
 * reached is damaged (not 36 bytes); or a Berkeley DB code (logged). After a failure no cursor is
 * handed out. */
QNST_API int qnst_stat_walk(qnst_inoderec *inode, DB_TXN *txn, uint32_t lastver, DBC **cursor,
                            uint32_t *cver, uint32_t *dver, uint32_t *flags, uint64_t *size,
                            uint64_t *acl, uint32_t *mtime, uint32_t *method, uint32_t *links);

/* The next record of a listing; `cver` 0 at the end.
 * Returns 0; EINVAL (logged) when the record reached is damaged (not 36 bytes); or a Berkeley
 * DB code (logged). The cursor still has to be ended. */
QNST_API int qnst_stat_next(qnst_inoderec *inode, DBC *cursor, uint32_t *cver, uint32_t *dver,
                            uint32_t *flags, uint64_t *size, uint64_t *acl, uint32_t *mtime,
                            uint32_t *method, uint32_t *links);

/* Ends a listing: closes the cursor. Always 0. */
QNST_API int qnst_stat_done(qnst_inoderec *inode, DBC *cursor);

QNST_END_DECLS

#endif /* QNST_STAT_H */
