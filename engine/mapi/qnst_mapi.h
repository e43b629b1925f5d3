/*
 * qnst_mapi.h: MAPI message maps, the versioned messages of one backed-up mail store.
 *
 * Every message, named by an opaque message key of at most QNST_MAPI_MAX_KEY bytes, has a series
 * of entries, one per creation version `cver`, each carrying the server's opaque information
 * record and ending at its deletion version `dver`: the entry is live at v when
 * cver <= v < dver (versions compared as signed 32-bit). Two records per entry live in the
 * inode's own database (qnst_inoderec.own_db), beside the records of other families; integers in
 * keys are big-endian and versions are stored negated (modulo 2^32), so newer versions sort
 * first:
 *
 *   i-entry  key:  '9' (0x39) | k u32 BE | message key (k bytes) | -cver u32 BE
 *            data: the information record, as given
 *   v-entry  key:  '8' (0x38) | -cver u32 BE | message key (k bytes)
 *            data: dver, 4 bytes little-endian
 *
 * The family also brings message content into the stores: blocks into the block store manager
 * (qnst_blksism.h), larger objects into the blob store manager (qnst_blobsism.h). Usage changes
 * go to the inode's set node with qnst_inode_usg as fstotal ("file bytes"), stcurrent ("current
 * store bytes") and sttotal ("total store bytes"); the calls that charge need a set node.
 *
 * Every call works in the caller's transaction and never ends it; after a failure the caller
 * aborts (no call undoes its own earlier steps). Results: 0; a Berkeley DB code; 22 (EINVAL)
 * for an inode whose own database is not open, a set node missing where one is charged, or a
 * message key longer than QNST_MAPI_MAX_KEY (refused before anything is read or written);
 * 12 (ENOMEM) when a result buffer cannot be allocated or an information record is empty (an
 * empty record cannot be read back); a store's code; a quota code QNST_QUOTA_FSCURRENT ..
 * QNST_QUOTA_STTOTAL from the set node. Every failure is written to the error log except
 * DB_LOCK_DEADLOCK, DB_LOCK_NOTGRANTED, QNST_HASH_EXISTS, QNST_RETRY and the quota codes.
 */
#ifndef QNST_MAPI_H
#define QNST_MAPI_H

#include <db.h>
#include <stdint.h>

#include "qnst_defs.h"
#include "qnst_inode.h"

QNST_BEGIN_DECLS

#define QNST_MAPI_MAX_KEY 1024      /* longest message key */
#define QNST_MAPI_STORE_ATTEMPTS 17 /* store rounds lost to a vanishing hash before 11 */

/* ---- Entries ------------------------------------------------------------------------------ */

/* Writes the i-entry (mkey, cver) = info and then the v-entry (cver, mkey) = dver, replacing
 * what is there. Returns 0, 22, or the Berkeley DB code. */
QNST_API int qnst_mapimsg_update(qnst_inoderec *inode, DB_TXN *txn, const void *mkey,
                                 uint32_t mkeylen, const void *info, uint32_t ilen, uint32_t cver,
                                 uint32_t dver);

/* Ends the entry (mkey, cver) at `dver` by rewriting its v-entry. Returns 0, 22, or the Berkeley
 * DB code. */
QNST_API int qnst_mapimsg_delv(qnst_inoderec *inode, DB_TXN *txn, const void *mkey,
                               uint32_t mkeylen, uint32_t cver, uint32_t dver);

/* Reads the v-entry (cver, mkey) into *dver. Returns 0, DB_NOTFOUND, 22, 5
 * (EIO) for a record that is not 4 bytes, or the Berkeley DB code. */
QNST_API int qnst_mapimsg_getvent(qnst_inoderec *inode, DB_TXN *txn, const void *mkey,
                                  uint32_t mkeylen, uint32_t cver, uint32_t *dver);

/* Reads the information record of the i-entry (mkey, cver) into a new buffer, *buf, of *size
 * bytes, released with qnst_mapimsg_freebuf. Returns 0; DB_NOTFOUND; 12 for an empty record or
 * a buffer that cannot be allocated; 22; or the Berkeley DB code. On failure *buf is null. */
