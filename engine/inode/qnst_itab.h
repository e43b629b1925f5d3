/*
 * qnst_itab.h: inode tables and inode number allocation.
 *
 * An inode table is one Berkeley DB file holding five databases:
 *   "itab"    DB_BTREE  key: inode number, 4 bytes big-endian (sorts numerically)
 *                      data: cver u32 little-endian, dver u32 little-endian (8 bytes)
 *   "ifree"   DB_BTREE  key: inode number, 4 bytes big-endian; data: empty
 *   "seq"     DB_HASH   key: u32 little-endian 1; data: u32 little-endian, the next number never
 *                      yet put on the free list (10 in a new table)
 *   "inodes"  DB_BTREE  per-inode records of the namespace families
 *   "folders" DB_BTREE  folder entries
 *
 * Every number below the "seq" value is allocated ("itab"), free ("ifree"), or in neither: the
 * numbers 1..9, numbers taken off the free list with qnst_inodem_notfree, and numbers skipped when
 * a far-away number was picked or the sequence was raised. Numbers at or above the "seq" value are
 * in neither. Only an extension puts numbers on the free list, so numbers 1..9 can only be taken
 * with a pick. Inode number 0 means none and is never issued.
 *
 * A dver of QNST_INODE_LIVE marks an allocated inode that has not been deleted; an allocated
 * inode is live at version v while dver > v.
 *
 * A set of 1 to 8 tables (qnst_itabmrec) lives in files "<base>_<index in lower-case hex>.db".
 * Its inode numbers carry the table index in their top four bits: (index << 28) | number, so a
 * table of a set issues numbers below 2^28. Allocation takes the tables in turn (a round-robin
 * cursor) and skips tables believed empty. The per-table free counts are in-memory hints: -1
 * (unknown, maybe free) after create, raised by extensions, lowered by allocations, 0 once a
 * table was found empty; numbers given back with qnst_inodem_dealloc do not raise them, and an
 * aborted transaction does not restore them. Threads may share a set: the hints are read and
 * written as relaxed atomics, everything else is serialised by Berkeley DB's locks.
 *
 * Transactions: the allocation calls work in the caller's transaction and never end it; the
 * extensions run transactions of their own. Reads that precede a write take write locks
 * (DB_RMW), so concurrent allocators serialise; DB_LOCK_DEADLOCK and DB_LOCK_NOTGRANTED are
 * returned for the caller to abort and retry.
 *
 * Error log: "logged" below means one code entry for the failing call, unless the code is
 * DB_LOCK_DEADLOCK, DB_LOCK_NOTGRANTED, QNST_HASH_EXISTS or QNST_RETRY. QNST_ENOINODE is never
 * logged: it is how a caller learns that a table needs extending.
 *
 * Damaged records: every call that reads a record of a table ("itab" lifetimes of 8 bytes,
 * "seq" values of 4 bytes, "ifree" entries with a 4-byte key and no data) also returns EIO when
 * the stored record's size disagrees with that layout; it reads nothing past what was stored and
 * writes nothing. The set's calls log it.
 */
#ifndef QNST_ITAB_H
#define QNST_ITAB_H

#include <db.h>
#include <stdint.h>

#include "qnst_bdb.h"
#include "qnst_defs.h"

/* Highest number a table of a set may issue: the lower 28 bits of a set's inode number. */
#define QNST_ITABM_MAXINO 0x0FFFFFFFu
/* Highest number a single table may issue (its comparisons are signed 32-bit). */
#define QNST_ITAB_MAXINO 0x7FFFFFFFu
/* Most tables in a set: the table index is the inode number's top four bits read as signed. */
#define QNST_ITABM_MAXTABLES 8

/* The content stores an inode-table set hands to its inodes. Defined by their own families. */
struct qnst_aclsisrec;
struct qnst_blksism;
struct qnst_blobsism;

QNST_BEGIN_DECLS

/* One inode table, owned by the caller. Cleared by qnst_itab_create; a database field is null
 * when that database handle does not exist. */
