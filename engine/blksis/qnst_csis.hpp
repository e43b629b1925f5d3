// Internal interface of the cache store: the steps of its open and of the store-queue flush
// that the manager and the tests call but that libqnst64.so does not export.
#pragma once

#include "qnst_csis.h"
#include "qnst_sis.hpp"

extern "C" {

/* Opens the histogram "<cpath>hist_<name>.db". With `init` 0 the file must exist; a missing file
 * (ENOENT) turns creation on. When creating, records 1..256 are filled with 0 and 257 with
 * QNST_CSIS_HIST_MARK, keeping records that exist. Step of the cache store's open (internal).
 * Returns 0, ENOMEM when the name cannot be built, or the Berkeley DB code (logged). */
int qnst_csis_histopen(qnst_sis *part, const char *name, const char *cpath, int32_t init);

/* ---- Cache table and queues ---------------------------------------------------------------- */
/* Capacity in entries of a cache table of `budget` bytes in pages of `pagesize` bytes: 80 per
 * cent of (budget / pagesize) pages of (pagesize - 32) / 40 entries, in unsigned 32-bit
 * arithmetic (100 MiB in 4096-byte pages: 2068480). Internal. */
uint32_t qnst_csis_capacity(int64_t budget, uint32_t pagesize);
/* Index step of the store-queue flush (internal): *count = the block's count (read with DB_RMW
 * from "id_ref"; 0 and result 0 when the block is gone or its count is 0, in which case nothing
 * is written); otherwise inserts hash -> handle into the hash index. Returns 0, QNST_HASH_EXISTS
 * when the hash is indexed already, EINVAL (logged) for a hash longer than QNST_SIS_MAX_HASH, EIO
 * (logged) for a damaged reference word, or the Berkeley DB code (logged unless exempt). */
int qnst_csis_index(qnst_sis *part, DB_TXN *txn, uint64_t handle, const void *hash,
                    uint32_t hashlen, uint32_t *count);
/* Folds queued block `handle`, whose hash is indexed under another block, into that block
 * (internal). Returns 0 (also when the hash already maps to `handle` or the block is gone),
 * QNST_RETRY when the index step must run again, EINVAL (logged) after too many symbolic-link hops,
 * EIO (logged) for a damaged index entry, location record or reference word, or the Berkeley
 * DB code (logged unless exempt). */
int qnst_csis_merge(qnst_sis *part, DB_TXN *txn, uint64_t handle, const void *hash,
                    uint32_t hashlen);
/* Cache refresh of one block (internal), given its local handle and its reference word as a walk
 * returned it. A stamped word puts the block's hash into the cache table when its count is above
 * the watermark, or equal to it and changed at most a day ago, and takes it out otherwise
 * (symbolic links and vanished blocks are skipped). A legacy word is rewritten stamped with the
 * same count, and the block enters the histogram. Returns 0, EIO (logged) for a damaged
 * location record or reference word, or the Berkeley DB code (logged unless exempt). */
int qnst_csis_refresh(qnst_sis *part, DB_TXN *txn, uint64_t handle, uint32_t word);

}  // extern "C"