QNST_API int qnst_mapimsg_getient(qnst_inoderec *inode, DB_TXN *txn, const void *mkey,
                                  uint32_t mkeylen, uint32_t cver, void **buf, uint32_t *size);

/* The entry of `mkey` live at `ver`: the one with the highest cver not above `ver`, if its dver
 * is above `ver`. Found: *cver, *dver and the information record in a new buffer *buf of *size
 * bytes (release with qnst_mapimsg_freebuf). None: result 0 with *size 0 and *buf null.
 * Returns 0; 12 for an empty record or a buffer that cannot be allocated; 22; DB_NOTFOUND when
 * the entry has no v-entry; or the Berkeley DB code. */
QNST_API int qnst_mapimsg_findi(qnst_inoderec *inode, DB_TXN *txn, const void *mkey,
                                uint32_t mkeylen, uint32_t ver, uint32_t *cver, uint32_t *dver,
                                void **buf, uint32_t *size);

/* Delete the v-entry, or the i-entry, of (mkey, cver). Each returns 0, DB_NOTFOUND (logged) when
 * it does not exist, 22, or the Berkeley DB code. */
QNST_API int qnst_mapimsg_delvent(qnst_inoderec *inode, DB_TXN *txn, const void *mkey,
                                  uint32_t mkeylen, uint32_t cver);
QNST_API int qnst_mapimsg_delient(qnst_inoderec *inode, DB_TXN *txn, const void *mkey,
                                  uint32_t mkeylen, uint32_t cver);

/* Removes the entry (mkey, cver) (i-entry, then v-entry) and takes `msgsz` off the file bytes
 * and the current store bytes. Returns 0, the first failure (DB_NOTFOUND when a record is
 * missing), 22, or a quota code. */
QNST_API int qnst_mapimsg_purge(qnst_inoderec *inode, DB_TXN *txn, const void *mkey,
                                uint32_t mkeylen, uint32_t cver, uint64_t msgsz);

/* Frees a buffer of qnst_mapimsg_getient or qnst_mapimsg_findi; null is accepted. */
QNST_API void qnst_mapimsg_freebuf(void *buf);

/* ---- Walks -------------------------------------------------------------------------------- */
/*
 * A walk call positions a cursor opened in `txn` (reading committed data) and returns the first
 * entry; the step call returns the next. Message keys are copied into the caller's `key`, which
 * holds QNST_MAPI_MAX_KEY bytes, with their length in *keylen. The end of a walk is result 0
 * with *cver = 0. The cursor is the caller's (even at the end) and is ended with
 * qnst_mapimsg_done; a walk call that fails closes its cursor and returns none. An inode whose
 * own database is not open gives *cursor null and *cver 0. Each returns 0, 22 (a start key
 * longer than QNST_MAPI_MAX_KEY), 5 (EIO) for a damaged entry, or the Berkeley DB code.
 *
 * qnst_mapimsg_walk / qnst_mapimsg_next: v-entries, stepping from (lastver, lastkey) towards
 * newer versions: first the entries of `lastver` whose keys sort before `lastkey`, then each
 * newer version in turn, the oldest first and, within a version, keys in descending order.
 * Resumed at the last entry returned, a walk continues after it; started at (v, empty key) it
 * begins with the lowest version above v. Because version 0 sorts before every stored version,
 * a walk from `lastver` 0 yields nothing. A null cursor in qnst_mapimsg_next gives *cver 0.
 *
 * qnst_mapimid_walk / qnst_mapimid_next: i-entries in key order (shorter message keys first,
 * then by key bytes, newest version first) from (lastkey, lastver): with a nonempty `lastkey`
 * the entry at or after the start is skipped (a resumed walk continues after it); with an empty
 * one the walk begins with the first i-entry at or after the start.
 */
QNST_API int qnst_mapimsg_walk(qnst_inoderec *inode, DB_TXN *txn, uint32_t lastver,
                               const void *lastkey, uint32_t lastkeylen, DBC **cursor,
                               uint32_t *cver, uint32_t *dver, void *key, uint32_t *keylen);
