/*
 * qnst_blobsism.h: the blob store manager, the face of the blob single-instance store.
 *
 * The store is split into `count` partitions (qnst_blobsis.h), each in a file of its own named
 * "<prefix>_<p>.db" with p the partition number in lower-case hex ("blob_0.db", ..., "blob_f.db",
 * "blob_10.db"). The partition count is part of the stored data's identity: a store must always
 * be opened with the count it was created with.
 *
 * Blob handle, the value blob maps and message maps store: bits 63..56 the partition number,
 * bits 55..0 the partition's local id. Handle 0 means "no blob" in every output. Calls that take
 * a hash go to partition (hash[0] & 0x7F) % count (partitions 128 and above never receive a
 * blob); calls that take a handle go to the partition in its top byte and pass its low 56 bits
 * on. Every nonzero id a partition returns comes back with the partition number in its top byte.
 *
 * Bad arguments are refused with 22 (EINVAL, logged) before any partition is touched: a store
 * that is not created, a handle or partition number not below `count`, a null or empty hash or
 * one longer than QNST_BLOB_MAX_HASH (64) bytes. A handle whose partition is not the hash's
 * partition (store and store_hashid) is refused with 22 without a log entry.
 *
 * Every call works inside the caller's transaction `txn`; none begins, commits or aborts one.
 * "Logged" means that a failure is written to the error log by the partition and again by the
 * manager (so one failure can give two entries); DB_LOCK_DEADLOCK, DB_LOCK_NOTGRANTED,
 * QNST_HASH_EXISTS and QNST_RETRY are never logged. After a failure the caller aborts its
 * transaction. The manager keeps no lock; its partitions serve every thread.
 */
#ifndef QNST_BLOBSISM_H
#define QNST_BLOBSISM_H

#include <db.h>
#include <stdint.h>

#include "qnst_blobsis.h"
#include "qnst_defs.h"

QNST_BEGIN_DECLS

#define QNST_BLOBSISM_MAX_PARTS 256                   /* a partition number fits one byte */
#define QNST_BLOBSISM_PART_SHIFT 56                   /* position of the partition number */
#define QNST_BLOBSISM_LOCAL_MASK 0x00FFFFFFFFFFFFFFull /* the local id of a handle */

/* Manager handle, owned by the caller and filled by qnst_blobsism_create. */
typedef struct qnst_blobsism {
    DB_ENV *env;         /* the environment of every partition; receives the log entries */
    int32_t count;       /* number of partitions, 1..256, fixed at create */
    qnst_blobsis *parts; /* array of `count` partitions; null before create and after close */
} qnst_blobsism;

/* ---- Life cycle --------------------------------------------------------------------------- */

/* Clears `mgr`, stores `env` and `count`, allocates the partition array and creates every
 * partition's handles. Returns 0; 22 (EINVAL, not logged for a null `mgr`, else logged) for
 * `count` outside 1..256; 12 (ENOMEM, logged) when the array cannot be allocated, nothing being
 * created; or a partition's Berkeley DB code (logged), after which every partition created is
 * closed and `parts` is null. */
QNST_API int qnst_blobsism_create(qnst_blobsism *mgr, DB_ENV *env, int32_t count);

/* Opens every partition's file "<prefix>_<p>.db", in ascending order. `flags` is passed on and
 * not used. Returns 0; 22 for a store that is not created or a null `prefix`; 12 (ENOMEM) when a
 * file name cannot be built; or the first partition's failure (logged), partitions opened before
 * it staying open for qnst_blobsism_close. */
QNST_API int qnst_blobsism_open(qnst_blobsism *mgr, const char *prefix, uint32_t flags);

/* Closes every partition, frees the array and clears `parts`; does nothing for a store without
 * an array (never created, failed create, closed). Always 0. */
QNST_API int qnst_blobsism_close(qnst_blobsism *mgr);

/* Deletes the partition files of a store of `count` partitions, which must not be open; files
 * that do not exist are skipped. Returns 0, 22 (not logged) for a null `env` or `prefix`, 12
 * when a name cannot be built, or the first other Berkeley DB code (logged). */
QNST_API int qnst_blobsism_remove(DB_ENV *env, const char *prefix, int32_t count);

/* Opens every partition's check table "id_ref_fsck", dropping old ones first when `reset` is
 * set. Returns 0, 22 (a store that is not created, a null `prefix`, or a check table that is
 * open already), 12 when a name cannot be built, or the first Berkeley DB code (logged). */
QNST_API int qnst_blobsism_open_fsck(qnst_blobsism *mgr, const char *prefix, int32_t reset);

/* Closes every partition's check table, dropping it when `remove` is set and `prefix` given.
 * Always 0. */
