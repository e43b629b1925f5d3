/*
 * qnst_sis.h: one partition of the block single-instance store.
 *
 * A partition keeps every distinct data block once, under a 64-bit handle, and counts its
 * references. Its file holds five tables, all opened free-threaded without a transaction:
 *
 *   "seq"      DB_BTREE  key 01 00 00 00             the handle sequence's own record
 *   "id_ref"   DB_BTREE  handle (8 bytes)           reference word (4 bytes)
 *   "hash_id"  DB_BTREE  hash (1..20 bytes)         handle (8 bytes)
 *   "id_df"    DB_BTREE  handle (8 bytes)           location record (24 + hash length bytes)
 *   "xlatdb"   DB_HASH   translated handle (8)      manager-level handle (8 bytes)
 *
 * Handles. A handle is stored, in keys and in data, as its 8 bytes in memory order (least
 * significant first). A new handle has the 48-bit sequence value big-endian in bytes 0..5, 0x80 in
 * byte 6 and 0 in byte 7 (where the manager puts its partition index), so the handle of sequence
 * value 3 is the bytes 00 00 00 00 00 03 80 00, the integer 0x0080030000000000, and handle-keyed
 * tables sort by age. Handle 0 means no block.
 *
 * Location record, little-endian: dfid u32 @0 (QNST_SIS_SYMLINK_DFID for a symbolic link),
 * dfver u32 @4, offset u64 @8 (a link: the local handle of its target), length u32 @16 (a link:
 * 0), hash length n u32 @20 (a link: 0), hash @24 (n bytes, n <= QNST_SIS_MAX_HASH).
 *
 * Reference word, u32: stamped (bit 31 set) = 1 | 000 | 11-bit day stamp | 17-bit count, or
 * legacy (bit 31 clear) = the whole word is the count. Every change goes through
 * qnst_sis_ref_update, which saturates at QNST_SIS_REF_MAX (a saturated block is permanent) and
 * restamps the word with today's day. A stamped word is counted in the partition's histogram of
 * reference counts (qnst_csis.h); a legacy word is not.
 *
 * Every function works inside the caller's transaction `txn` (or none where noted); none begins,
 * commits or aborts one. Failing Berkeley DB calls are written to the environment's error log
 * unless the code is DB_LOCK_DEADLOCK, DB_LOCK_NOTGRANTED, QNST_HASH_EXISTS or QNST_RETRY, and
 * the caller's transaction is left for the caller to abort. Functions without QNST_API are
 * internal to the engine (the manager and the cache store call them) and are not exported.
 */
#ifndef QNST_SIS_H
#define QNST_SIS_H

#include <db.h>
#include <stdint.h>

#include "qnst_defs.h"
#include "qnst_dfile.h"

QNST_BEGIN_DECLS

/* Location records. */
#define QNST_SIS_MAX_HASH 20u          /* longest hash a partition stores */
#define QNST_SIS_LOC_HEADER 24u        /* location record without its hash */
#define QNST_SIS_LOC_SIZE 44u          /* QNST_SIS_LOC_HEADER + QNST_SIS_MAX_HASH */
#define QNST_SIS_SYMLINK_DFID 0xFFFFFFFFu /* dfid of a symbolic link */

/* Reference words. */
#define QNST_SIS_REF_STAMPED 0x80000000u /* bit 31: the stamped form */
#define QNST_SIS_REF_MAX 0x1FFFFu        /* saturated count (131071); also the count mask */
#define QNST_SIS_REF_DAYSHIFT 17u        /* position of the 11-bit day stamp */
#define QNST_SIS_REF_DAYMASK 0x7FFu

/* Handles. */
#define QNST_SIS_HANDLE_MARK 0x80u             /* byte 6 of every generated handle */
#define QNST_SIS_SEQ_MAX 0xFFFFFFFFFFFFull     /* last sequence value (2^48 - 1) */
#define QNST_SIS_SEQ_INITIAL 3                 /* first sequence value of a fresh partition */
#define QNST_SIS_SEQ_CACHE 32                  /* values cached per open sequence handle */
#define QNST_SIS_SEQ_EXTEND 100000             /* values skipped by qnst_sis_seq_extend */