typedef struct qnst_itab {
    DB_ENV *dbenv; /* the environment */
    DB *itab;      /* allocated numbers with their cver and dver */
    DB *ifree;     /* free numbers */
    DB *seq;       /* the next number never yet issued */
    DB *inodes;    /* per-inode records */
    DB *folders;   /* folder entries */
} qnst_itab;

/* A set of inode tables, owned by the caller. While it exists (from qnst_itabm_create to
 * qnst_itabm_close) it is registered in its environment's `users` list under `id`. */
typedef struct qnst_itabmrec {
    qnst_listlink link;            /* membership in the environment's users list */
    uint64_t id;                   /* the caller's identifier, seen by qnst_env_checkopen */
    DB_ENV *dbenv;                 /* the environment */
    struct qnst_aclsisrec *aclsis; /* ACL store, handed to the inodes */
    struct qnst_blksism *sism;     /* block store manager, handed to the inodes */
    struct qnst_blobsism *mblob;   /* blob store manager, handed to the inodes */
    int32_t count;                 /* number of tables, 1..8 */
    int32_t cursor;                /* table where the next allocation starts */
    int32_t *nfree;   /* per table: numbers believed free; -1 unknown; 0 known empty */
    qnst_itab *tables; /* `count` tables */
} qnst_itabmrec;

/*
 * Single table.
 */

/* Clears `itab`, stores the environment and creates the five database handles (not open).
 * Returns 0, or db_create's code after closing the handles already created. Nothing is logged. */
QNST_API int qnst_itab_create(qnst_itab *itab, DB_ENV *dbenv);

/* Opens the five databases inside `file`, creating what is missing. With `create` and a
 * non-zero `pagesize`, a new file gets that page size. With the environment's compression
 * setting above 0, "itab" is B-tree compressed. With `create`, a new table's sequence starts at
 * 10 (an existing sequence is kept).
 * Returns 0; or the first failing Berkeley DB code (logged), after which the caller closes the
 * table (databases opened so far stay open until then). */
QNST_API int qnst_itab_open(qnst_itab *itab, const char *file, uint32_t pagesize, int32_t create);

/* Closes every database handle that exists (without syncing) and clears its field. Always 0. */
QNST_API int qnst_itab_close(qnst_itab *itab);

/* Removes the table's file. Returns 0; ENOENT when there is no such file; or the Berkeley
 * DB code. Nothing is logged. */
QNST_API int qnst_itab_remove(DB_ENV *dbenv, const char *file);

/* Puts the next `count` numbers never issued on the free list and advances the sequence, in a
 * transaction of its own.
 * Returns 0; EINVAL when the table is not open (or was closed); ENOSPC (logged) when
 * the table would issue numbers above QNST_ITAB_MAXINO; DB_NOTFOUND (logged) when the table has
 * no sequence (it was opened without `create`); or a Berkeley DB code (logged). After a failure
 * nothing has changed. */
QNST_API int qnst_itab_extend(qnst_itab *itab, uint32_t count);

/* Allocates the lowest free number with the given `cver` (dver QNST_INODE_LIVE) and returns it
 * through `ino`.
 * Returns 0; QNST_ENOINODE (not logged) when no number is free; or a Berkeley DB code
 * (logged). */
QNST_API int qnst_inode_alloc(qnst_itab *itab, DB_TXN *txn, uint32_t cver, uint32_t *ino);

/* Allocates the given number `ino` with `cver`. `extend_by` is set to 0, except when `ino` lies
 * at or beyond the sequence: then nothing is allocated, `extend_by` receives the count by which
 * the table must be extended to issue `ino`, and the call returns 0; extend and call again.
 * Returns 0; QNST_EINODEBUSY (logged with code DB_NOTFOUND) when `ino` is allocated or
 * withheld, or is 0 or above QNST_ITAB_MAXINO (numbers a table never issues);
 * DB_NOTFOUND (logged) when the table has no sequence; or a Berkeley DB code (logged). */
QNST_API int qnst_inode_getalloc(qnst_itab *itab, DB_TXN *txn, uint32_t cver, uint32_t ino,
                                 uint32_t *extend_by);

