/*
 * qnst_aclsis.h: the ACL store, which keeps every distinct access-control list once.
 *
 * An ACL is an opaque byte string found by a hash the caller computes. It is stored once under a
 * 64-bit handle with a reference count, and deleted as soon as its last reference is released.
 * One file holds four B-tree databases (integers little-endian, as in memory):
 *
 *   "seq"      key 01 00 00 00     the handle sequence's own record
 *   "hash_id"  the hash            handle (8 bytes)
 *   "id_ref"   handle (8 bytes)    reference count, u32 (plain: no stamp, no saturation)
 *   "id_df"    handle (8 bytes)    object record: hashlen u32 @0, acllen u32 @4,
 *                                  the hash @8, the ACL bytes @8 + hashlen
 *
 * A handle is the raw value of the sequence (1 .. 0xFFFFFFFFFFFF, starting at 3). Handles only
 * grow: a deleted ACL's handle is never issued again. Handle 0 means no ACL.
 *
 * Every operation works inside the caller's transaction `txn` and never begins, commits or
 * aborts one. "Logged" below means one code entry in the environment's error log, unless the
 * code is DB_LOCK_DEADLOCK or DB_LOCK_NOTGRANTED, which the caller retries after aborting. After
 * any failure the caller aborts its transaction; the store makes no partial repairs.
 */
#ifndef QNST_ACLSIS_H
#define QNST_ACLSIS_H

#include <db.h>
#include <stdint.h>

#include "qnst_defs.h"

/* Handle sequence. */
#define QNST_ACL_SEQ_MIN 1
#define QNST_ACL_SEQ_MAX 0xFFFFFFFFFFFFll
#define QNST_ACL_SEQ_INITIAL 3
#define QNST_ACL_SEQ_CACHE 8

/* Object record: the two length words before the hash. */
#define QNST_ACL_OBJ_HEADER 8u

QNST_BEGIN_DECLS

/* ACL store handle, owned by the caller and cleared by qnst_aclsis_create. A field is null when
 * its Berkeley DB handle does not exist. */
typedef struct qnst_aclsisrec {
    DB_ENV *env;      /* the environment; also where the error log goes */
    DB *seqdb;        /* "seq" */
    DB_SEQUENCE *seq; /* the handle sequence; exists between open and close */
    DB *hashdb;       /* "hash_id": hash -> handle */
    DB *refdb;        /* "id_ref": handle -> reference count */
    DB *objdb;        /* "id_df": handle -> object record */
} qnst_aclsisrec;

/* Clears `store`, stores `env` and creates the database handles (not open).
 * Returns 0, or db_create's code (logged), after which the store is closed again. */
QNST_API int qnst_aclsis_create(qnst_aclsisrec *store, DB_ENV *env);

/* Opens the four databases in `dbfile`, creating what is missing, and the handle sequence.
 * `init` is accepted and has no effect.
 * Returns 0; EINVAL (logged) when the store was not created or is already open; or the
 * first failing Berkeley DB code (logged), after which the caller closes the store. */
QNST_API int qnst_aclsis_open(qnst_aclsisrec *store, const char *dbfile, int32_t init);

/* Closes the sequence and every database handle that exists, and clears the fields. Safe on a
 * store that is already closed. Always 0. */
QNST_API int qnst_aclsis_close(qnst_aclsisrec *store);

/* Removes the store's file. Returns 0, or the Berkeley DB code (logged; ENOENT when the file
 * does not exist). */
QNST_API int qnst_aclsis_remove(DB_ENV *env, const char *dbfile);

/* Takes the next handle from the sequence (outside any transaction).
 * Returns 0; EINVAL (logged) when the store is not open; or the Berkeley DB code (logged). */
QNST_API int qnst_acl_gen_handle(qnst_aclsisrec *store, uint64_t *handle);

/* Stores a new ACL, `acllen` bytes at `acl`, under its hash (`hashlen` bytes), with one
 * reference; its new handle is written to `handle`. The caller looks the hash up first: a hash
 * already stored is refused.
 * Returns 0; EINVAL (logged, nothing written and no handle taken) when `acllen` is negative,
 * when the object record would not fit in 32 bits, when a pointer is null with a nonzero length
 * or when the store is not open; DB_KEYEXIST (logged) when the hash is already stored (another
 * transaction may have stored it first); ENOMEM (logged); or a Berkeley DB code (logged). */
QNST_API int qnst_acl_store(qnst_aclsisrec *store, DB_TXN *txn, const void *hash,
                            uint32_t hashlen, const void *acl, int32_t acllen,
                            uint64_t *handle);

/* Finds the handle of the ACL with the given hash (read with a write lock), or 0 when none is
 * stored.
 * Returns 0 (also when the hash is unknown); EINVAL (logged) when the store is not open or
 * the stored handle is not 8 bytes; or a Berkeley DB code (logged). */
QNST_API int qnst_acl_lookup(qnst_aclsisrec *store, DB_TXN *txn, const void *hash,
                             uint32_t hashlen, uint64_t *handle);

/* Reads the object record of `handle` (with a write lock) into a buffer allocated for the
 * caller, who releases it with qnst_acl_datafree. `hash` and `acl` point into that buffer.
 * Returns 0; DB_NOTFOUND (not logged) when no ACL has the handle; EINVAL (logged, no buffer)
 * when the store is not open; EIO (logged, no buffer) when the record's lengths do not match its
 * size (a damaged record); ENOMEM (logged);
 * or a Berkeley DB code (logged only when the second, sized read fails). */
QNST_API int qnst_acl_read(qnst_aclsisrec *store, DB_TXN *txn, uint64_t handle,
                           const void **hash, uint32_t *hashlen, const void **acl,
                           uint32_t *acllen, void **buf);

/* Releases a buffer returned by qnst_acl_read; null is ignored. Always 0. */
QNST_API int qnst_acl_datafree(void *buf);

/* Adds one reference to the ACL.
 * Returns 0; DB_NOTFOUND (logged) when no ACL has the handle; ENOSPC (logged, nothing
 * written) when the count is already 0xFFFFFFFF; EINVAL (logged) when the store is not open;
 * EIO (logged, nothing written) when the count record is not 4 bytes; or a Berkeley DB code
 * (logged). */
QNST_API int qnst_acl_hold(qnst_aclsisrec *store, DB_TXN *txn, uint64_t handle);

/* Removes one reference from the ACL; the last one deletes its count, its object record and its
 * hash-index entry.
 * Returns 0; DB_NOTFOUND (logged) when no ACL has the handle (or a record of it is missing);
 * EINVAL (logged, nothing written) when the stored count is already 0 or the store is not open;
 * EIO (logged, nothing written) when the count or object record is damaged (its size disagrees
 * with its layout); ENOMEM (logged); or a Berkeley DB code (logged). */
QNST_API int qnst_acl_rele(qnst_aclsisrec *store, DB_TXN *txn, uint64_t handle);

QNST_END_DECLS

#endif /* QNST_ACLSIS_H */
