/*
 * qnst_blksism.h: the block store manager, the face of the block single-instance store.
 *
 * The store is split into `nparts` partitions (qnst_sis.h), each with its cache store and queues
 * (qnst_csis.h). Every call picks one partition and forwards to it, or runs over all of them.
 *
 * Partition of a hash: (hash[0] & 0x7F) % nparts (so partitions 128 and above never receive a
 * hash). Manager-level block handle: bits 63..56 the partition index, bits 55..0 the partition's
 * local handle; 0 means no block. A handle with bit 51 (QNST_BLKSISM_XLAT_BIT) set is a
 * translated handle: a key of a partition's translation table, resolved by qnst_xlat_handle.
 * Calls on handles pass the local handle on and OR the partition index into every nonzero handle
 * they return.
 *
 * Files, from the caller's store name `dbfolder` and the partition index p in lower-case hex:
 * "<dbfolder>_<p>.db" the partition's tables (and its check tables), "<dbfolder>_q<p>.db" its
 * check queue, "plist_<p>.db" its purge list during compaction, and the cache store files built
 * from "blksis_<p>" and the caller's `cpath` (qnst_csis.h).
 *
 * Every call works inside the caller's transaction `txn` (where it takes one); none begins,
 * commits or aborts one: after DB_LOCK_DEADLOCK or DB_LOCK_NOTGRANTED the caller aborts and
 * retries. A failing forwarded call is written to the error log unless its code is
 * DB_LOCK_DEADLOCK, DB_LOCK_NOTGRANTED, QNST_HASH_EXISTS or QNST_RETRY, and returned. Bad
 * arguments are refused with EINVAL before anything is read or written: a store that is not
 * created, a handle whose partition index is `nparts` or more, a partition index `storeid`
 * outside 0..nparts-1, a missing or empty hash, or a hash length above 20 bytes (the longest a
 * record holds, whatever the call does with it); these refusals are logged. Calls that read a partition's records also return EIO
 * (logged) for a damaged record (a size that disagrees with its layout) and, where they follow
 * symbolic links, EINVAL (logged) after too many hops, which only a damaged table can produce.
 *
 * The manager keeps no lock. Its counters, watermarks and compaction flags are updated without
 * one (they are statistics and settings, not persistent state).
 */
#ifndef QNST_BLKSISM_H
#define QNST_BLKSISM_H

#include <db.h>
#include <stdint.h>

#include "qnst_csis.h"
#include "qnst_defs.h"
#include "qnst_dfile.h"
#include "qnst_sis.h"

QNST_BEGIN_DECLS

#define QNST_BLKSISM_MAX_PARTS 256                   /* the partition index fits one byte */
#define QNST_BLKSISM_PART_SHIFT 56                   /* position of the partition index */
#define QNST_BLKSISM_LOCAL_MASK 0x00FFFFFFFFFFFFFFull /* the partition-local handle */
#define QNST_BLKSISM_XLAT_BIT 0x0008000000000000ull   /* marks a translated handle */

/* Manager handle, owned by the caller and filled by qnst_blksism_create. */
typedef struct qnst_blksism {
    DB_ENV *env;       /* the environment of every partition; also where the error log goes */
    qnst_dfile *dfile; /* dfile table shared by all partitions */
    int32_t nparts;    /* number of partitions, 1..256, fixed for the life of the store */
    qnst_sis *parts;   /* array of nparts partition records; null when closed */
    int64_t csize;     /* total cache-table budget in bytes; 0: no cache tables */
} qnst_blksism;

/* ---- Life cycle --------------------------------------------------------------------------- */

/* Clears `mgr`, stores `env`, `dfile` and `nparts`, and creates every partition's handles.
 * Returns 0; EINVAL for a null `mgr` or `nparts` outside 1..256; ENOMEM when the
 * partition array cannot be allocated; or a partition's Berkeley DB code (logged), after which
 * everything created is closed again and `parts` is null. */
