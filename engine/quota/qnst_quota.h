/*
 * qnst_quota.h: quota records, a limit and a current usage per 32-bit quota identifier.
 *
 * The records live in "quota", a named in-memory DB_HASH database of the environment (no file).
 * Key: the identifier, u32 little-endian. Data, 16 bytes little-endian: limit (signed 64),
 * then current usage (signed 64). An increase that would take the usage above the limit is
 * refused.
 *
 * Lifetime of the records. They are kept in the environment's cache, never in a database file:
 *   - While the environment is open they last across closes and reopens of the quota handle
 *     and across checkpoints.
 *   - A clean close of the environment (qnst_env_close) takes a checkpoint, which drops the
 *     pages of the closed in-memory table that are dirty at that moment: which records the next
 *     open finds depends on the checkpoints before it.
 *   - After a crash the recovery open rebuilds the regions and replays the log from the last
 *     checkpoint. The table comes back only when its creation lies in that stretch of log, so
 *     in general no record returns.
 * A server writes every record with qn_quota_init after opening the environment.
 *
 * All calls run in the caller's transaction. Failing Berkeley DB calls return their code and
 * are logged unless the code is DB_LOCK_DEADLOCK or DB_LOCK_NOTGRANTED.
 */
#ifndef QNST_QUOTA_H
#define QNST_QUOTA_H

#include <db.h>
#include <stdint.h>

#include "qnst_defs.h"

QNST_BEGIN_DECLS

/* Quota handle, allocated by qn_quota_create and freed by qn_quota_close. */
typedef struct qn_quotarec {
    DB_ENV *dbenv; /* the environment */
    DB *db;        /* the "quota" database; null when there is none */
} qn_quotarec;

/* Allocates a handle for `dbenv` and creates its database handle (not open). *handle is set to
 * null first and receives the handle on success.
 * Returns 0; ENOMEM; or db_create's code (logged; the handle is freed). */
QNST_API int qn_quota_create(qn_quotarec **handle, DB_ENV *dbenv);

/* Opens (creating when missing) the environment's "quota" database.
 * Returns 0 or the Berkeley DB code (logged). */
QNST_API int qn_quota_open(qn_quotarec *handle);

/* Closes the database handle, if any, and frees the handle. The records stay in the
 * environment while it is open. A null handle is ignored. Always 0. */
QNST_API int qn_quota_close(qn_quotarec *handle);

/* Writes the record of `id` with `limit` and `current`, replacing any earlier one.
 * Returns 0 or the Berkeley DB code (logged). */
QNST_API int qn_quota_init(qn_quotarec *handle, DB_TXN *txn, uint32_t id, int64_t limit,
                           int64_t current);

/* Adds `delta` to the usage of `id` (read with a write lock). A usage above the limit is
 * refused; a usage equal to the limit is accepted. A negative delta is accepted even when the
 * usage stays above the limit or becomes negative; a delta of 0 is refused while the usage is
 * above the limit. The sum saturates at the limits of signed 64-bit.
 * Returns 0; QN_QUOTA_EXCEEDED (-1, not logged; the record is unchanged); DB_NOTFOUND (logged)
 * when `id` has no record; or the Berkeley DB code (logged). */
QNST_API int qn_quota_modify(qn_quotarec *handle, DB_TXN *txn, uint32_t id, int64_t delta);

/* Returns the usage of `id` (read with a write lock) through `current`; the limit is not
 * returned. Returns 0; DB_NOTFOUND (logged) when `id` has no record; or the Berkeley DB code
 * (logged). */
QNST_API int qn_quota_get(qn_quotarec *handle, DB_TXN *txn, uint32_t id, int64_t *current);

QNST_END_DECLS

#endif /* QNST_QUOTA_H */
