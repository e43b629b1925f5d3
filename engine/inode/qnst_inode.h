/*
 * qnst_inode.h: the open inode (qnst_inoderec), its own database, and usage and quota accounting.
 *
 * An inode handle binds an inode number of an inode-table set (qnst_itab.h) to the table that
 * holds it, to the inode's own database inside that table's file, and to the content stores its
 * records refer to. Every namespace family takes a qnst_inoderec as its first argument.
 *
 * Records of the inode in its record database (key: the set's inode number as u32
 * little-endian, then one letter):
 *   'a' (0x61)  u32 little-endian: the value given to init         the inode is initialised
 *   'b' (0x62)  u32 little-endian: the same value                  the inode uses misc mode
 *   '3' (0x33)  ten signed 64-bit little-endian counters (80 bytes) usage:
 *               fscurrentq, fscurrentu, fstotalq, fstotalu, stcurrentq, stcurrentu,
 *               sttotalq, sttotalu, filescurrent, filestotal
 *   (q: a limit, 0 for none; u: the amount used against it; the last two are file counts.)
 * 'a' and 'b' always lie in the table's shared "inodes" database. An inode in misc mode keeps
 * its per-inode records (usage included) and folder entries in its own database instead of the
 * table's shared "inodes" and "folders" databases.
 *
 * The own database is the B-tree "<inode number & 0x0FFFFFFF in lower-case hex>" in the file of
 * the inode's table, B-tree compressed when the environment's compression setting is above 0.
 *
 * Usage: a usage change is applied to the inode and then to its set node, recursively up the
 * chain. The limits are the handle's (qnst_inode_setquota), not the stored ones; the stored
 * limit fields receive the handle's limits at every usage write. A change that takes a counter
 * above its limit is refused with the counter's quota code, and nothing is written anywhere;
 * the caller aborts its transaction. Decreases are never refused.
 *
 * A handle is used by one thread at a time. Usage records are read with write locks, so
 * concurrent updaters of one inode serialise; DB_LOCK_DEADLOCK and DB_LOCK_NOTGRANTED are
 * returned for the caller to abort and retry.
 *
 * Damaged records: a per-inode record whose stored size disagrees with its layout ('a' and 'b'
 * 4 bytes, usage 80 bytes) is answered with EIO (logged) by every call that reads it; nothing
 * past what was stored is read, and nothing is written.
 *
 * Error log: "logged" below means one code entry for the failing call, unless the code is one
 * of the quota codes, DB_LOCK_DEADLOCK, DB_LOCK_NOTGRANTED, QNST_HASH_EXISTS or QNST_RETRY.
 */
#ifndef QNST_INODE_H
#define QNST_INODE_H

#include <db.h>
#include <stdint.h>

#include "qnst_defs.h"
#include "qnst_itab.h"

QNST_BEGIN_DECLS

/* An open inode, owned by the caller and cleared by qnst_inode_open. */
typedef struct qnst_inoderec {
    qnst_itabmrec *itabm;          /* the table set the inode belongs to */
    DB_ENV *dbenv;                 /* the environment, from the set */
    struct qnst_aclsisrec *aclsis; /* ACL store, from the set */
    struct qnst_blksism *sism;     /* block store manager, from the set */
    struct qnst_blobsism *mblob;   /* blob store manager, from the set */
    struct qnst_inoderec *setnode; /* receives every usage change of this inode; may be null */
    DB *own_db;    /* the inode's own database; null until init, misc init or chk */
    DB *record_db; /* per-inode records: the table's "inodes", or own_db in misc mode */
    DB *folder_db; /* folder entries: the table's "folders", or own_db in misc mode */
    uint32_t inode;     /* the set's inode number */
    int64_t fscurrentq; /* limits, 0 for none; in memory only */
    int64_t fstotalq;
    int64_t stcurrentq;
    int64_t sttotalq;
} qnst_inoderec;

/* Clears `inode` and binds it to number `ino` of `itabm`: the environment and store handles
 * are copied from the set, the record and folder databases are the "inodes" and "folders"
 * databases of table ino >> 28, the limits are 0. `setnode` may be null. Opens nothing.
 * Returns 0; or EINVAL (logged) when the table index of `ino` is not in the set (the
 * handle is then bound to no database). */
QNST_API int qnst_inode_open(qnst_inoderec *inode, qnst_itabmrec *itabm, qnst_inoderec *setnode,
                             uint32_t ino);