QNST_API int qnst_blksism_create(qnst_blksism *mgr, DB_ENV *env, qnst_dfile *dfile,
                                 int32_t nparts);

/* Opens every partition's tables ("<dbfolder>_<p>.db") and cache store ("blksis_<p>", files
 * prefixed with `cpath`, each with a cache budget of csize / nparts bytes; csize 0: no cache
 * tables; `init` permits creating the histograms). Returns 0; EINVAL for a store that is not
 * created; ENOMEM when a name cannot be built; or the first failure (logged), partitions opened
 * before it staying open for qnst_blksism_close. */
QNST_API int qnst_blksism_open(qnst_blksism *mgr, const char *dbfolder, int32_t init,
                               const char *cpath, int64_t csize);

/* Closes every partition (a purge list left by an unfinished compaction is closed and deleted
 * too), frees the partition array and clears `parts`. Always 0. */
QNST_API int qnst_blksism_close(qnst_blksism *mgr);

/* Deletes the partition files "<dbfolder>_<p>.db" of a store of `nparts` partitions, which must
 * not be open. Files that do not exist are skipped. Returns 0, EINVAL (not logged) for a null `env`
 * or `dbfolder`, ENOMEM when a name cannot be built, or the first other Berkeley DB code
 * (logged). */
QNST_API int qnst_blksism_remove(DB_ENV *env, const char *dbfolder, int32_t nparts);

/* Closes and deletes every partition's cache table; the store runs without cache tables until it
 * is opened again with a budget. `dbfolder` is not used. Returns 0, EINVAL for a store that is not
 * created, ENOMEM when a name cannot be built, or the first failure (logged). */
QNST_API int qnst_csism_drop(qnst_blksism *mgr, const char *dbfolder, const char *cpath);

/* ---- Calls routed by hash ----------------------------------------------------------------- */

/* The handle of the block stored with `hash`, or *handle = 0 when it is unknown (result 0).
 * With caching on (budget set, watermark 2 or more) the cache table is asked first, counting a
 * hit or a miss; on a miss with `cacheonly` set the answer is 0 without asking the hash index.
 * With watermark 1 the hash index's hits and misses are counted; with 0 nothing is counted.
 * Returns 0, EINVAL, EIO for a damaged cache or index entry, or the Berkeley DB code. */
QNST_API int qnst_sism_lookup(qnst_blksism *mgr, DB_TXN *txn, const void *hash, uint32_t hashlen,
                              uint32_t cacheonly, uint64_t *handle);

/* A new handle from the sequence of the hash's partition (no transaction needed; thread-safe).
 * Returns 0, EINVAL, or the Berkeley DB code. */
QNST_API int qnst_sism_gen_handle(qnst_blksism *mgr, const void *hash, uint32_t hashlen,
                                  uint64_t *handle);

/* Writes hash -> handle into the hash index, overwriting. Returns 0; EINVAL (not logged) when the
 * handle's partition byte is not the hash's partition; EINVAL (logged) for a bad argument; or the
 * Berkeley DB code. */
QNST_API int qnst_sism_store_hashid(qnst_blksism *mgr, DB_TXN *txn, uint64_t handle,
                                    const void *hash, uint32_t hashlen);

/* Deletes the hash's hash-index entry. Returns 0, EINVAL, or the Berkeley DB code (DB_NOTFOUND when
 * there is none). */
QNST_API int qnst_sism_purge_hashid(qnst_blksism *mgr, DB_TXN *txn, const void *hash,
                                    uint32_t hashlen);

/* ---- Calls routed by handle --------------------------------------------------------------- */

/* Adds one reference: queued on the partition's hold/release queue, or with `fsck` nonzero
 * applied at once to the check reference table. Returns 0, EINVAL, or the Berkeley DB code
 * (DB_NOTFOUND in check mode for a handle without a check record). */
QNST_API int qnst_sism_hold(qnst_blksism *mgr, DB_TXN *txn, uint64_t handle, uint32_t fsck);

