/*
 * qnst_defs.h: definitions shared by every public header of the qnst64 engine.
 *
 * Result codes. Every engine function returns a signed 32-bit result: 0 for success, or one of
 * the codes in the table below. Function comments name the codes they return. A new code is
 * added to this table and nowhere else.
 *
 * Public headers (qnst_*.h) declare only what libqnst64.so exports, each function with QNST_API;
 * they are installed under include/qnst/ and compile as C11. Declarations the engine keeps to
 * itself go to the family's internal qnst_<module>.hpp.
 *
 * This header needs nothing but the C library, so that families that do not touch Berkeley DB
 * (the fast files) build on any platform.
 */
#ifndef QNST_DEFS_H
#define QNST_DEFS_H

#include <stdint.h>

#if defined(_WIN32)
#  define QNST_API __declspec(dllexport)
#else
#  define QNST_API __attribute__((visibility("default")))
#endif

#ifdef __cplusplus
#  define QNST_BEGIN_DECLS extern "C" {
#  define QNST_END_DECLS }
#else
#  define QNST_BEGIN_DECLS
#  define QNST_END_DECLS
#endif

/*
 * The table of result codes.
 *
 * Engine codes (defined here):
 *   QNST_QUOTA_FSCURRENT  -30000  inode usage: fscurrentu would exceed fscurrentq (not logged)
 *   QNST_QUOTA_FSTOTAL    -30001  inode usage: fstotalu would exceed fstotalq (not logged)
 *   QNST_QUOTA_STCURRENT  -30002  inode usage: stcurrentu would exceed stcurrentq (not logged)
 *   QNST_QUOTA_STTOTAL    -30003  inode usage: sttotalu would exceed sttotalq (not logged)
 *   QNST_HASH_EXISTS      -30004  the hash is already stored (never logged)
 *   QNST_RETRY            -30005  retry the step: what it relied on changed (never logged)
 *   QNST_ENOINODE         -30006  no free inode number
 *   QNST_EINODEBUSY       -30007  the inode number is taken
 *   QNST_ENOENTRY         -30008  no such folder entry (absent or not visible at the version)
 *   QNST_ENOSTAT          -30009  no stat record valid at the version
 *   QNST_NOT_SYMLINK      -30010  internal to the block store, never returned to callers
 *   QN_QUOTA_EXCEEDED     -1      quota records: the usage would exceed the limit (not logged)
 *
 * Berkeley DB codes, passed on unchanged (from <db.h>): DB_BUFFER_SMALL (-30999), DB_KEYEMPTY
 * (-30995), DB_KEYEXIST (-30994), DB_LOCK_DEADLOCK (-30993), DB_LOCK_NOTGRANTED (-30992),
 * DB_NOTFOUND (-30988), DB_PAGE_NOTFOUND (-30986), DB_RUNRECOVERY (-30973), DB_SECONDARY_BAD
 * (-30972), DB_VERIFY_BAD (-30970) and the other codes of that range.
 *
 * C errno values (from <errno.h>, Linux numbers): ENOENT (2), EIO (5), EAGAIN (11), ENOMEM (12),
 * EBUSY (16), EINVAL (22), ENOSPC (28), or the errno of a failed system call.
 *
 * DB_LOCK_DEADLOCK, DB_LOCK_NOTGRANTED, QNST_HASH_EXISTS and QNST_RETRY are outcomes of
 * concurrency and deduplication, never written to the error log.
 */
#define QNST_QUOTA_FSCURRENT (-30000)
#define QNST_QUOTA_FSTOTAL (-30001)
#define QNST_QUOTA_STCURRENT (-30002)
#define QNST_QUOTA_STTOTAL (-30003)
/* The range of the four quota codes above. */
#define QNST_QUOTA_LIMIT_FIRST QNST_QUOTA_FSCURRENT
#define QNST_QUOTA_LIMIT_LAST QNST_QUOTA_STTOTAL
/* A no-overwrite insert found the hash already stored: look it up and use the stored object. */
#define QNST_HASH_EXISTS (-30004)
/* The step must be retried: the hash or block it relied on has just changed or vanished. */
#define QNST_RETRY (-30005)
/* No free inode number: extend the table (or, after a pick, extend it and pick again). */
#define QNST_ENOINODE (-30006)
/* The inode number is taken: allocated already, or withheld from allocation. */
#define QNST_EINODEBUSY (-30007)
/* No folder entry of that name is visible at the version asked for. */
#define QNST_ENOENTRY (-30008)
/* No stat record of the inode is valid at the version asked for. */
#define QNST_ENOSTAT (-30009)
/* Internal to the block store: the block examined is a real block, not a symbolic link. Never
 * returned to callers of the store. */
#define QNST_NOT_SYMLINK (-30010)
/* qn_quota_modify: the change would take the usage above the limit; nothing was written. */
#define QN_QUOTA_EXCEEDED (-1)

/* Version of a record that has not ended. */
#define QNST_INODE_LIVE 0x7ffffff0

#endif /* QNST_DEFS_H */
