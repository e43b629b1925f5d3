/*
 * qnst_sinfo.h: the store-information table, one small fixed record per `sino`.
 *
 * One B-tree database (no sub-database name) in the caller's file:
 *   key, 8 bytes:   sino u64 big-endian, so that keys sort numerically
 *   data, 24 bytes: ino u64 @0, method u32 @8, sgen u32 @12, stime u64 @16, little-endian
 * A listing reports its end with `ino` 0, so no record carries `ino` 0.
 *
 * Every function works inside the caller's transaction and never begins, commits or aborts one.
 * "Logged" means one code entry in the error log unless the code is DB_LOCK_DEADLOCK or
 * DB_LOCK_NOTGRANTED.
 */
#ifndef QNST_SINFO_H
#define QNST_SINFO_H

#include <db.h>
#include <stdint.h>

#include "qnst_defs.h"

#define QNST_SINFO_KEY_SIZE 8u
#define QNST_SINFO_DATA_SIZE 24u

QNST_BEGIN_DECLS

/* Store-information handle, owned by the caller and cleared by qnst_sinfo_create. */
typedef struct qnst_sinfo {
    DB_ENV *dbenv; /* the environment */
    DB *db;        /* the table; null when closed */
} qnst_sinfo;

/* Clears the handle, stores the environment and creates the database handle (not open).
 * Returns 0, or db_create's code (logged), after which the handle is clear. */
QNST_API int qnst_sinfo_create(qnst_sinfo *h, DB_ENV *dbenv);

/* Opens (creating when missing) the table in `file`. `init` has no effect.
 * Returns 0; EINVAL (logged) when the handle was not created; or the Berkeley DB code
 * (logged), after which the caller closes the handle. */
QNST_API int qnst_sinfo_open(qnst_sinfo *h, const char *file, int32_t init);

/* Closes the table (without syncing) if it is open. Always 0. */
QNST_API int qnst_sinfo_close(qnst_sinfo *h);

/* Removes the table's file. Returns 0, or the Berkeley DB code (logged; ENOENT when the file
 * does not exist). */
QNST_API int qnst_sinfo_remove(DB_ENV *dbenv, const char *file);

/* Writes the record of `sino`, replacing any earlier one.
 * Returns 0; EINVAL (logged, nothing written) when `ino` is 0, which would read as the end
 * of a listing, or the handle is not open; or a Berkeley DB code (logged). */
QNST_API int qnst_sinfo_set(qnst_sinfo *h, DB_TXN *txn, uint64_t sino, uint64_t ino,
                            uint32_t method, uint32_t sgen, uint64_t stime);

/* Reads the record of `sino`.
 * Returns 0; DB_NOTFOUND (not logged) when there is none; EIO (logged) when the stored record
 * is not 24 bytes; EINVAL (logged) when the handle is not open; or a Berkeley DB code
 * (logged). */
QNST_API int qnst_sinfo_get(qnst_sinfo *h, DB_TXN *txn, uint64_t sino, uint64_t *ino,
                            uint32_t *method, uint32_t *sgen, uint64_t *stime);

/* Deletes the record of `sino`.
 * Returns 0; DB_NOTFOUND (logged) when there is none; EINVAL (logged) when the handle is not
 * open; or a Berkeley DB code (logged). */
QNST_API int qnst_sinfo_purge(qnst_sinfo *h, DB_TXN *txn, uint64_t sino);

/* Starts a listing in ascending `sino` order at the first record whose key is not below
 * `*sino`: opens a cursor in `txn` (reading committed data, so that records passed are not kept
 * locked), writes that record's key to `*sino` and the record to the outputs; without such a
 * record sets `*ino` to 0. Either way the cursor is handed to the caller, who steps with
 * qnst_sinfo_next and ends with qnst_sinfo_end.
 * Returns 0; EINVAL (logged) when the handle is not open; EIO (logged) when a record found is
 * damaged (not 24 bytes, or its key not 8); or a Berkeley DB code (logged); after a failure no
 * cursor is handed out. */
QNST_API int qnst_sinfo_list(qnst_sinfo *h, DB_TXN *txn, DBC **cursor, uint64_t *sino,
                             uint64_t *ino, uint32_t *method, uint32_t *sgen, uint64_t *stime);

/* The next record of a listing; `*ino` 0 at the end.
 * Returns 0; EIO (logged) when a record found is damaged (not 24 bytes, or its key not 8); or a
 * Berkeley DB code (logged). The cursor still has to be ended. */
QNST_API int qnst_sinfo_next(qnst_sinfo *h, DBC *cursor, uint64_t *sino, uint64_t *ino,
                             uint32_t *method, uint32_t *sgen, uint64_t *stime);

/* Ends a listing: closes the cursor. Always 0. */
QNST_API int qnst_sinfo_end(qnst_sinfo *h, DBC *cursor);

QNST_END_DECLS

#endif /* QNST_SINFO_H */
