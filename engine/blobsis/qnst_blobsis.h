/*
 * qnst_blobsis.h: one partition of the blob single-instance store.
 *
 * A blob is a whole file content or message body, kept once per distinct content hash. The
 * partition maps each hash to a 64-bit local id, counts the id's references, remembers its size
 * and hash, and queues ids whose last reference went away for compaction. Blob content lives in
 * fast files; the partition stores none. The namespace reaches partitions only through the blob
 * store manager (qnst_blobsism.h), which turns local ids into global blob handles.
 *
 * The partition's file holds five B-tree tables, opened free-threaded without a transaction.
 * Every integer is stored little-endian, in keys too, so id-keyed tables are not in numeric
 * order:
 *
 *   "seq"          key 01 00 00 00              the id sequence's own record
 *   "hash_id"      hash (1..64 bytes)           local id (8 bytes)
 *   "id_ref"       local id (8 bytes)           reference count (4 bytes)
 *   "id_info"      local id (8 bytes)           size u64 @0, hash length n u32 @8, hash @12
 *                                               (12 + n bytes)
 *   "compactq"     local id (8 bytes)           size (8 bytes)
 *   "id_ref_fsck"  local id (8 bytes)           reference count rebuilt by a check (4 bytes);
 *                                               open only between the check calls
 *
 * Local ids come from the sequence: 1..2^48-1, first id 3, 32 values cached per open handle (so
 * ids grow but are not dense), taken outside the caller's transaction (an aborted store leaves a
 * gap, never a reuse). Id 0 is never issued and means "no blob" in every output.
 *
 * Every call works inside the caller's transaction `txn`; none begins, commits or aborts one. A
 * null `txn` makes each table operation commit on its own. "Logged" below means one code entry
 * in the environment's error log; DB_LOCK_DEADLOCK, DB_LOCK_NOTGRANTED, QNST_HASH_EXISTS and
 * QNST_RETRY are never logged. After a failure the caller aborts its transaction. Every call on
 * records also returns 22 (EINVAL) for a partition that is not open: logged, except by
 * qnst_blob_del_compactq, which logs nothing.
 */
#ifndef QNST_BLOBSIS_H
#define QNST_BLOBSIS_H

#include <db.h>
#include <stdint.h>

#include "qnst_defs.h"

QNST_BEGIN_DECLS

#define QNST_BLOB_MAX_HASH 64u              /* longest hash a partition stores */
#define QNST_BLOB_INFO_HEADER 12u           /* info record without its hash */
#define QNST_BLOB_INFO_SIZE 76u             /* QNST_BLOB_INFO_HEADER + QNST_BLOB_MAX_HASH */
#define QNST_BLOB_SEQ_MAX 0xFFFFFFFFFFFFull /* last local id (2^48 - 1) */
#define QNST_BLOB_SEQ_INITIAL 3             /* first local id of a new partition */
#define QNST_BLOB_SEQ_CACHE 32              /* ids cached per open sequence handle */

/* Partition handle, owned by the caller (the manager's array) and cleared by create. The
 * partition owns the Berkeley DB handles and closes them in qnst_blobsis_close. */
typedef struct qnst_blobsis {
    DB_ENV *env;       /* the environment; its error file receives the log entries */
    DB *seq_db;        /* "seq" */
    DB_SEQUENCE *seq;  /* the id sequence; exists between open and close */
    DB *hash_id;       /* "hash_id": hash -> local id */
    DB *id_ref;        /* "id_ref": local id -> reference count */
    DB *id_info;       /* "id_info": local id -> size and hash */
    DB *compactq;      /* "compactq": local id -> size, ids waiting for compaction */
    DB *id_ref_fsck;   /* "id_ref_fsck"; null unless a check has opened it */
} qnst_blobsis;

/* Clears `part`, keeps `env` and creates the Berkeley DB handles of "seq", "id_ref", "hash_id",
 * "id_info" and "compactq". Nothing is opened. Returns 0, 22 (EINVAL, not logged) for a null
 * `part`, or the Berkeley DB code (logged), after which everything is closed and cleared. */
QNST_API int qnst_blobsis_create(qnst_blobsis *part, DB_ENV *env);

/* Opens the tables of partition file `file`, creating what is missing, and the id sequence.
 * `flags` is not used. Returns 0, 22 (logged) for a partition that is not created or a null
 * `file`, or the first Berkeley DB code (logged); what was opened before a failure stays open for
 * qnst_blobsis_close. */
QNST_API int qnst_blobsis_open(qnst_blobsis *part, const char *file, uint32_t flags);

/* Closes "id_ref_fsck" (keeping it), the sequence and the tables, clearing each handle. A null
 * `part` is allowed. Always 0. */
QNST_API int qnst_blobsis_close(qnst_blobsis *part);

