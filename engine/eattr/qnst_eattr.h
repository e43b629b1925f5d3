/*
 * qnst_eattr.h: extended attributes of an inode, with their version history.
 *
 * An attribute is named by a 32-bit attribute id (aid) chosen by the caller; its value is an
 * opaque byte string held whole in one record of the inode's record database (the table's
 * "inodes" database, or the inode's own database in misc mode; see qnst_inode.h). Each value
 * is valid from the version that wrote it (cver) until the version that replaced or cleared it
 * (dver, QNST_INODE_LIVE while it is current).
 *
 * Record, one per attribute and version:
 *   key (13 bytes)  inode number u32 little-endian, '7' (0x37), aid u32 big-endian,
 *                   -cver modulo 2^32 big-endian
 *   data            dver u32 little-endian, then the value bytes (possibly none)
 * One inode's attributes sort by aid, and the versions of one aid from the newest to the
 * oldest. A record is the value at version v when cver <= v < dver (signed). Per aid at most
 * one record is current, and it is the newest.
 *
 * Versions passed to update and clear are 1 .. QNST_INODE_LIVE - 1. A value may hold up to
 * QNST_EATR_MAXVALUE bytes.
 *
 * Values handed out (lookup, walk, next) lie in a buffer the engine allocated: `*value` points
 * into `*buf` and holds `*size` bytes; release the buffer with qnst_eatr_free.
 *
 * Every call works in the caller's transaction (required: lookups and walks leave their cursor
 * in it) and never ends it; after a failure the caller aborts it. Lookups read with write locks,
 * as they precede updates; walks read with DB_READ_COMMITTED.
 *
 * Error log: "logged" means one code entry for the failing call unless the code is
 * DB_LOCK_DEADLOCK or DB_LOCK_NOTGRANTED, which the caller handles by aborting and retrying.
 */
#ifndef QNST_EATTR_H
#define QNST_EATTR_H

#include <db.h>
#include <stdint.h>

#include "qnst_defs.h"
#include "qnst_inode.h"

/* Largest value: the record (4 bytes of dver, then the value) must have a 32-bit size. */
#define QNST_EATR_MAXVALUE 0xFFFFFFFBu

QNST_BEGIN_DECLS

/* The value of `aid` at version `ver`.
 * Returns 0 with cver, dver, value, size and buf set; DB_NOTFOUND (not logged) when the
 * attribute had no value at `ver` (always so for ver 0 and above 0x7fffffff); ENOMEM
 * (logged) when the value's buffer cannot be allocated; EIO (logged) for a damaged record;
 * EINVAL (logged) when the handle has no record database; or a Berkeley DB code (logged). */
QNST_API int qnst_eatr_lookup(qnst_inoderec *inode, DB_TXN *txn, uint32_t aid, uint32_t ver,
                              uint32_t *cver, uint32_t *dver, void **value, uint32_t *size,
                              void **buf);

/* The cver and dver of the newest record of `aid`, current or ended.
 * Returns 0; DB_NOTFOUND (not logged) when the attribute has no record; EIO (logged) for a
 * damaged record; EINVAL (logged) when the handle has no record database; or a Berkeley DB
 * code (logged). */
QNST_API int qnst_eatr_lastver(qnst_inoderec *inode, DB_TXN *txn, uint32_t aid, uint32_t *cver,
                               uint32_t *dver);

/* Makes `value` (`size` bytes; null allowed for size 0) the value of `aid` from `ver` on. The
 * current value, if any, ends at `ver` and stays readable at earlier versions; one written in
 * `ver` itself is replaced.
 * Returns 0; EINVAL (logged) when `ver` is 0 or QNST_INODE_LIVE and above, when `ver` is
 * older than the attribute's newest record, when size > QNST_EATR_MAXVALUE, when value is
 * null with a non-zero size, or when the handle has no record database; ENOMEM (logged)
 * when a record buffer cannot be allocated; EIO (logged) for a damaged record; or a
 * Berkeley DB code (logged). */
QNST_API int qnst_eatr_update(qnst_inoderec *inode, DB_TXN *txn, uint32_t aid, uint32_t ver,
                              const void *value, uint32_t size);

/* Ends the current value of `aid` at `ver`; a value written in `ver` itself is removed. Nothing
 * current: nothing to do.
 * Returns 0; EINVAL (logged) when `ver` is 0 or QNST_INODE_LIVE and above, when the
 * current value was written after `ver`, or when the handle has no record database; EIO
 * (logged) for a damaged record; or a Berkeley DB code (logged). */
QNST_API int qnst_eatr_clear(qnst_inoderec *inode, DB_TXN *txn, uint32_t aid, uint32_t ver);

/* Deletes the record of `aid` written at `cver`; neighbouring records are left as they are.
 * Returns 0; DB_NOTFOUND (not logged) when there is no such record; EINVAL (logged) when
 * the handle has no record database; or a Berkeley DB code (logged). */
QNST_API int qnst_eatr_purge(qnst_inoderec *inode, DB_TXN *txn, uint32_t aid, uint32_t cver);

/* Opens a cursor in `txn` and returns the oldest record of `aid` with cver > `lastver` (a
 * lastver of 0 finds nothing: version 0 sorts before every stored version). qnst_eatr_next
 * returns the next newer ones. The walk has ended when a call returns 0 with cver 0 (value
 * and buf null); the cursor is handed out in any case and is closed with qnst_eatr_done.
 * Returns 0 with *cursor set; ENOMEM (logged); EIO (logged) for a damaged record; EINVAL
 * (logged) when the handle has no record database; or a Berkeley DB code (logged), with no
 * cursor handed out. */
QNST_API int qnst_eatr_walk(qnst_inoderec *inode, DB_TXN *txn, uint32_t aid, uint32_t lastver,
                            DBC **cursor, uint32_t *cver, uint32_t *dver, void **value,
                            uint32_t *size, void **buf);

/* The next newer record of the walk over `aid`.
 * Returns 0 (cver 0 at the end); ENOMEM (logged); EIO (logged) for a damaged record; or a
 * Berkeley DB code (logged). */
QNST_API int qnst_eatr_next(qnst_inoderec *inode, DBC *cursor, uint32_t aid, uint32_t *cver,
                            uint32_t *dver, void **value, uint32_t *size, void **buf);

/* Closes a walk's cursor (null is allowed). Always 0. */
QNST_API int qnst_eatr_done(qnst_inoderec *inode, DBC *cursor);

/* Releases a buffer returned by lookup, walk or next (null is allowed). Always 0. */
QNST_API int qnst_eatr_free(void *buf);

QNST_END_DECLS

#endif /* QNST_EATTR_H */