/* Longest chain of symbolic links qnst_sis_read follows before it reports a damaged table. */
#define QNST_SIS_MAX_LINK_HOPS 64

/* Table selector of the record-access functions. */
#define QNST_SIS_REFTAB_LIVE 0     /* "id_ref" */
#define QNST_SIS_REFTAB_FSCK 1     /* "id_ref_fsck" (any nonzero value where only two exist) */
#define QNST_SIS_REFTAB_DANGLING 2 /* "id_dangling" */

/* Partition record, owned by the caller (the manager's partition array) and cleared by
 * qnst_sis_create. The counters live in memory only and are updated without locks (relaxed
 * atomics inside the engine). */
typedef struct qnst_sis {
    DB_ENV *env;          /* the environment; also where the error log goes */
    qnst_dfile *dfile;    /* dfile table whose usage records the partition updates */
    DB *seqdb;            /* "seq" */
    DB_SEQUENCE *seq;     /* the handle sequence; exists between open and close */
    DB *hashdb;           /* "hash_id": hash -> handle */
    DB *refdb;            /* "id_ref": handle -> reference word */
    DB *dfdb;             /* "id_df": handle -> location record */

    /* Cache store (qnst_csis.h). */
    DB *cachedb;          /* cache table; null without a cache budget */
    DB *stqdb;            /* store queue */
    DB *hdqdb;            /* hold/release queue */
    DB *histdb;           /* histogram of reference counts */
    int32_t wmark;        /* cache watermark; 1 after create */
    uint32_t capacity;    /* cache capacity in entries, computed at open */
    uint32_t cached;      /* entries added to the cache table */
    uint32_t uncached;    /* entries removed from the cache table */
    uint32_t stq_flushed; /* store-queue records flushed */
    uint32_t stq_failures; /* store-queue flush calls that failed */
    uint32_t hdq_flushed; /* hold/release-queue records applied */
    uint32_t hdq_failures; /* hold/release-queue flush calls that failed */
    uint32_t compacting;  /* 1 while a compaction of the partition runs */
    uint32_t purged;      /* handles purged by compaction */
    uint32_t added;       /* handles added to the purge list */
    uint32_t examined;    /* zero-count handles examined by compaction */
    uint32_t hits;        /* cache hits */
    uint32_t misses;      /* cache misses */

    DB *plistdb;          /* compaction purge list; null unless a compaction runs */
    DB *fsckrefdb;        /* "id_ref_fsck"; null unless the check tables are open */
    DB *danglingdb;       /* "id_dangling"; null unless the check tables are open */
    DB *fsckqdb;          /* check queue; null unless the check tables are open */
    DB *xlatdb;           /* "xlatdb": translated handle -> manager-level handle */
} qnst_sis;

/* ---- Lifecycle and handles ---------------------------------------------------------------- */
/* Clears `part`, keeps `env` and `dfile`, and creates the Berkeley DB handles of the partition
 * (seq, id_ref, hash_id, id_df, the cache store's four, xlatdb). Nothing is opened. Returns 0 or
 * the Berkeley DB code (logged), after which everything is closed and cleared. */
QNST_API int qnst_sis_create(qnst_sis *part, DB_ENV *env, qnst_dfile *dfile);

/* Opens the partition's tables and its handle sequence in `file`, creating what is missing.
 * The cache store is opened separately (qnst_csis_open). Returns 0 or the first Berkeley DB code
 * (logged); tables opened before the failure stay open and the caller closes the partition. */
QNST_API int qnst_sis_open(qnst_sis *part, const char *file);

/* Closes the check tables (removing nothing), the sequence and the partition's tables, clearing
 * each handle. The cache store and the purge list have their own close. Always 0. */
QNST_API int qnst_sis_close(qnst_sis *part);

/* Removes the whole partition file. The file must not be open in the environment. Returns 0 or
 * the Berkeley DB code (logged unless exempt; ENOENT when the file does not exist). */
QNST_API int qnst_sis_remove(DB_ENV *env, const char *file);

/* Takes the next sequence value (no transaction, not synced) and writes its handle to *handle.
 * Thread-safe. Returns 0, EINVAL (logged) when the partition is not open, or the Berkeley DB code
 * (logged). */
QNST_API int qnst_sis_gen_handle(qnst_sis *part, uint64_t *handle);