/* Queues one release of the (translated) handle on its partition's hold/release queue;
 * *count = 0 on success. Returns 0, EINVAL, or the Berkeley DB code. */
QNST_API int qnst_sism_rele(qnst_blksism *mgr, DB_TXN *txn, uint64_t handle, uint32_t *count);

/* The location record of the block that holds the (translated) handle's data, following
 * symbolic links (qnst_sis_read). `hash` may be null, else it has room for 20 bytes. Returns 0,
 * EINVAL, or the Berkeley DB code (DB_NOTFOUND for an unknown block). */
QNST_API int qnst_sism_read(qnst_blksism *mgr, DB_TXN *txn, uint64_t handle, uint32_t *dfid,
                            uint32_t *dfver, uint64_t *offset, uint32_t *length,
                            uint32_t *hashlen, void *hash, uint32_t *followed);

/* Records a block move (qnst_sis_move); *growth receives the data file's growth. Returns 0, EINVAL
 * (also for a mismatching move, with a log entry), or the Berkeley DB code. */
QNST_API int qnst_sism_move(qnst_blksism *mgr, DB_TXN *txn, uint64_t handle, uint32_t dfid,
                            uint32_t dfver, uint64_t offset, uint64_t *growth);

/* Single reference records (`fsck`: 0 "id_ref", 1 "id_ref_fsck", 2 "id_dangling" where
 * accepted). getref: *ref = the count of the word; setref: writes `ref` restamped (a plain count
 * is a legacy word); store_idref: inserts a zero count (DB_KEYEXIST when present); purge_idref /
 * purge_iddf: delete the reference / location record. Each returns 0, EINVAL, or the Berkeley DB
 * code (DB_NOTFOUND for a missing record). */
QNST_API int qnst_blksism_getref(qnst_blksism *mgr, DB_TXN *txn, uint32_t fsck, uint64_t handle,
                                 uint32_t *ref);
QNST_API int qnst_blksism_setref(qnst_blksism *mgr, DB_TXN *txn, uint32_t fsck, uint64_t handle,
                                 uint32_t ref);
QNST_API int qnst_sism_store_idref(qnst_blksism *mgr, DB_TXN *txn, uint64_t handle,
                                   uint32_t fsck);
QNST_API int qnst_sism_purge_idref(qnst_blksism *mgr, DB_TXN *txn, uint64_t handle,
                                   uint32_t fsck);
QNST_API int qnst_sism_purge_iddf(qnst_blksism *mgr, DB_TXN *txn, uint64_t handle);

/* Appends (handle, fset) to the check queue of the partition of the translated handle; the
 * handle is queued as given. Returns 0, EINVAL (also without open check tables), or the Berkeley DB
 * code. */
QNST_API int qnst_sism_fsckq_put(qnst_blksism *mgr, DB_TXN *txn, uint64_t handle,
                                 uint64_t fset);

/* Resolves a translated handle: without bit 51 *out = handle and no table is read; otherwise the
 * handle with bit 51 cleared is looked up in the translation table of partition (value %
 * nparts). Returns 0, EINVAL when that partition does not exist, or the Berkeley DB code
 * (DB_NOTFOUND for an unknown translation). */
QNST_API int qnst_xlat_handle(qnst_blksism *mgr, DB_TXN *txn, uint64_t handle, uint64_t *out);

/* ---- Calls on one partition, `storeid` (0..nparts-1) --------------------------------------- */
/* Walks open a cursor in `txn` at the first record not below the start (the start handle's
 * partition byte is ignored) and hand it to the caller, who steps it with the next call and ends
 * it with qnst_sism_done; the end is result 0 with *handle = 0. Returned handles carry the
 * partition index. Each returns 0, EINVAL, or the Berkeley DB code. */

/* Reference words: of the purge list when `plist` is nonzero, else of "id_ref_fsck" when `fsck`
 * is nonzero, else of "id_ref"; *word the raw word, *count its count. */
QNST_API int qnst_sism_walk_idref(qnst_blksism *mgr, int32_t storeid, DB_TXN *txn, uint32_t fsck,
                                  uint32_t plist, DBC **cursor, uint64_t *handle, uint32_t *word,
                                  uint32_t *count);
