/*
 * qnst_folder.h: folder entries (name -> child inode) with their version history.
 *
 * A folder is the inode of an open qnst_inoderec (qnst_inode.h); its entries live in the
 * handle's folder database (the table's "folders" database, or the inode's own database in misc
 * mode). Every entry carries the version it appeared in (cver) and the version it was deleted in
 * (dver, QNST_INODE_LIVE while it is live), so a folder can be listed as it was at any backup
 * version, or as the changes since a version.
 *
 * Entry key (13 + namelen bytes):
 *   0           u32 little-endian  the folder's inode number
 *   4           '6' (0x36)         record type
 *   5           u32 big-endian     namelen
 *   9           namelen bytes      the name, raw bytes (no case folding, no terminator)
 *   9+namelen   u32 big-endian     -cver modulo 2^32
 * Entry data (12 bytes, little-endian): dver u32, type u32 (the caller's, stored unchanged),
 * cino u32 (the child's inode number).
 *
 * Under Berkeley DB's byte-wise order a folder's entries sort by name length, then name bytes,
 * then cver descending. An entry is visible at version v (v > 0) when cver <= v < dver (signed).
 *
 * Names are 0 to QNST_DIR_MAXNAME bytes. Every call that takes a name refuses a longer one with
 * ENOSPC (not logged) before anything is read or written. Versions are positive: a cver of 0
 * would read as the end of a listing and sort as the newest version of its name.
 *
 * Error log: "logged" means one code entry for the failing call unless the code is
 * DB_LOCK_DEADLOCK or DB_LOCK_NOTGRANTED, which the caller handles by aborting and retrying.
 * Every call works in the caller's transaction and never ends it; after a failure the caller
 * aborts it.
 *
 * Lookups read with write locks (they precede updates); listings read with DB_READ_COMMITTED
 * and keep no read locks on the entries they passed.
 */
#ifndef QNST_FOLDER_H
#define QNST_FOLDER_H

#include <db.h>
#include <stdint.h>

#include "qnst_defs.h"
#include "qnst_inode.h"

/* Longest name of a folder entry, in bytes; a walk's name buffer holds at least this many. */
#define QNST_DIR_MAXNAME 1023

QNST_BEGIN_DECLS

/* Adds the entry (name, cver) -> (type, cino), live (dver QNST_INODE_LIVE). An entry with the
 * same name and cver is overwritten.
 * Returns 0; ENOSPC (not logged) when namelen > QNST_DIR_MAXNAME; EINVAL (logged) when
 * cver is not a version (0, or QNST_INODE_LIVE and above), the name is null with a non-zero
 * length, or the handle has no folder database; or a Berkeley DB code (logged). */
QNST_API int qnst_dir_add(qnst_inoderec *inode, DB_TXN *txn, const char *name, uint32_t namelen,
                          uint32_t cver, uint32_t type, uint32_t cino);

/* Finds the entry `name` visible at version `ver`. `cino` is in/out: 0 on entry accepts any
 * child (and returns the child found); otherwise only an entry with that child is accepted, and
 * older versions of the name are tried when the newest one visible has another child.
 * Returns 0 with cver, dver, type and cino set; QNST_ENOENTRY (not logged) when no entry of
 * that name (and child) is visible at `ver`, always so for ver 0 and above 0x7fffffff;
 * ENOSPC (not logged) for a name longer than QNST_DIR_MAXNAME; EINVAL (logged) as for
 * qnst_dir_add; EIO (logged) when the entry found is damaged; or a Berkeley DB code
 * (logged). */
QNST_API int qnst_dir_lookup(qnst_inoderec *inode, DB_TXN *txn, const char *name,
                             uint32_t namelen, uint32_t ver, uint32_t *cver, uint32_t *dver,
                             uint32_t *type, uint32_t *cino);

/* Deletes the exact entry (name, cver), whatever its dver.
 * Returns 0; DB_NOTFOUND (logged) when there is no such entry; ENOSPC (not logged) for a
 * name longer than QNST_DIR_MAXNAME; EINVAL (logged) as for qnst_dir_add; or a Berkeley DB
 * code (logged). */
QNST_API int qnst_dir_purge(qnst_inoderec *inode, DB_TXN *txn, const char *name,
                            uint32_t namelen, uint32_t cver);