/* Claims the number `ino` so that it is live at version `value`:
 *   - allocated and live at `value` (dver > value): nothing changes;
 *   - allocated and ended at or before `value`: made live again, keeping its cver;
 *   - free, or below the sequence and in neither database: allocated with cver `value`;
 *   - at or beyond the sequence by less than 1024: QNST_ENOINODE, extend and pick again;
 *   - beyond the sequence by 1024 or more: the numbers in between are abandoned, the sequence
 *     moves past `ino` and `ino` is allocated with cver `value`.
 * Returns 0; EINVAL (logged) for number 0 or a number above QNST_ITAB_MAXINO;
 * QNST_ENOINODE (not logged); DB_NOTFOUND (logged) when the table has no sequence; or a
 * Berkeley DB code (logged). */
QNST_API int qnst_inode_pick(qnst_itab *itab, DB_TXN *txn, uint32_t ino, uint32_t value);

/* Marks the allocated number `ino` deleted at version `dver` (its cver is kept; it stays
 * allocated). Returns 0; DB_NOTFOUND when `ino` is not allocated; or a Berkeley DB code.
 * Nothing is logged here (the set's call logs). */
QNST_API int qnst_inode_free(qnst_itab *itab, DB_TXN *txn, uint32_t ino, uint32_t dver);

/*
 * Sets of tables. A set's inode number `ino` names table ino >> 28 and the number ino & 0x0FFFFFFF
 * within it; a number whose table index is not in the set is refused with EINVAL (logged).
 */

/* Clears `itabm`, stores the identifier, the environment of `env` and the three store handles
 * (kept for the inodes; may be null), allocates `count` tables and free counts, registers the
 * set in `env`'s users list and creates each table's database handles. Free counts start at -1
 * (unknown) and the round-robin cursor at 0.
 * Returns 0; EINVAL (nothing done) when `count` is not 1..8; ENOMEM (nothing
 * registered); or db_create's code (logged), in which case everything is undone again. */
QNST_API int qnst_itabm_create(qnst_itabmrec *itabm, qnst_envrec *env, uint64_t id,
                               struct qnst_aclsisrec *aclsis, struct qnst_blksism *sism,
                               struct qnst_blobsism *mblob, int32_t count);

/* Opens table i in file "<base>_<i in lower-case hex>.db" for every i, in order, as
 * qnst_itab_open does. Returns 0; ENOMEM (logged); or the first failure (logged); after a
 * failure the caller closes the set. */
QNST_API int qnst_itabm_open(qnst_itabmrec *itabm, const char *base, uint32_t pagesize,
                             int32_t create);

/* Closes every table, unregisters the set and frees its arrays. Safe on a set that was never
 * created successfully or is already closed. Always 0. */
QNST_API int qnst_itabm_close(qnst_itabmrec *itabm);

/* Removes the files of tables 0..count-1, stopping at the first failure.
 * Returns 0; ENOMEM (logged); ENOENT (logged) when a file does not exist; or the
 * Berkeley DB code (logged). */
QNST_API int qnst_itabm_remove(DB_ENV *dbenv, const char *base, int32_t count);

/* Extends table ino >> 28 by `count` numbers; with `ino` 0 the table at the round-robin cursor,
 * but only when it is known to be empty (free count 0; otherwise nothing is done and 0 is
 * returned). Adds `count` to that table's free count.
 * Returns 0; EINVAL (logged) for a table index outside the set or a closed set; or the
 * failure of qnst_itab_extend (logged), ENOSPC included when the table would issue numbers
 * above QNST_ITABM_MAXINO. */
QNST_API int qnst_itabm_extend(qnst_itabmrec *itabm, uint32_t count, uint32_t ino);

/* Raises the sequence of table ino >> 28 to (ino & 0x0FFFFFFF) + 1, so that the table never
 * issues numbers up to `ino`; numbers between the old and the new sequence are abandoned. A
 * sequence already above that is left as it is (the call never lowers it: numbers already issued
 * must never be issued again). A table without a sequence (opened without `create`) gets one.
 * Returns 0; EINVAL (logged); or a Berkeley DB code (logged). */
QNST_API int qnst_itabm_setrange(qnst_itabmrec *itabm, DB_TXN *txn, uint32_t ino);

