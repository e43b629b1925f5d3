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

/* Opens the histogram "<cpath>hist_<name>.db". With `init` 0 the file must exist; a missing file
 * (2) turns creation on. When creating, records 1..256 are filled with 0 and 257 with
 * QNST_CSIS_HIST_MARK, keeping records that exist. Step of the cache store's open (internal).
 * Returns 0, 12 when the name cannot be built, or the Berkeley DB code (logged). */
int qnst_csis_histopen(qnst_sis *part, const char *name, const char *cpath, int32_t init);

/* *count = histogram record `bucket` (read without a transaction). Returns 0, 22 (logged) for a
 * bucket below 1, or the Berkeley DB code (logged, DB_NOTFOUND included: buckets are 1..257). */
QNST_API int qnst_csis_histget(qnst_sis *part, int32_t bucket, uint32_t *count);

/* Adds `delta` to bucket `bucket` (read with DB_RMW, then written). Bucket 0 does nothing; a
 * bucket above 256 is 256. Returns 0, 22 (logged) for a negative bucket, or the Berkeley DB code
 * (logged). */
QNST_API int qnst_csis_histupdate(qnst_sis *part, DB_TXN *txn, int32_t bucket, int32_t delta);

/* Histogram step after a hold: `count` is the block's count after it, `counted` nonzero when the
 * block was already in the histogram. Moves the block from bucket count-1 to bucket count (or
 * adds it to bucket count when it was not counted). Returns 0, 22 (logged) for a count below 1,
 * or the result of qnst_csis_histupdate. */
QNST_API int qnst_csis_holdhist(qnst_sis *part, DB_TXN *txn, int32_t count, uint32_t counted);

/* Histogram step after a release: `count` is the count after it. Moves the block from bucket
 * count+1 (when counted) to bucket count (none when count is 0). Returns 0, 22 (logged) for a
 * negative count, or the result of qnst_csis_histupdate. */
QNST_API int qnst_csis_relehist(qnst_sis *part, DB_TXN *txn, int32_t count, uint32_t counted);

/* Removes `hash` from the cache table. Without a cache table, or for a hash it does not hold: 0.
 * Returns 0 or the Berkeley DB code (logged). */
QNST_API int qnst_csis_uncache(qnst_sis *part, DB_TXN *txn, const void *hash, uint32_t hashlen);

/* ---- Cache table and queues ---------------------------------------------------------------- */

QNST_END_DECLS

#endif /* QNST_CSIS_H */
