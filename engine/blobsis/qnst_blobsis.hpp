// Internal interface of a blob store partition: the check and repair calls that only the manager
// uses (it exports them under its own names), and the record codecs the sources share.
#pragma once

#include <cerrno>
#include <cstdint>
#include <cstring>

#include "qnst_blobsis.h"
#include "qnst_internal.hpp"
#include "qnst_sis.hpp"

/* Reference records of "id_ref_fsck" when `fsck` is nonzero, else of "id_ref". Each returns 22
 * (logged) when that table is not open. getref: *count = the stored count (DB_NOTFOUND, logged,
 * when there is none; 5 (EIO, logged) for a damaged count). setref: writes `count`,
 * overwriting. store_idref: inserts count 0 (DB_KEYEXIST, logged, when present). purge_idref:
 * deletes the record (DB_NOTFOUND, logged, when there is none). Otherwise 0 or the Berkeley DB
 * code (logged unless exempt). */
int qnst_blob_getref(qnst_blobsis *part, DB_TXN *txn, int32_t fsck, uint64_t id, uint32_t *count);
int qnst_blob_setref(qnst_blobsis *part, DB_TXN *txn, int32_t fsck, uint64_t id, uint32_t count);
int qnst_blob_store_idref(qnst_blobsis *part, DB_TXN *txn, uint64_t id, int32_t fsck);
int qnst_blob_purge_idref(qnst_blobsis *part, DB_TXN *txn, uint64_t id, int32_t fsck);

/* Index and info repair: store_hashid writes hash -> id, overwriting; purge_hashid and
 * purge_idinfo delete (DB_NOTFOUND when absent). Hash arguments are checked as by
 * qnst_blob_store_hold (22, logged, nothing written). Results 0 or the Berkeley DB code (logged
 * unless exempt). */
int qnst_blob_store_hashid(qnst_blobsis *part, DB_TXN *txn, uint64_t id, const void *hash,
                           uint32_t hashlen);
int qnst_blob_purge_hashid(qnst_blobsis *part, DB_TXN *txn, const void *hash, uint32_t hashlen);
int qnst_blob_purge_idinfo(qnst_blobsis *part, DB_TXN *txn, uint64_t id);

/* Walks. A walk opens a cursor in `txn` on its table, positions it at the first record not below
 * the start key and copies that record out; the step calls move to the next record. At the end
 * of the table the id output is 0 and the result 0. A walk that returns 0 hands its cursor to the
 * caller, who ends it with qnst_blob_done; a walk that fails has closed it. Results: 0, 22
 * (logged) for a table that is not open or a bad start, 5 (EIO, logged) for a damaged record, or
 * the Berkeley DB code (logged unless exempt). */
/* Reference counts ("id_ref_fsck" with `fsck`), from local id *id on (0: the first). */
int qnst_blob_walk_idref(qnst_blobsis *part, DB_TXN *txn, int32_t fsck, DBC **cursor, uint64_t *id,
                         uint32_t *count);
int qnst_blob_next_idref(qnst_blobsis *part, DBC *cursor, uint64_t *id, uint32_t *count);
/* Info records, from local id *id on; `hash` has room for QNST_BLOB_MAX_HASH bytes. */
int qnst_blob_walk_idinfo(qnst_blobsis *part, DB_TXN *txn, DBC **cursor, uint64_t *id,
                          uint64_t *size, uint32_t *hashlen, void *hash);
int qnst_blob_next_idinfo(qnst_blobsis *part, DBC *cursor, uint64_t *id, uint64_t *size,
                          uint32_t *hashlen, void *hash);
/* Index entries, from the first `startlen` bytes of `hash` on (0: the first entry). *hashlen is
 * the capacity of `hash` on entry and the found hash's length on return; a found hash longer
 * than the capacity is DB_BUFFER_SMALL. */
int qnst_blob_walk_hashid(qnst_blobsis *part, DB_TXN *txn, DBC **cursor, uint64_t *id,
                          uint32_t startlen, uint32_t *hashlen, void *hash);
int qnst_blob_next_hashid(qnst_blobsis *part, DBC *cursor, uint64_t *id, uint32_t *hashlen,
                          void *hash);
/* Closes a walk's cursor (null is allowed). Always 0. */
int qnst_blob_done(qnst_blobsis *part, DBC *cursor);

/* Opens "id_ref_fsck" in partition file `file`, first dropping an old one when `reset` is set.
 * Returns 0, 22 (logged) when it is open already or the partition is not created, or the
 * Berkeley DB code (logged); a failed open closes the table again (and drops it with `reset`). */
int qnst_blobsis_open_fsck(qnst_blobsis *part, const char *file, int32_t reset);
/* Closes "id_ref_fsck" and, when `remove` is set and `file` given, drops it from the file.
 * Always 0. */
int qnst_blobsis_close_fsck(qnst_blobsis *part, const char *file, int32_t remove);

namespace qnst::blobsis {

// Ids are stored as block handles are, and counts as reference words: the block store's codecs
// serve both.
using qnst::sis::kDamaged;
using IdKey = qnst::sis::HandleKey;
using qnst::sis::get_word;
using qnst::sis::put_word;

// A hash that a record can hold: 1..QNST_BLOB_MAX_HASH bytes.
inline bool valid_hash(const void *hash, uint32_t hashlen) {
    return hash != nullptr && hashlen != 0 && hashlen <= QNST_BLOB_MAX_HASH;
}

// The info record of a blob.
struct Info {
    uint64_t size = 0;
    uint32_t hashlen = 0;
    uint8_t hash[QNST_BLOB_MAX_HASH] = {};

    uint32_t pack(uint8_t *rec) const {
        store_le64(rec, size);
        store_le32(rec + 8, hashlen);
        std::memcpy(rec + QNST_BLOB_INFO_HEADER, hash, hashlen);
        return QNST_BLOB_INFO_HEADER + hashlen;
    }
    // False for a damaged record: shorter than its header, or a hash length that disagrees with
    // the record's size.
    bool unpack(const uint8_t *rec, uint32_t recsize) {
        if (recsize < QNST_BLOB_INFO_HEADER) return false;
        size = load_le64(rec);
        hashlen = load_le32(rec + 8);
        if (hashlen > QNST_BLOB_MAX_HASH || QNST_BLOB_INFO_HEADER + hashlen != recsize) return false;
        std::memcpy(hash, rec + QNST_BLOB_INFO_HEADER, hashlen);
        return true;
    }
};

}  // namespace qnst::blobsis