/* Allocates the lowest free number of one table with `cver`, taking tables in turn: each call
 * starts at the round-robin cursor and advances it by one, skipping tables known to be empty.
 * The number, with its table index, is returned through `ino`.
 * Returns 0; QNST_ENOINODE (not logged) when every table is known to be empty or the chosen
 * table turned out to be empty (its free count becomes 0; no other table is tried): call
 * qnst_itabm_extend(itabm, n, 0) and allocate again; EINVAL (logged) for a closed set; or a
 * Berkeley DB code (logged). */
QNST_API int qnst_inodem_alloc(qnst_itabmrec *itabm, DB_TXN *txn, uint32_t cver, uint32_t *ino);

/* qnst_inode_getalloc on table ino >> 28. When `extend_by` comes back non-zero, call
 * qnst_itabm_extend(itabm, extend_by, ino) and then this call again.
 * Returns as qnst_inode_getalloc does, or EINVAL; failures are logged once more here. */
QNST_API int qnst_inodem_getalloc(qnst_itabmrec *itabm, DB_TXN *txn, uint32_t cver, uint32_t ino,
                                  uint32_t *extend_by);

/* qnst_inode_pick on table ino >> 28, which also becomes the round-robin cursor.
 * Returns as qnst_inode_pick does, or EINVAL. On QNST_ENOINODE (not logged) the table's
 * free count becomes 0: call qnst_itabm_extend(itabm, n, ino) and pick again. Other failures are
 * logged once more here. */
QNST_API int qnst_inodem_pick(qnst_itabmrec *itabm, DB_TXN *txn, uint32_t ino, uint32_t value);

/* qnst_inode_free on table ino >> 28. Returns 0; EINVAL; DB_NOTFOUND when `ino` is not
 * allocated; or a Berkeley DB code. Failures are logged. */
QNST_API int qnst_inodem_free(qnst_itabmrec *itabm, DB_TXN *txn, uint32_t ino, uint32_t dver);

/* Returns the allocated number `ino` to the free list (its cver and dver are forgotten).
 * Returns 0; EINVAL; DB_NOTFOUND when `ino` is not allocated; DB_KEYEXIST when it is
 * also on the free list; or a Berkeley DB code. Failures are logged. */
QNST_API int qnst_inodem_dealloc(qnst_itabmrec *itabm, DB_TXN *txn, uint32_t ino);

/* Takes the free number `ino` off the free list without allocating it: it is never issued
 * again unless picked. Returns 0; EINVAL; DB_NOTFOUND when `ino` is not free; or a
 * Berkeley DB code. Failures are logged. */
QNST_API int qnst_inodem_notfree(qnst_itabmrec *itabm, DB_TXN *txn, uint32_t ino);

/* Steps through the allocated numbers of the set in order: table 0 ascending, then table 1, ...
 * Start with *cursor = 0; each call sets *cursor to the next allocated number after it (with its
 * table index) and returns its cver and dver, or sets *cursor to 0 at the end (cver and dver are
 * then left as they are). A cursor whose table index lies beyond the set also ends the walk.
 * Returns 0; EINVAL (logged) for a cursor with the top bit set; or a Berkeley DB code
 * (logged). */
QNST_API int qnst_inodem_next(qnst_itabmrec *itabm, DB_TXN *txn, uint32_t *cursor, uint32_t *cver,
                              uint32_t *dver);

/* Describes the number `ino`: `is_free` = 1 when it is on the free list, else 0; then, for an
 * allocated number, its `cver` and `dver`, and `beyond_end` = 1 when it lies beyond the table's
 * sequence, else 0.
 * Returns 0; EINVAL; DB_NOTFOUND (logged) when the number is not allocated, after `is_free`
 * has been set; DB_NOTFOUND (logged) when the table has no sequence; or a Berkeley DB code
 * (logged). */
QNST_API int qnst_inodem_getinfo(qnst_itabmrec *itabm, DB_TXN *txn, uint32_t ino,
                                 int32_t *beyond_end, int32_t *is_free, uint32_t *cver,
                                 uint32_t *dver);

QNST_END_DECLS

#endif /* QNST_ITAB_H */
