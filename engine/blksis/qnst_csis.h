/*
 * qnst_csis.h: the cache store of a block store partition and its histogram of reference counts.
 *
 * The cache store's fields live in the partition record (qnst_sis.h): four table handles (cache
 * table, store queue, hold/release queue, histogram), the cache watermark and the statistics
 * counters.
 *
 * Histogram: file "<cpath>hist_<name>.db", a DB_QUEUE of 4-byte little-endian records. Record b
 * (1..256) counts the partition's blocks whose reference count is b (256: 256 or more); record 257
 * holds 0x0FFFFFFF. Only blocks with a stamped reference word are counted.
 *
 * Failing Berkeley DB calls are written to the error log unless the code is DB_LOCK_DEADLOCK,
 * DB_LOCK_NOTGRANTED, QNST_HASH_EXISTS or QNST_RETRY.
 */
#ifndef QNST_CSIS_H
#define QNST_CSIS_H

#include <db.h>
#include <stdint.h>

#include "qnst_defs.h"
#include "qnst_dfile.h"
#include "qnst_sis.h"

QNST_BEGIN_DECLS

#define QNST_CSIS_HIST_BUCKETS 256     /* buckets 1..256; 256 stands for 256 and more */
#define QNST_CSIS_HIST_MARK_RECNO 257u /* record holding QNST_CSIS_HIST_MARK */
#define QNST_CSIS_HIST_MARK 0x0FFFFFFFu

/* Sets the watermark to 1 and creates the four table handles (cache, store queue, hold/release
 * queue, histogram) in `env`. `dfile` is the partition's (unused by the handles themselves).
 * Returns 0 or db_create's code (logged), after which they are closed again. */
QNST_API int qnst_csis_create(qnst_sis *part, DB_ENV *env, qnst_dfile *dfile);

/* Closes each of the four tables that exists and clears its handle. Always 0. */
QNST_API int qnst_csis_close(qnst_sis *part);

/* *count = histogram record `bucket` (read without a transaction). Returns 0, EINVAL (logged) for a
 * bucket below 1, or the Berkeley DB code (logged, DB_NOTFOUND included: buckets are 1..257). */
QNST_API int qnst_csis_histget(qnst_sis *part, int32_t bucket, uint32_t *count);

/* Adds `delta` to bucket `bucket` (read with DB_RMW, then written). Bucket 0 does nothing; a
 * bucket above 256 is 256. Returns 0, EINVAL (logged) for a negative bucket, or the Berkeley DB
 * code (logged). */
QNST_API int qnst_csis_histupdate(qnst_sis *part, DB_TXN *txn, int32_t bucket, int32_t delta);

/* Histogram step after a hold: `count` is the block's count after it, `counted` nonzero when the
 * block was already in the histogram. Moves the block from bucket count-1 to bucket count (or
 * adds it to bucket count when it was not counted). Returns 0, EINVAL (logged) for a count below 1,
 * or the result of qnst_csis_histupdate. */
QNST_API int qnst_csis_holdhist(qnst_sis *part, DB_TXN *txn, int32_t count, uint32_t counted);

/* Histogram step after a release: `count` is the count after it. Moves the block from bucket
 * count+1 (when counted) to bucket count (none when count is 0). Returns 0, EINVAL (logged) for a
 * negative count, or the result of qnst_csis_histupdate. */
QNST_API int qnst_csis_relehist(qnst_sis *part, DB_TXN *txn, int32_t count, uint32_t counted);

/* Removes `hash` from the cache table. Without a cache table, or for a hash it does not hold: 0.
 * Returns 0, EINVAL (logged) for a `hashlen` above QNST_SIS_MAX_HASH, or the Berkeley DB code
 * (logged). */
QNST_API int qnst_csis_uncache(qnst_sis *part, DB_TXN *txn, const void *hash, uint32_t hashlen);

/* ---- Cache table and queues ---------------------------------------------------------------- */
/*
 * Cache table "<cpath>C_<name>.db" (DB_HASH): hash (1..20 bytes) -> local handle (8 bytes). It
 * holds the hashes of blocks whose reference count reached the partition's watermark; with
 * caching on, new blocks are deduplicated against it alone.
 *
 * Store queue "<cpath>SQ_<name>.db" (DB_QUEUE, 32-byte records): local handle u64 @0, hash length
 * n u32 @8, hash @12 (n <= 20), queue padding. One record per block stored while caching was on
 * whose hash-index entry is still to be written.
 *
 * Hold/release queue "<cpath>HQ_<name>.db" (DB_QUEUE, 12-byte records): local handle u64 @0,
 * signed change i32 @8 (+1 hold, -1 release), applied later by qnst_csis_flushHDQ.
 *
 * Queue flushes work one record per call, in the caller's transaction, with `*tail` bounding a
 * pass: call with *tail = 0 to start a pass (it becomes the last record number present), and
 * keep calling, one transaction each, until *tail comes back 0. Records appended after the pass
 * began wait for the next pass. A failed call leaves its record queued for the next try once the
 * caller has aborted.
 */

