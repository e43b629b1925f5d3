/*
 * qnst_dfile.h: the dfile table, one 32-byte record per data file of the block store.
 *
 * A DB_QUEUE table; the record number is the data-file index plus 1. Record layout,
 * little-endian: ver u32 @0, over u32 @4, coff u64 @8, ooff u64 @16, used u64 @24.
 * A fresh record is ver 1, over 1, coff 0, ooff 0, used 0.
 *
 * Failures other than DB_LOCK_DEADLOCK and DB_LOCK_NOTGRANTED are written to the error log.
 */
#ifndef QNST_DFILE_H
#define QNST_DFILE_H

#include <db.h>
#include <stdint.h>

#include "qnst_defs.h"

QNST_BEGIN_DECLS

/* Dfile handle, owned by the caller and filled by qnst_dfile_create. */
typedef struct qnst_dfile {
    DB_ENV *dbenv;   /* the environment */
    uint32_t nfiles; /* number of data files the table is sized for */
    DB *db;          /* the table; null when closed */
} qnst_dfile;

/* Clears the handle, stores the environment and nfiles, creates the database handle.
 * Returns 0 or db_create's code (the handle is closed again). */
QNST_API int qnst_dfile_create(qnst_dfile *h, DB_ENV *dbenv, uint32_t nfiles);

/* Opens (creating when missing) the table in `file`. With `init` nonzero, makes sure records
 * exist for nfiles data files, rounded up to a multiple of 128, in transactions of 128 records;
 * existing records keep their values. Returns 0 or the Berkeley DB code; after a failure the
 * caller closes the handle. */
QNST_API int qnst_dfile_open(qnst_dfile *h, const char *file, int32_t init);

/* Closes the table if open. Always 0. */
QNST_API int qnst_dfile_close(qnst_dfile *h);

/* Removes the table's file. Returns 0, ENOENT when it does not exist, or the Berkeley DB
 * code. */
QNST_API int qnst_dfile_remove(DB_ENV *dbenv, const char *file);

/* Reads the record of data file `dindex` with the Berkeley DB get `flags` (0, DB_RMW, ...).
 * Returns 0, DB_NOTFOUND for a record beyond the end of the table, DB_KEYEMPTY for one inside
 * it that was never written (a pre-creation that failed and was rolled back), EIO for a record
 * whose size is not the layout's 32 bytes (a damaged table), or the Berkeley DB code. */
QNST_API int qnst_dfile_get(qnst_dfile *h, DB_TXN *txn, uint32_t dindex, uint32_t *ver,
                            uint32_t *over, uint64_t *coff, uint64_t *ooff, uint64_t *used,
                            uint32_t flags);

/* Writes the record of data file `dindex`. Returns 0 or the Berkeley DB code. */
QNST_API int qnst_dfile_set(qnst_dfile *h, DB_TXN *txn, uint32_t dindex, uint32_t ver,
                            uint32_t over, uint64_t coff, uint64_t ooff, uint64_t used);

QNST_END_DECLS

#endif /* QNST_DFILE_H */