/* Deletes the partition file `file`, which must not be open. Returns 0, 22 (not logged) for a
 * null argument, or the Berkeley DB code (logged; ENOENT (2) when the file does not exist). */
QNST_API int qnst_blobsis_remove(DB_ENV *env, const char *file);

/* Stores a new blob: hash -> `id`, `id` -> `count`, `id` -> (size, hash). `id` comes from
 * qnst_blob_gen_handle. Returns 0; 22 (logged, nothing written) for a null or empty hash or one
 * longer than QNST_BLOB_MAX_HASH bytes; QNST_HASH_EXISTS (not logged, nothing written) when the
 * hash is already stored: look it up and hold that blob instead; DB_KEYEXIST (logged) when `id`
 * already has a reference or info record; or another Berkeley DB code (logged). */
QNST_API int qnst_blob_store_hold(qnst_blobsis *part, DB_TXN *txn, const void *hash,
                                  uint32_t hashlen, uint64_t size, uint64_t id, uint32_t count);

/* *id = the local id stored for the hash, or 0 when the hash is unknown (result 0). The index
 * entry is read with a write lock: a hold or a store follows in the same transaction. Returns 0,
 * 22 (logged) for a null or empty hash or one longer than QNST_BLOB_MAX_HASH bytes, 5 (EIO,
 * logged) for a damaged index entry, or the Berkeley DB code (logged unless exempt). */
QNST_API int qnst_blob_lookup(qnst_blobsis *part, DB_TXN *txn, const void *hash, uint32_t hashlen,
                              uint64_t *id);

/* Adds one reference to `id` in "id_ref", or in "id_ref_fsck" when `fsck` is nonzero. Returns 0,
 * EINVAL (logged) with `fsck` set while "id_ref_fsck" is not open, EIO (logged) for a damaged
 * count, ENOSPC (logged, nothing written) when the count is already 2^32 - 1, DB_NOTFOUND
 * (logged) for an id without a count, or the Berkeley DB code (logged unless exempt). */
QNST_API int qnst_blob_hold(qnst_blobsis *part, DB_TXN *txn, uint64_t id, int32_t fsck);

/* Drops one reference of `id`. At zero the blob is freed: its reference, info and index records
 * are deleted, the id is queued for compaction with its size, and the size is added to
 * *released (only when every step succeeded; the hash is then unknown, and a new store of the
 * same content gets a new id). An id without a count is not an error: one message entry is
 * logged and the result is 0. A count that is already 0 (left by a check's rebuild) stays 0: one
 * message entry, result 0. Returns 0, 5 (EIO, logged) for a damaged count or info record, or the
 * Berkeley DB code (logged unless exempt; DB_KEYEXIST when the id is already queued). */
QNST_API int qnst_blob_rele(qnst_blobsis *part, DB_TXN *txn, uint64_t id, uint64_t *released);

/* Queues `id` for compaction with `size`. Returns 0 or the Berkeley DB code (logged;
 * DB_KEYEXIST when the id is queued already). */
QNST_API int qnst_blob_compactq(qnst_blobsis *part, DB_TXN *txn, uint64_t id, uint64_t size);

/* Reads the first entry of the compaction queue, with a write lock, without removing it:
 * *id = 0 (and *size = 0) when the queue is empty. Queue order is the byte order of the
 * little-endian ids, not age. The cursor it reads with is closed before it returns. Returns 0,
 * the code (logged) of a cursor that cannot be opened, 5 (EIO, not logged) for a damaged entry,
 * or the read's Berkeley DB code (not logged). */
QNST_API int qnst_blob_get_compactq(qnst_blobsis *part, DB_TXN *txn, uint64_t *id,
                                    uint64_t *size);

/* Deletes `id` from the compaction queue. Returns 0 or the Berkeley DB code, not logged
 * (DB_NOTFOUND when it is not queued). */
QNST_API int qnst_blob_del_compactq(qnst_blobsis *part, DB_TXN *txn, uint64_t id);

/* *id = the next local id of the partition's sequence, taken in a transaction of its own.
 * Returns 0, 22 (logged) for a partition that is not open, or the Berkeley DB code (logged). */
QNST_API int qnst_blob_gen_handle(qnst_blobsis *part, uint64_t *id);

/* The hash of `id`: *hashlen bytes copied to `hash`, which has room for QNST_BLOB_MAX_HASH.
 * Returns 0, 5 (EIO, logged) for a damaged info record, or the Berkeley DB code (logged;
 * DB_NOTFOUND for an unknown id). */
QNST_API int qnst_blob_hashread(qnst_blobsis *part, DB_TXN *txn, uint64_t id, uint32_t *hashlen,
                                void *hash);

QNST_END_DECLS

#endif /* QNST_BLOBSIS_H */
