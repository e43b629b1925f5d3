// Access to single records of a partition's tables, and the walks over them.
#include <algorithm>

#include "qnst_sis.h"
#include "qnst_sis.hpp"

QNST_SOURCE("qnst/blksis/qnst_sis");

using qnst::sis::HandleKey;

namespace {

int del_key(qnst_sis *part, DB *db, DB_TXN *txn, DBT *key) {
    if (!db) return QNST_FAIL(part->env, EINVAL);
    return QNST_FAIL(part->env, db->del(db, txn, key, 0));
}

// Result of a walk step: 0 with the record, 0 with handle 0 at the end, or a failure.
int end_or_fail(qnst_sis *part, int rc, uint64_t *handle) {
    if (rc == DB_NOTFOUND) {
        *handle = 0;
        return 0;
    }
    return QNST_FAIL(part->env, rc);
}

// Hands a positioned cursor to the caller, or closes it after a failed first step.
int hand_over(qnst::Cursor &cursor, DBC **out, int rc) {
    *out = rc == 0 ? cursor.release() : nullptr;
    return rc;
}

// One step of a reference walk with the cursor `get` flags; `key` holds the start for
// DB_SET_RANGE.
int step_idref(qnst_sis *part, DBC *dbc, uint32_t flags, uint64_t *handle, uint32_t *word,
               uint32_t *count) {
    uint8_t keybuf[8];
    uint8_t buf[4];
    qnst::store_le64(keybuf, *handle);
    DBT k = qnst::user_dbt(keybuf, sizeof keybuf);
    DBT d = qnst::user_dbt(buf, 0, sizeof buf);
    const int rc = qnst::sized(qnst::sized(dbc->get(dbc, &k, &d, flags), k, sizeof keybuf), d,
                               sizeof buf);
    if (rc) return end_or_fail(part, rc, handle);
    *handle = qnst::load_le64(keybuf);
    *word = qnst::load_le32(buf);
    *count = qnst_sis_ref_count(*word);
    return 0;
}

int step_iddf(qnst_sis *part, DBC *dbc, uint32_t flags, uint64_t *handle, uint32_t *dfid,
              uint32_t *dfver, uint64_t *offset, uint32_t *length, uint32_t *hashlen,
              void *hash) {
    uint8_t keybuf[8];
    uint8_t rec[QNST_SIS_LOC_SIZE];
    qnst::store_le64(keybuf, *handle);
    DBT k = qnst::user_dbt(keybuf, sizeof keybuf);
    DBT d = qnst::user_dbt(rec, 0, sizeof rec);
    int rc = qnst::sized(dbc->get(dbc, &k, &d, flags), k, sizeof keybuf);
    qnst::sis::Location loc;
    if (rc == 0 && !loc.unpack(rec, d.size)) rc = qnst::sis::kDamaged;
    if (rc) return end_or_fail(part, rc, handle);
    *handle = qnst::load_le64(keybuf);
    loc.deliver(dfid, dfver, offset, length, hashlen, hash);
    return 0;
}

int step_hashid(qnst_sis *part, DBC *dbc, uint32_t flags, uint64_t *handle, uint32_t startlen,
                uint32_t *hashlen, void *hash) {
    uint8_t buf[8];
    // The caller's buffer is used up to the longest hash a record holds, however large it is.
    const uint32_t room = std::min(*hashlen, QNST_SIS_MAX_HASH);
    DBT k = qnst::user_dbt(hash, startlen, room);
    DBT d = qnst::user_dbt(buf, 0, sizeof buf);
    int rc = dbc->get(dbc, &k, &d, flags);
    // Too small a buffer is the caller's to enlarge, unless the key is longer than any hash or
    // it was the handle that did not fit: then the record is damaged.
    if (rc == DB_BUFFER_SMALL && (k.size > QNST_SIS_MAX_HASH || k.size <= room))
        rc = qnst::kDamaged;
    if (rc == 0 && d.size != sizeof buf) rc = qnst::kDamaged;
    if (rc) return end_or_fail(part, rc, handle);
    *handle = qnst::load_le64(buf);
    *hashlen = k.size;
    return 0;
}

}  // namespace

int qnst_sis_getref(qnst_sis *part, DB_TXN *txn, uint32_t fsck, uint64_t handle,
                    uint32_t *count) {
    DB *db = qnst::sis::ref_table(part, fsck, true);
    if (!db) return QNST_FAIL(part->env, EINVAL);
    uint32_t word = 0;
    const int rc = qnst::sis::get_word(db, txn, handle, 0, &word);
    if (rc) return QNST_FAIL(part->env, rc);
    *count = qnst_sis_ref_count(word);
    return 0;
}

int qnst_sis_setref(qnst_sis *part, DB_TXN *txn, uint32_t fsck, uint64_t handle,
                    uint32_t value) {
    DB *db = qnst::sis::ref_table(part, fsck, false);
    if (!db) return QNST_FAIL(part->env, EINVAL);
    uint32_t word = value;
    qnst_sis_ref_update(&word, 0);
    return QNST_FAIL(part->env, qnst::sis::put_word(db, txn, handle, word, 0));
}