/* Deletes `name` as of version `ver`: the entry visible at `ver` (with child `cino`, or any
 * child when `cino` is 0) ends at `ver`, staying visible to earlier versions; an entry created
 * in `ver` itself is removed.
 * Returns 0; QNST_ENOENTRY (logged) when no such entry is visible at `ver`; or a code of
 * qnst_dir_lookup (logged unless it is 28). */
QNST_API int qnst_dir_del(qnst_inoderec *inode, DB_TXN *txn, const char *name, uint32_t namelen,
                          uint32_t ver, uint32_t cino);

/* Renames the live entry `oldname` to `newname`, keeping its cver, dver, type and child. Older,
 * deleted versions stay under the old name. With `overwrite` 0 an existing entry (newname, the
 * same cver) is not replaced.
 * Returns 0; QNST_ENOENTRY (logged) when `oldname` has no live entry; DB_KEYEXIST (logged) when
 * (newname, cver) exists and `overwrite` is 0; ENOSPC (not logged) when either name is
 * longer than QNST_DIR_MAXNAME, nothing being read or written; EINVAL (logged) as for
 * qnst_dir_add; EIO (logged) for a damaged entry; or a Berkeley DB code (logged). After a
 * failure the old entry may be gone: the caller aborts its transaction. */
QNST_API int qnst_dir_rename(qnst_inoderec *inode, DB_TXN *txn, const char *oldname,
                             uint32_t oldlen, const char *newname, uint32_t newlen,
                             int32_t overwrite);

/*
 * Listings. A walk opens a cursor in `txn`, returns the first qualifying entry and hands the
 * cursor to the caller, who steps with qnst_dir_next and ends with qnst_dir_done before the
 * transaction ends. The listing has ended when a call returns 0 with cver 0 (the cursor must
 * still be closed). Entries come backwards through the key order: longest names first, names
 * of one length in descending byte order, the versions of one name oldest first.
 *
 * `ver` picks the entries returned:
 *   ver == 0  every entry, deleted ones included;
 *   ver > 0   the entries visible at ver (cver <= ver < dver);
 *   ver < 0   the changes since w = -ver: entries created after w (cver > w) or deleted after it
 *             (dver != QNST_INODE_LIVE and dver > w).
 * `name` receives the entry's name (no terminator) and must hold QNST_DIR_MAXNAME bytes.
 */

/* Opens a listing of the folder and returns its first entry.
 * Returns 0 with *cursor set (also when the listing is empty: cver 0); EINVAL (logged) when
 * the handle has no folder database; EIO (logged) for a damaged entry; or a Berkeley DB code
 * (logged). On failure no cursor is handed out. */
QNST_API int qnst_dir_walk(qnst_inoderec *inode, DB_TXN *txn, int32_t ver, DBC **cursor,
                           uint32_t *cver, uint32_t *dver, char *name, uint32_t *namelen,
                           uint32_t *type, uint32_t *cino);

/* As qnst_dir_walk, resuming right after the entry (cookie_name, cookie_cver), which need not
 * exist any more: pass the last entry a listing returned to continue it.
 * Returns the codes of qnst_dir_walk, and ENOSPC (not logged) when cookie_namelen >
 * QNST_DIR_MAXNAME. */
QNST_API int qnst_dir_walk_v2(qnst_inoderec *inode, DB_TXN *txn, int32_t ver, DBC **cursor,
                              uint32_t *cver, uint32_t *dver, char *name, uint32_t *namelen,
                              uint32_t *type, uint32_t *cino, const char *cookie_name,
                              uint32_t cookie_namelen, uint32_t cookie_cver);

/* The next qualifying entry of a listing, with the same `ver` as its walk.
 * Returns 0 (cver 0 at the end); EIO (logged) for a damaged entry; or a Berkeley DB code
 * (logged). */
QNST_API int qnst_dir_next(qnst_inoderec *inode, DBC *cursor, int32_t ver, uint32_t *cver,
                           uint32_t *dver, char *name, uint32_t *namelen, uint32_t *type,
                           uint32_t *cino);

/* Closes a listing's cursor (null is allowed). Always 0. */
QNST_API int qnst_dir_done(qnst_inoderec *inode, DBC *cursor);

QNST_END_DECLS

#endif /* QNST_FOLDER_H */