/* Initialises the inode, if needed, and opens its own database: writes 'a' = `value` (an
 * existing 'a' keeps its value) and opens (creates) the own database in one transaction of its
 * own, committed without waiting for the log to reach the disk: the next synchronous commit of
 * the environment makes it durable, and a crash before that loses the inode as a whole.
 * Does nothing when the own database is already open.
 * Returns 0; EINVAL (logged) when the handle names no table; or a Berkeley DB code
 * (logged). */
QNST_API int qnst_inode_init(qnst_inoderec *inode, uint32_t value);

/* As qnst_inode_init, and puts the inode in misc mode: also writes 'b' = `value` (an existing
 * 'b' is kept), and the record and folder databases become the own database. */
QNST_API int qnst_misc_inode_init(qnst_inoderec *inode, uint32_t value);

/* Opens an existing inode: checks its 'a' record, learns misc mode from its 'b' record, opens
 * the own database (and in misc mode makes it the record and folder database), in one
 * transaction of its own.
 * Does nothing when the own database is already open.
 * Returns 0; DB_NOTFOUND (not logged) when the inode was never initialised; EINVAL (
 * logged) when the handle names no table; EIO (logged) for a damaged 'a' or 'b' record; or a
 * Berkeley DB code (logged). */
QNST_API int qnst_inode_chk(qnst_inoderec *inode);

/* Closes the own database (without syncing) if it is open. In misc mode the record and folder
 * database fields pointed at it and become null (calls that need them return EINVAL until the
 * inode is opened again); otherwise they stay the table's shared databases. Always 0. */
QNST_API int qnst_inode_close(qnst_inoderec *inode);

/* Sets the handle's four limits (0: no limit). They reach the usage record at its next write.
 * Always 0. */
QNST_API int qnst_inode_setquota(qnst_inoderec *inode, int64_t fscurrentq, int64_t fstotalq,
                                 int64_t stcurrentq, int64_t sttotalq);

/* Writes the usage record with the ten values as given, replacing any earlier one.
 * Returns 0; EINVAL (logged) when the handle has no record database; or a Berkeley DB code
 * (logged). */
QNST_API int qnst_inode_usage_set(qnst_inoderec *inode, DB_TXN *txn, int64_t fscurrentq,
                                  int64_t fscurrentu, int64_t fstotalq, int64_t fstotalu,
                                  int64_t stcurrentq, int64_t stcurrentu, int64_t sttotalq,
                                  int64_t sttotalu, int64_t filescurrent, int64_t filestotal);

/* Reads the usage record (with a write lock) into the ten outputs; the four limits returned are
 * the handle's, not the stored ones.
 * Returns 0; DB_NOTFOUND (logged) when the inode has no usage record; EIO (logged) when it is
 * damaged; EINVAL (logged) when the handle has no record database; or a Berkeley DB code
 * (logged). */
QNST_API int qnst_inode_usage_get(qnst_inoderec *inode, DB_TXN *txn, int64_t *fscurrentq,
                                  int64_t *fscurrentu, int64_t *fstotalq, int64_t *fstotalu,
                                  int64_t *stcurrentq, int64_t *stcurrentu, int64_t *sttotalq,
                                  int64_t *sttotalu, int64_t *filescurrent,
                                  int64_t *filestotal);

/* Adds the six deltas to the inode's usage (fscurrentu, fstotalu, stcurrentu, sttotalu,
 * filescurrent, filestotal) and then, recursively, to its set node's. A positive delta that
 * takes a limited counter above its limit is refused; a counter is checked only against its own
 * limit, and a delta of 0 or less is never refused, even when the counter is already above it.
 * Sums saturate at the limits of signed 64-bit.
 * Returns 0; a quota code, QNST_QUOTA_FSCURRENT .. QNST_QUOTA_STTOTAL (not logged), from the
 * first inode of the chain that refuses, the four counters being checked in that order; in
 * that case nothing has been written; DB_NOTFOUND (logged) when an inode of the chain has no
 * usage record; EIO (logged) when its usage record is damaged; EINVAL (logged) when an inode of
 * the chain has no record database or the chain is longer than 64 (a set node that leads back to itself); or a Berkeley DB code
 * (logged). A failure in the set-node chain is logged once per level. After a failure the
 * caller aborts its transaction, which undoes what the chain has written. */
QNST_API int qnst_inode_usg(qnst_inoderec *inode, DB_TXN *txn, int64_t fscurrentd,
                            int64_t fstotald, int64_t stcurrentd, int64_t sttotald,
                            int64_t filescurrent, int64_t filestotal);

QNST_END_DECLS

#endif /* QNST_INODE_H */