/* Opens the cache store of partition `part` with base name `name` (e.g. "blksis_3"): with a
 * nonzero `budget` (bytes) the cache table (page size 4096 unless configured) and its capacity;
 * with budget 0 no cache table (its handle is disposed of and cleared); then the store queue,
 * the hold/release queue and the histogram (`init` permits creating it). `cpath` (null: "")
 * prefixes every file name. Returns 0, EINVAL (not logged) for a null `part` or `name`, ENOMEM when
 * a name cannot be built, or the first Berkeley DB code (logged: "<file> <cpath>" for the cache
 * table, "<code> <file>" for the queues); what was opened before a failure stays open for
 * qnst_csis_close. */
QNST_API int qnst_csis_open(qnst_sis *part, const char *name, int32_t init, const char *cpath,
                            int64_t budget);

/* Closes and deletes the cache table file "<cpath>C_<name>.db" and clears its handle; the
 * partition then runs without a cache table until its next open with a budget. Without a cache
 * table: 0. Returns 0, ENOMEM when the name cannot be built, or the Berkeley DB code (logged; a
 * failed delete as "<file> <cpath>"). */
QNST_API int qnst_csis_drop(qnst_sis *part, const char *name, const char *cpath);

/* Stores a newly written block with its hash-index entry deferred: appends (handle, hash) to the
 * store queue, writes the block's location and reference records and histogram bucket 1
 * (qnst_sis_store), and adds `length` to data file `dfid`'s usage, making offset + length its
 * current offset; *growth (may be null) receives the file's growth. Until the store queue is
 * flushed the block is found only by its handle. Returns 0; EINVAL (logged, nothing written) for a
 * null hash or one longer than QNST_SIS_MAX_HASH; DB_KEYEXIST when the handle has records; or
 * the Berkeley DB code (DB_NOTFOUND for an unknown data file), logged unless exempt. */
QNST_API int qnst_csis_store(qnst_sis *part, DB_TXN *txn, const void *hash, uint32_t hashlen,
                             uint32_t dfid, uint32_t dfver, uint64_t offset, uint32_t length,
                             uint64_t handle, uint64_t *growth);

/* Looks `hash` up in the cache table (DB_RMW): *handle = the local handle and one hit counted, or
 * *handle = 0 and one miss counted. Without a cache table: *handle = 0, nothing counted. Returns 0,
 * EINVAL (logged) for a `hashlen` above QNST_SIS_MAX_HASH, EIO (logged) for an entry that is not
 * 8 bytes long, or the Berkeley DB code (logged unless exempt). */
QNST_API int qnst_csis_lookup(qnst_sis *part, DB_TXN *txn, const void *hash, uint32_t hashlen,
                              uint64_t *handle);

/* Queue one hold (+1) or one release (-1) of local handle `handle` on the hold/release queue.
 * Returns 0 or the Berkeley DB code (logged unless exempt). */
QNST_API int qnst_csis_hold(qnst_sis *part, DB_TXN *txn, uint64_t handle);
QNST_API int qnst_csis_rele(qnst_sis *part, DB_TXN *txn, uint64_t handle);

/* Flushes the first store-queue record (see the pass discipline above): indexes its hash; when
 * the hash is already indexed under another block, the queued block becomes a symbolic link to
 * that block, which takes over its references, and its bytes are subtracted from its data
 * file's usage. A queued block whose count fell to 0 is dropped without indexing. The record is
 * consumed. A damaged record (a hash length above 20) cannot be indexed: it is logged and
 * consumed, its block staying readable by its handle. An empty queue gives *tail = 0 and result
 * 0. Returns 0; EINVAL (logged) for a null `tail`; EIO (logged) for a damaged reference word or
 * location record of the blocks involved; or the Berkeley DB code (logged unless exempt).
 * Failures are counted. */
QNST_API int qnst_csis_flushSTQ(qnst_sis *part, DB_TXN *txn, uint32_t *tail);

/* Applies the first hold/release-queue record (qnst_sis_hold or qnst_sis_rele; a block that no
 * longer exists is logged and skipped) and consumes it. With `compactor` set the handle is also
 * taken off the running compaction's purge list, sparing the block; without a purge list this
 * fails with EINVAL (logged) and the record stays queued. An empty queue gives *tail = 0 and
 * result 0.
 * Returns 0; EINVAL (logged) for a null `tail`, without a purge list as above, or after too many
 * symbolic-link hops; EIO (logged) for a damaged reference word or location record; or the
 * Berkeley DB code (logged unless exempt). Failures are counted. */
QNST_API int qnst_csis_flushHDQ(qnst_sis *part, DB_TXN *txn, uint32_t *tail,
                                uint32_t compactor);

/* Inserts hash -> local handle into the cache table unless the hash is there already (the first
 * entry stays). Does nothing without a cache table or while the partition is being compacted.
 * `count` is informational. Returns 0, EINVAL (logged) for a hash longer than QNST_SIS_MAX_HASH, or
 * the Berkeley DB code (logged unless exempt). */
QNST_API int qnst_csis_cache(qnst_sis *part, DB_TXN *txn, const void *hash, uint32_t hashlen,
                             uint64_t handle, uint32_t count);

QNST_END_DECLS

#endif /* QNST_CSIS_H */