QNST_API int qnst_sism_next_idref(qnst_blksism *mgr, int32_t storeid, DBC *cursor,
                                  uint64_t *handle, uint32_t *word, uint32_t *count);
/* Location records, split as by qnst_sis_read1 (`hash` may be null, else 20 bytes). */
QNST_API int qnst_sism_walk_iddf(qnst_blksism *mgr, int32_t storeid, DB_TXN *txn, DBC **cursor,
                                 uint64_t *handle, uint32_t *dfid, uint32_t *dfver,
                                 uint64_t *offset, uint32_t *length, uint32_t *hashlen,
                                 void *hash);
QNST_API int qnst_sism_next_iddf(qnst_blksism *mgr, int32_t storeid, DBC *cursor,
                                 uint64_t *handle, uint32_t *dfid, uint32_t *dfver,
                                 uint64_t *offset, uint32_t *length, uint32_t *hashlen,
                                 void *hash);
/* Hash-index entries from the first `startlen` bytes of `hash` on; *hashlen is the capacity of
 * `hash` on entry (only its first 20 bytes are used, however large it is; a hash longer than
 * the capacity gives DB_BUFFER_SMALL) and the found hash's length on return; a `startlen` above
 * the capacity or above 20 is refused with EINVAL. */
QNST_API int qnst_sism_walk_hashid(qnst_blksism *mgr, int32_t storeid, DB_TXN *txn, DBC **cursor,
                                   uint64_t *handle, uint32_t startlen, uint32_t *hashlen,
                                   void *hash);
QNST_API int qnst_sism_next_hashid(qnst_blksism *mgr, int32_t storeid, DBC *cursor,
                                   uint64_t *handle, uint32_t *hashlen, void *hash);
/* Ends a walk (a null cursor is allowed). Returns 0, or EINVAL for a bad `storeid`. */
QNST_API int qnst_sism_done(qnst_blksism *mgr, int32_t storeid, DBC *cursor);

/* Consumes the first entry of the partition's check queue: *handle = 0 when it is empty.
 * Returns 0, EINVAL, or the Berkeley DB code. */
QNST_API int qnst_sism_fsckq_get(qnst_blksism *mgr, int32_t storeid, DB_TXN *txn,
                                 uint64_t *handle, uint64_t *fset);

/* One store-queue / hold/release-queue flush step of the partition (qnst_csis_flushSTQ,
 * qnst_csis_flushHDQ, whose pass discipline applies). The result is returned as the flush gave
 * it (already logged there); EINVAL for a bad `storeid`. */
QNST_API int qnst_sism_stqflush(qnst_blksism *mgr, DB_TXN *txn, int32_t storeid, uint32_t *tail);
QNST_API int qnst_sism_hdqflush(qnst_blksism *mgr, DB_TXN *txn, int32_t storeid, uint32_t *tail,
                                uint32_t compactor);

/*
 * Compaction of unreferenced blocks of one partition, in this order:
 *   qnst_sism_compact_init; for each record of a reference walk, qnst_sism_compact_padd (a block
 *   with count 0 loses its hash-index and cache entries and goes onto the purge list); flushes
 *   of the hold/release queue with `compactor` set (a block whose references changed is taken
 *   off the list); for each record of a purge-list walk, qnst_sism_compact_ppurge (frees the
 *   block's records and its data-file usage); qnst_sism_compact_cleanup.
 * From init to cleanup the partition adds nothing to its cache table. `handle` and `ref` are a
 * walk's handle and raw word. Results are returned unlogged (the partition steps log their own
 * failures): init 0, EBUSY (a compaction is running) or the Berkeley DB code; padd 0, EINVAL
 * without a purge list (for a block whose count is 0), EIO for a damaged record, DB_KEYEXIST for a
 * handle already on the list, or the Berkeley DB code; ppurge 0, EIO for a damaged record, or
 * the Berkeley DB code (DB_NOTFOUND for a data file without a usage record); cleanup 0 or the
 * Berkeley DB code. Each also returns EINVAL (logged) for a bad `storeid`.
 */