QNST_API int qnst_blobsism_close_fsck(qnst_blobsism *mgr, const char *prefix, int32_t remove);

/* ---- Data path, routed by hash ------------------------------------------------------------ */

/* A new handle from the sequence of the hash's partition, taken in a transaction of its own.
 * `hashlen` is checked, not otherwise used. Returns 0, 22, or the Berkeley DB code. */
QNST_API int qnst_mblob_gen_handle(qnst_blobsism *mgr, const void *hash, uint32_t hashlen,
                                   uint64_t *handle);

/* Stores a new blob of `size` bytes under `handle` (from qnst_mblob_gen_handle for this hash)
 * with `count` references. Returns 0; 22; QNST_HASH_EXISTS (not logged, nothing written) when
 * the hash is stored already: look it up and hold that blob; or the Berkeley DB code
 * (DB_KEYEXIST when the handle is stored already). */
QNST_API int qnst_mblob_store_hold(qnst_blobsism *mgr, DB_TXN *txn, const void *hash,
                                   uint32_t hashlen, uint64_t size, uint64_t handle,
                                   uint32_t count);

/* qnst_mblob_store_hold with one reference. */
QNST_API int qnst_mblob_store(qnst_blobsism *mgr, DB_TXN *txn, const void *hash,
                              uint32_t hashlen, uint64_t size, uint64_t handle);

/* *handle = the blob stored with `hash`, or 0 when it is unknown (result 0). Read with a write
 * lock. Returns 0, 22, 5 (EIO) for a damaged index entry, or the Berkeley DB code. */
QNST_API int qnst_mblob_lookup(qnst_blobsism *mgr, DB_TXN *txn, const void *hash,
                               uint32_t hashlen, uint64_t *handle);

/* ---- Data path, routed by handle ---------------------------------------------------------- */

/* Adds one reference ("id_ref_fsck" with `fsck` nonzero). Returns 0, 22 (also with `fsck` while
 * the check tables are closed), 5 (EIO) for a damaged count, or the Berkeley DB code
 * (DB_NOTFOUND for an unknown blob). */
QNST_API int qnst_mblob_hold(qnst_blobsism *mgr, DB_TXN *txn, uint64_t handle, int32_t fsck);

/* Drops one reference; the last frees the blob and queues it for compaction, adding its size to
 * *released (qnst_blob_rele). An unknown blob, or one whose count is already 0, is left alone
 * with a message entry in the log (result 0). Returns 0, 22, 5 (EIO) for a damaged record, or
 * the Berkeley DB code. */
QNST_API int qnst_mblob_rele(qnst_blobsism *mgr, DB_TXN *txn, uint64_t handle,
                             uint64_t *released);

/* Queues `handle` for compaction with `size`. Returns 0, 22, or the Berkeley DB code
 * (DB_KEYEXIST when it is queued already). */
QNST_API int qnst_mblob_compactq(qnst_blobsism *mgr, DB_TXN *txn, uint64_t handle,
                                 uint64_t size);

/* The first entry of a compaction queue, with a write lock, not removed: the scan starts at a
 * partition index shared by the whole process and stays on a partition while its queue has
 * entries, moving on (wrapping at `count`) while a partition gives none; *handle = 0 and
 * *size = 0 when every queue is empty. Every cursor it opens is closed before it returns.
 * Returns 0, 22 (logged), or the result of the last partition asked (not logged here: 5 (EIO)
 * for a damaged entry, or a Berkeley DB code). */
QNST_API int qnst_mblob_get_compactq(qnst_blobsism *mgr, DB_TXN *txn, uint64_t *handle,
                                     uint64_t *size);

/* Removes `handle` from its partition's compaction queue. Returns 0, 22 (logged), or the
 * Berkeley DB code, not logged (DB_NOTFOUND when it is not queued). */
QNST_API int qnst_mblob_del_compactq(qnst_blobsism *mgr, DB_TXN *txn, uint64_t handle);

/* The hash of a blob: *hashlen bytes into `hash`, which has room for 64. Returns 0, 22, 5 (EIO)
 * for a damaged info record, or the Berkeley DB code (DB_NOTFOUND for an unknown blob). */
QNST_API int qnst_mblob_hashread(qnst_blobsism *mgr, DB_TXN *txn, uint64_t handle,
                                 uint32_t *hashlen, void *hash);

/* The stored reference count of a blob ("id_ref_fsck" with `fsck` nonzero). Returns 0, 22, 5
 * (EIO) for a damaged count, or the Berkeley DB code (DB_NOTFOUND when there is none). */
QNST_API int qnst_mblob_getref(qnst_blobsism *mgr, DB_TXN *txn, int32_t fsck, uint64_t handle,
                               uint32_t *count);

