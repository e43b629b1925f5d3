/*
 * qnst_defs.h: definitions shared by every public header of the qnst64 engine.
 *
 * Result codes. Every engine function returns a signed 32-bit result: 0 for success, Berkeley DB's
 * own codes (-30999 .. -30969, e.g. DB_NOTFOUND -30988) passed on unchanged, C errno values
 * (2 ENOENT, 5 EIO, 11 EAGAIN, 12 ENOMEM, 16 EBUSY, 22 EINVAL, 28 ENOSPC), or one of the engine
 * codes below.
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

/* Quota limits (inode store): the change would exceed a limit and was refused. */
#define QNST_QUOTA_LIMIT_FIRST (-30000)
#define QNST_QUOTA_LIMIT_LAST  (-30003)
/* A no-overwrite insert found the hash already stored: look it up and use the stored object. */
#define QNST_HASH_EXISTS (-30004)
/* The step must be retried: the hash or block it relied on has just changed or vanished. */
#define QNST_RETRY (-30005)
/* Namespace: no folder entry of that name (and child) is visible at the version asked for. */
#define QNST_ENOENTRY (-30008)
/* Namespace: no stat record of the inode is valid at the version asked for. */
#define QNST_ENOSTAT (-30009)
/* Internal to the block store: the block examined is a real block, not a symbolic link. Never
 * returned to callers of the store. */
#define QNST_NOT_SYMLINK (-30010)

/* Version of a record that has not ended. */
#define QNST_INODE_LIVE 0x7ffffff0

#endif /* QNST_DEFS_H */