/* Skips 100,000 sequence values. Returns 0, EINVAL (logged) when the partition is not open, or the
 * Berkeley DB code (logged). */
QNST_API int qnst_sis_seq_extend(qnst_sis *part);

/* ---- Lookup, read, store, hold and release ------------------------------------------------ */
/* The handle stored for `hash` (read with DB_RMW), or *handle = 0 and result 0 for an unknown
 * hash. Returns 0, EINVAL (logged) for a `hashlen` above QNST_SIS_MAX_HASH, EIO (logged) for a
 * damaged index entry (not 8 bytes), or the Berkeley DB code (logged). */
QNST_API int qnst_sis_lookup(qnst_sis *part, DB_TXN *txn, const void *hash, uint32_t hashlen,
                             uint64_t *handle);

/* The location record of `handle` (read with DB_RMW), without following links. The hash is
 * copied only when both its length and `hash` (QNST_SIS_MAX_HASH bytes) are nonzero. Returns 0,
 * DB_NOTFOUND, EIO for a damaged record (its hash length disagrees with its size), or the
 * Berkeley DB code; nothing is logged (callers decide). */
QNST_API int qnst_sis_read1(qnst_sis *part, DB_TXN *txn, uint64_t handle, uint32_t *dfid,
                            uint32_t *dfver, uint64_t *offset, uint32_t *length,
                            uint32_t *hashlen, void *hash);

/* As qnst_sis_read1, but follows symbolic links to the block that holds the data; *followed is
 * 1 when at least one link was followed. Returns what qnst_sis_read1 returns, or EINVAL (with a log
 * entry) after QNST_SIS_MAX_LINK_HOPS links, which only a damaged table can produce. */
QNST_API int qnst_sis_read(qnst_sis *part, DB_TXN *txn, uint64_t handle, uint32_t *dfid,
                           uint32_t *dfver, uint64_t *offset, uint32_t *length,
                           uint32_t *hashlen, void *hash, uint32_t *followed);

/* Adds one reference to `handle` (to "id_ref_fsck" when `fsck` is nonzero); *count receives the
 * new count. A symbolic link passes the hold on to its target (*count stays the link's own).
 * Outside check mode the histogram follows the change, and a missing reference record of an
 * existing block is rebuilt as permanent (count 131071). Returns 0 (also when the block does not
 * exist at all, with a log entry), DB_NOTFOUND in check mode for a handle without a check
 * record, EINVAL without the check tables in check mode or after QNST_SIS_MAX_LINK_HOPS links (a
 * damaged table; logged), EIO (logged) for a damaged reference word or location record, or
 * the Berkeley DB code (logged unless exempt). */
QNST_API int qnst_sis_hold(qnst_sis *part, DB_TXN *txn, uint64_t handle, uint32_t *count,
                           uint32_t fsck);

/* Removes one reference from `handle`; *count receives the new count. A symbolic link passes the
 * release on to its target. A count of 0 is refused with a log entry and result 0; a missing
 * reference record is rebuilt as permanent (nothing released). A count that reaches 0 leaves the
 * block for compaction. Returns 0, EINVAL after QNST_SIS_MAX_LINK_HOPS links (logged), EIO
 * (logged) for a damaged reference word or location record, or the Berkeley DB code (logged
 * unless exempt). */
QNST_API int qnst_sis_rele(qnst_sis *part, DB_TXN *txn, uint64_t handle, uint32_t *count);

/* ---- Move and translation ----------------------------------------------------------------- */
/* Records that the block's bytes now live at `offset` of version `dfver` of data file `dfid`,
 * which must be the block's file and its version + 1; the file's usage grows by the block's
 * length and *growth receives the file's growth. A symbolic link is left alone (result 0,
 * *growth 0, log entry). Returns 0, EINVAL (log entry) for any other mismatch, EIO (logged) for a
 * damaged location record, or the Berkeley DB code (logged, DB_NOTFOUND for an unknown handle
 * included). */
QNST_API int qnst_sis_move(qnst_sis *part, DB_TXN *txn, uint64_t handle, uint32_t dfid,
                           uint32_t dfver, uint64_t offset, uint64_t *growth);

QNST_END_DECLS

#endif /* QNST_SIS_H */