QNST_API int qnst_mapimsg_next(qnst_inoderec *inode, DBC *cursor, uint32_t *cver, uint32_t *dver,
                               void *key, uint32_t *keylen);
QNST_API int qnst_mapimid_walk(qnst_inoderec *inode, DB_TXN *txn, uint32_t lastver,
                               const void *lastkey, uint32_t lastkeylen, DBC **cursor,
                               uint32_t *cver, void *key, uint32_t *keylen);
QNST_API int qnst_mapimid_next(qnst_inoderec *inode, DBC *cursor, uint32_t *cver, void *key,
                               uint32_t *keylen);

/* Closes a walk's cursor; a null cursor is accepted. Always 0. */
QNST_API int qnst_mapimsg_done(qnst_inoderec *inode, DBC *cursor);

/* ---- Content ------------------------------------------------------------------------------ */

/* Claims a block by hash: when the block store knows it (lookup with `cacheonly` passed on),
 * takes a reference and charges `pbsz` file bytes; *handle is the block's handle, or 0 when the
 * hash is unknown (nothing changed: the caller writes the block and calls
 * qnst_mapimsg_enterblk). Returns 0, 22, a quota code, or the block store's or Berkeley DB's
 * code; *handle is 0 on failure. */
QNST_API int qnst_mapimsg_holdblk(qnst_inoderec *inode, DB_TXN *txn, const void *hash,
                                  uint32_t hlen, uint64_t pbsz, uint32_t cacheonly,
                                  uint64_t *handle);

/* Stores a new block (data file `dindex` of version `dver`, `size` bytes at `coff`) under
 * `handle` (from qnst_sism_gen_handle for the same hash) and charges `size` file bytes, `size`
 * current store bytes and the data file's growth as total store bytes; *out = handle. When
 * another writer stored the hash first, the stored block is claimed as qnst_mapimsg_holdblk
 * does and *out is its handle. Returns 0; 11 (EAGAIN) when the hash vanished again in each of
 * QNST_MAPI_STORE_ATTEMPTS rounds; 22; a quota code; or the block store's or Berkeley DB's code;
 * *out is 0 on failure. */
QNST_API int qnst_mapimsg_enterblk(qnst_inoderec *inode, DB_TXN *txn, const void *hash,
                                   uint32_t hlen, uint32_t dindex, uint32_t dver, uint64_t coff,
                                   uint32_t size, uint64_t handle, uint64_t *out);

/* Claims a blob by its checksum `sum`: when stored, takes a reference, charges `bsize` file bytes
 * and sets *existed = 1; otherwise *handle is a new handle for the caller to write the blob
 * under (then qnst_mapimsg_enterblob), `bsize` is charged as file, current store and total store
 * bytes, and *existed = 0. Returns 0, 22, a quota code, or the blob store's or Berkeley DB's
 * code; *handle is 0 on failure. */
QNST_API int qnst_mapimsg_getblob(qnst_inoderec *inode, DB_TXN *txn, const void *sum,
                                  uint32_t slen, uint64_t bsize, uint64_t *handle,
                                  int32_t *existed);

/* Stores a new blob of `blobsize` bytes, `disksize` on disk, under `handle` (from
 * qnst_mapimsg_getblob) and charges the difference d = disksize - blobsize as current and total
 * store bytes; *out = handle. When another writer stored the checksum first, its blob is held,
 * `handle` goes onto the compaction queue with `disksize`, and the charge is -blobsize current
 * store bytes and d total store bytes; *out is the stored blob. Returns 0; 11 (EAGAIN) when the
 * checksum vanished again in each of QNST_MAPI_STORE_ATTEMPTS rounds; 22; a quota code; or the
 * blob store's or Berkeley DB's code; *out is 0 on failure. */
QNST_API int qnst_mapimsg_enterblob(qnst_inoderec *inode, DB_TXN *txn, uint64_t handle,
                                    const void *sum, uint32_t slen, uint64_t blobsize,
                                    uint64_t disksize, uint64_t *out);

QNST_END_DECLS

#endif /* QNST_MAPI_H */