int qnst_sis_store_idref(qnst_sis *part, DB_TXN *txn, uint64_t handle, uint32_t fsck) {
    DB *db = qnst::sis::ref_table(part, fsck, true);
    if (!db) return QNST_FAIL(part->env, EINVAL);
    uint32_t word = 0;
    qnst_sis_ref_update(&word, 0);
    return QNST_FAIL(part->env, qnst::sis::put_word(db, txn, handle, word, DB_NOOVERWRITE));
}

int qnst_sis_purge_idref(qnst_sis *part, DB_TXN *txn, uint64_t handle, uint32_t fsck) {
    HandleKey key(handle);
    DBT k = key.dbt();
    return del_key(part, qnst::sis::ref_table(part, fsck, false), txn, &k);
}

int qnst_sis_store_hashid(qnst_sis *part, DB_TXN *txn, uint64_t handle, const void *hash,
                          uint32_t hashlen) {
    if (hashlen > QNST_SIS_MAX_HASH) return QNST_FAIL(part->env, EINVAL);
    HandleKey data(handle);
    DBT k = qnst::user_dbt(const_cast<void *>(hash), hashlen);
    DBT d = data.dbt();
    return QNST_FAIL(part->env, part->hashdb->put(part->hashdb, txn, &k, &d, 0));
}

int qnst_sis_purge_hashid(qnst_sis *part, DB_TXN *txn, const void *hash, uint32_t hashlen) {
    if (hashlen > QNST_SIS_MAX_HASH) return QNST_FAIL(part->env, EINVAL);
    DBT k = qnst::user_dbt(const_cast<void *>(hash), hashlen);
    return del_key(part, part->hashdb, txn, &k);
}

int qnst_sis_purge_iddf(qnst_sis *part, DB_TXN *txn, uint64_t handle) {
    HandleKey key(handle);
    DBT k = key.dbt();
    return del_key(part, part->dfdb, txn, &k);
}

int qnst_sis_walk_idref(qnst_sis *part, DB_TXN *txn, uint32_t fsck, uint32_t plist,
                        DBC **cursor, uint64_t *handle, uint32_t *word, uint32_t *count) {
    *cursor = nullptr;
    DB *db = plist ? part->plistdb : fsck ? part->fsckrefdb : part->refdb;
    if (!db) return QNST_FAIL(part->env, EINVAL);
    qnst::Cursor c;
    int rc = c.open(db, txn, 0);
    if (rc) return QNST_FAIL(part->env, rc);
    rc = step_idref(part, c.get(), DB_SET_RANGE, handle, word, count);
    return hand_over(c, cursor, rc);
}

int qnst_sis_next_idref(qnst_sis *part, DBC *cursor, uint64_t *handle, uint32_t *word,
                        uint32_t *count) {
    return step_idref(part, cursor, DB_NEXT, handle, word, count);
}

int qnst_sis_walk_iddf(qnst_sis *part, DB_TXN *txn, DBC **cursor, uint64_t *handle,
                       uint32_t *dfid, uint32_t *dfver, uint64_t *offset, uint32_t *length,
                       uint32_t *hashlen, void *hash) {
    *cursor = nullptr;
    qnst::Cursor c;
    int rc = c.open(part->dfdb, txn, 0);
    if (rc) return QNST_FAIL(part->env, rc);
    rc = step_iddf(part, c.get(), DB_SET_RANGE, handle, dfid, dfver, offset, length, hashlen,
                   hash);
    return hand_over(c, cursor, rc);
}

int qnst_sis_next_iddf(qnst_sis *part, DBC *cursor, uint64_t *handle, uint32_t *dfid,
                       uint32_t *dfver, uint64_t *offset, uint32_t *length, uint32_t *hashlen,
                       void *hash) {
    return step_iddf(part, cursor, DB_NEXT, handle, dfid, dfver, offset, length, hashlen, hash);
}

int qnst_sis_walk_hashid(qnst_sis *part, DB_TXN *txn, DBC **cursor, uint64_t *handle,
                         uint32_t startlen, uint32_t *hashlen, void *hash) {
    *cursor = nullptr;
    if (startlen > *hashlen || startlen > QNST_SIS_MAX_HASH) return QNST_FAIL(part->env, EINVAL);
    qnst::Cursor c;
    int rc = c.open(part->hashdb, txn, 0);
    if (rc) return QNST_FAIL(part->env, rc);
    rc = step_hashid(part, c.get(), DB_SET_RANGE, handle, startlen, hashlen, hash);
    return hand_over(c, cursor, rc);
}

int qnst_sis_next_hashid(qnst_sis *part, DBC *cursor, uint64_t *handle, uint32_t *hashlen,
                         void *hash) {
    return step_hashid(part, cursor, DB_NEXT, handle, 0, hashlen, hash);
}

int qnst_sis_done(qnst_sis *, DBC *cursor) {
    if (cursor) (void)cursor->close(cursor);  // the walk is over; a close failure changes nothing
    return 0;
}