QNST_API int qnst_sism_compact_init(qnst_blksism *mgr, int32_t storeid);
QNST_API int qnst_sism_compact_padd(qnst_blksism *mgr, DB_TXN *txn, int32_t storeid,
                                    uint64_t handle, uint32_t ref);
QNST_API int qnst_sism_compact_ppurge(qnst_blksism *mgr, DB_TXN *txn, int32_t storeid,
                                      uint64_t handle, uint32_t ref);
QNST_API int qnst_sism_compact_cleanup(qnst_blksism *mgr, int32_t storeid);

/* Sets partition `storeid`'s watermark to `wmark` and, with caching on, refreshes the cache
 * entry of one block from a reference walk's `handle` and raw word `ref` (qnst_csis_refresh). A
 * whole store is refreshed by walking every partition's reference table. Returns 0, EINVAL, or the
 * refresh's Berkeley DB code (unlogged here). */
QNST_API int qnst_sism_cache_refresh(qnst_blksism *mgr, DB_TXN *txn, int32_t storeid,
                                     uint64_t handle, uint32_t ref, int32_t wmark);

/* ---- Whole-store calls -------------------------------------------------------------------- */

/* Skips 100,000 handles in every partition. Returns 0, EINVAL, or the first Berkeley DB code. */
QNST_API int qnst_sism_seq_extend(qnst_blksism *mgr);

/* *sum = the number of blocks whose count is `bucket` (1..256, 256: 256 and more) over all
 * partitions. Returns 0, EINVAL, or the first Berkeley DB code (DB_NOTFOUND for a bucket outside
 * 1..257), *sum holding what was added up to then. */
QNST_API int qnst_sism_histget(qnst_blksism *mgr, int32_t bucket, uint32_t *sum);

/* *entries = the cache capacity of partition 0 times nparts. Returns 0, or EINVAL for a store that
 * is not created. */
QNST_API int qnst_sism_csis_size(qnst_blksism *mgr, uint32_t *entries);

/* *hits, *misses = the cache hits and misses counted by all partitions. Returns 0, or EINVAL for a
 * store that is not created. */
QNST_API int qnst_csis_getstats(qnst_blksism *mgr, uint32_t *hits, uint32_t *misses);

/* Sets every partition's cache watermark (0: no cache and no counting; 1: count hits and misses
 * of the hash index; 2 and more: use the cache tables). Returns 0, or EINVAL for a store that is
 * not created. */
QNST_API int qnst_sism_cache_wmupdate(qnst_blksism *mgr, int32_t wmark);

/* Compacts the reference table, hash index and location table of partitions strtfile..endfile,
 * adding up the pages freed and truncated (both 0 first). A range outside 0..nparts-1 does
 * nothing; a partition that fails has logged it and the next one is compacted. Returns 0, or EINVAL
 * for a store that is not created. */
QNST_API int qnst_sism_dbcompact(qnst_blksism *mgr, uint32_t *freed, uint32_t *truncated,
                                 int32_t strtfile, int32_t endfile);

/* Opens every partition's check tables ("<dbfolder>_<p>.db" and the queue "<dbfolder>_q<p>.db"),
 * removing old ones first when `remove` is set. Returns 0, EINVAL (a store that is not created, or
 * check tables that are open), ENOMEM when a name cannot be built, or the first Berkeley DB
 * code. */
QNST_API int qnst_blksism_open_fsck(qnst_blksism *mgr, const char *dbfolder, uint32_t remove);

/* Closes every partition's check tables, removing them when `remove` is set. Returns 0, or ENOMEM
 * when a name cannot be built. */
QNST_API int qnst_blksism_close_fsck(qnst_blksism *mgr, const char *dbfolder, uint32_t remove);

QNST_END_DECLS

#endif /* QNST_BLKSISM_H */