/* Writes a blob's reference count ("id_ref_fsck" with `fsck` nonzero), overwriting. Returns 0,
 * 22, or the Berkeley DB code. */
QNST_API int qnst_mblob_setref(qnst_blobsism *mgr, DB_TXN *txn, int32_t fsck, uint64_t handle,
                               uint32_t count);

/* ---- Repair ------------------------------------------------------------------------------- */

/* Inserts a count of 0 for the handle ("id_ref_fsck" with `fsck`), for a checker that then holds
 * once per reference it finds. Returns 0, 22, or the Berkeley DB code (DB_KEYEXIST when there is
 * a count). */
QNST_API int qnst_blobsism_store_idref(qnst_blobsism *mgr, DB_TXN *txn, uint64_t handle,
                                       int32_t fsck);

/* Deletes the handle's count ("id_ref_fsck" with `fsck`). Returns 0, 22, or the Berkeley DB code
 * (DB_NOTFOUND when there is none). */
QNST_API int qnst_blobsism_purge_idref(qnst_blobsism *mgr, DB_TXN *txn, uint64_t handle,
                                       int32_t fsck);

/* Writes hash -> handle into the index, overwriting. Returns 0, 22, or the Berkeley DB code. */
QNST_API int qnst_blobsism_store_hashid(qnst_blobsism *mgr, DB_TXN *txn, uint64_t handle,
                                        const void *hash, uint32_t hashlen);

/* Deletes the hash's index entry. Returns 0, 22, or the Berkeley DB code (DB_NOTFOUND when there
 * is none). */
QNST_API int qnst_blobsism_purge_hashid(qnst_blobsism *mgr, DB_TXN *txn, const void *hash,
                                        uint32_t hashlen);

/* Deletes the handle's info record. Returns 0, 22, or the Berkeley DB code (DB_NOTFOUND when
 * there is none). */
QNST_API int qnst_blobsism_purge_idinfo(qnst_blobsism *mgr, DB_TXN *txn, uint64_t handle);

/* ---- Scans of partition `part` (0..count-1) ---------------------------------------------- */
/* A walk opens a cursor in `txn` at the first record not below the start and hands it to the
 * caller, who steps it with the next call and ends it with qnst_blobsism_done. Handles go in and
 * out with the partition number in their top byte (a start handle's top byte is ignored); the
 * end of the table is result 0 with *handle = 0. A walk that fails has closed its cursor. Each
 * returns 0, 22, 5 (EIO) for a damaged record, or the Berkeley DB code. Id-keyed tables are in
 * the byte order of little-endian ids, not numeric order. */

/* Reference counts ("id_ref_fsck" with `fsck`), from *handle on (0: the first). */
QNST_API int qnst_blobsism_walk_idref(qnst_blobsism *mgr, int32_t part, DB_TXN *txn, int32_t fsck,
                                      DBC **cursor, uint64_t *handle, uint32_t *count);
QNST_API int qnst_blobsism_next_idref(qnst_blobsism *mgr, int32_t part, DBC *cursor,
                                      uint64_t *handle, uint32_t *count);
/* Info records, from *handle on; `hash` has room for 64 bytes. */
QNST_API int qnst_blobsism_walk_idinfo(qnst_blobsism *mgr, int32_t part, DB_TXN *txn,
                                       DBC **cursor, uint64_t *handle, uint64_t *size,
                                       uint32_t *hashlen, void *hash);
QNST_API int qnst_blobsism_next_idinfo(qnst_blobsism *mgr, int32_t part, DBC *cursor,
                                       uint64_t *handle, uint64_t *size, uint32_t *hashlen,
                                       void *hash);
/* Index entries from the first `startlen` bytes of `hash` on (0: the first entry); *hashlen is
 * the capacity of `hash` on entry and the found hash's length on return (DB_BUFFER_SMALL for a
 * hash that does not fit). */
QNST_API int qnst_blobsism_walk_hashid(qnst_blobsism *mgr, int32_t part, DB_TXN *txn,
                                       DBC **cursor, uint64_t *handle, uint32_t startlen,
                                       uint32_t *hashlen, void *hash);
QNST_API int qnst_blobsism_next_hashid(qnst_blobsism *mgr, int32_t part, DBC *cursor,
                                       uint64_t *handle, uint32_t *hashlen, void *hash);
/* Ends a walk (a null cursor is allowed); the cursor is closed even when `part` is bad. Returns
 * 0, or 22 (logged) for a bad `part`. */
QNST_API int qnst_blobsism_done(qnst_blobsism *mgr, int32_t part, DBC *cursor);

QNST_END_DECLS

#endif /* QNST_BLOBSISM_H */
