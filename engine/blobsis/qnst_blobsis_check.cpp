// Blob store partition: the check table, the walks and the repair calls a checker uses to rebuild
// reference counts and mend the index and info tables.
#include "qnst_blobsis.h"

#include "qnst_blobsis.hpp"

QNST_SOURCE("qnst/blobsis/qnst_blobsis");

using qnst::user_dbt;
using qnst::blobsis::IdKey;
using qnst::blobsis::Info;
using qnst::blobsis::kDamaged;
using qnst::blobsis::valid_hash;

namespace {

constexpr const char *kFsckTable = "id_ref_fsck";

DB_ENV *env_of(const qnst_blobsis *part) { return part ? part->env : nullptr; }

// The reference table a call names; null when it is not open.
DB *ref_table(const qnst_blobsis *part, int32_t fsck) {
    if (!part) return nullptr;
    return fsck ? part->id_ref_fsck : part->id_ref;
}

// Copies a positioned (id, count) record out; the end of the table gives id 0.
int take_idref(int rc, const DBT &k, const DBT &d, const uint8_t *kb, const uint8_t *db,
               uint64_t *id, uint32_t *count) {
    *id = 0;
    *count = 0;
    if (rc == DB_NOTFOUND) return 0;
    if (rc) return rc;
    if (k.size != 8 || d.size != 4) return kDamaged;
    *id = qnst::load_le64(kb);
    *count = qnst::load_le32(db);
    return 0;
}

int take_idinfo(int rc, const DBT &k, const DBT &d, const uint8_t *kb, const uint8_t *rec,
                uint64_t *id, uint64_t *size, uint32_t *hashlen, void *hash) {
    *id = 0;
    *size = 0;
    *hashlen = 0;
    if (rc == DB_NOTFOUND) return 0;
    if (rc) return rc;
    Info info;
    if (k.size != 8 || !info.unpack(rec, d.size)) return kDamaged;
    *id = qnst::load_le64(kb);
    *size = info.size;
    *hashlen = info.hashlen;
    std::memcpy(hash, info.hash, info.hashlen);
    return 0;
}

int take_hashid(int rc, const DBT &k, const DBT &d, const uint8_t *db, uint64_t *id,
                uint32_t *hashlen) {
    *id = 0;
    if (rc == DB_NOTFOUND) {
        *hashlen = 0;
        return 0;
    }
    if (rc) return rc;
    if (d.size != 8) return kDamaged;
    *id = qnst::load_le64(db);
    *hashlen = k.size;
    return 0;
}

// Opens a cursor on `db` and runs `position` on it. On success the cursor goes to the caller;
// on failure it is closed and the code logged.
template <typename Position>
int start_walk(qnst_blobsis *part, DB *db, DB_TXN *txn, DBC **cursor, Position position) {
    *cursor = nullptr;
    qnst::Cursor c;
    int rc = c.open(db, txn, 0);
    if (rc == 0) rc = position(c.get());
    if (rc) return QNST_FAIL(part->env, rc);
    *cursor = c.release();
    return 0;
}

}  // namespace

int qnst_blob_getref(qnst_blobsis *part, DB_TXN *txn, int32_t fsck, uint64_t id,
                     uint32_t *count) {
    *count = 0;
    DB *db = ref_table(part, fsck);
    if (!db) return QNST_FAIL(env_of(part), EINVAL);
    const int rc = qnst::blobsis::get_word(db, txn, id, 0, count);
    return QNST_FAIL(part->env, rc);
}

int qnst_blob_setref(qnst_blobsis *part, DB_TXN *txn, int32_t fsck, uint64_t id, uint32_t count) {
    DB *db = ref_table(part, fsck);
    if (!db) return QNST_FAIL(env_of(part), EINVAL);
    return QNST_FAIL(part->env, qnst::blobsis::put_word(db, txn, id, count, 0));
}

int qnst_blob_store_idref(qnst_blobsis *part, DB_TXN *txn, uint64_t id, int32_t fsck) {
    DB *db = ref_table(part, fsck);
    if (!db) return QNST_FAIL(env_of(part), EINVAL);
    return QNST_FAIL(part->env, qnst::blobsis::put_word(db, txn, id, 0, DB_NOOVERWRITE));
}

int qnst_blob_purge_idref(qnst_blobsis *part, DB_TXN *txn, uint64_t id, int32_t fsck) {
    DB *db = ref_table(part, fsck);
    if (!db) return QNST_FAIL(env_of(part), EINVAL);
    IdKey key(id);
    DBT k = key.dbt();
    return QNST_FAIL(part->env, db->del(db, txn, &k, 0));
}

int qnst_blob_store_hashid(qnst_blobsis *part, DB_TXN *txn, uint64_t id, const void *hash,
                           uint32_t hashlen) {
    if (!part || !part->hash_id || !valid_hash(hash, hashlen) || id == 0)
        return QNST_FAIL(env_of(part), EINVAL);
    IdKey data(id);
    DBT k = user_dbt(const_cast<void *>(hash), hashlen);
    DBT d = data.dbt();
    return QNST_FAIL(part->env, part->hash_id->put(part->hash_id, txn, &k, &d, 0));
}

int qnst_blob_purge_hashid(qnst_blobsis *part, DB_TXN *txn, const void *hash, uint32_t hashlen) {
    if (!part || !part->hash_id || !valid_hash(hash, hashlen))
        return QNST_FAIL(env_of(part), EINVAL);
    DBT k = user_dbt(const_cast<void *>(hash), hashlen);
    return QNST_FAIL(part->env, part->hash_id->del(part->hash_id, txn, &k, 0));
}

int qnst_blob_purge_idinfo(qnst_blobsis *part, DB_TXN *txn, uint64_t id) {
    if (!part || !part->id_info) return QNST_FAIL(env_of(part), EINVAL);
    IdKey key(id);
    DBT k = key.dbt();
    return QNST_FAIL(part->env, part->id_info->del(part->id_info, txn, &k, 0));
}

int qnst_blob_walk_idref(qnst_blobsis *part, DB_TXN *txn, int32_t fsck, DBC **cursor,
                         uint64_t *id, uint32_t *count) {
    *cursor = nullptr;
    DB *db = ref_table(part, fsck);
    if (!db) return QNST_FAIL(env_of(part), EINVAL);
    return start_walk(part, db, txn, cursor, [&](DBC *c) {
        uint8_t kb[8], vb[4];
        qnst::store_le64(kb, *id);
        DBT k = user_dbt(kb, sizeof kb);
        DBT d = user_dbt(vb, 0, sizeof vb);
        return take_idref(c->get(c, &k, &d, DB_SET_RANGE), k, d, kb, vb, id, count);
    });
}

int qnst_blob_next_idref(qnst_blobsis *part, DBC *cursor, uint64_t *id, uint32_t *count) {
    if (!cursor) return QNST_FAIL(env_of(part), EINVAL);
    uint8_t kb[8], vb[4];
    DBT k = user_dbt(kb, 0, sizeof kb);
    DBT d = user_dbt(vb, 0, sizeof vb);
    const int rc = take_idref(cursor->get(cursor, &k, &d, DB_NEXT), k, d, kb, vb, id, count);
    return QNST_FAIL(env_of(part), rc);
}

int qnst_blob_walk_idinfo(qnst_blobsis *part, DB_TXN *txn, DBC **cursor, uint64_t *id,
                          uint64_t *size, uint32_t *hashlen, void *hash) {
    *cursor = nullptr;
    if (!part || !part->id_info) return QNST_FAIL(env_of(part), EINVAL);
    return start_walk(part, part->id_info, txn, cursor, [&](DBC *c) {
        uint8_t kb[8], rec[QNST_BLOB_INFO_SIZE];
        qnst::store_le64(kb, *id);
        DBT k = user_dbt(kb, sizeof kb);
        DBT d = user_dbt(rec, 0, sizeof rec);
        return take_idinfo(c->get(c, &k, &d, DB_SET_RANGE), k, d, kb, rec, id, size, hashlen,
                           hash);
    });
}

int qnst_blob_next_idinfo(qnst_blobsis *part, DBC *cursor, uint64_t *id, uint64_t *size,
                          uint32_t *hashlen, void *hash) {
    if (!cursor) return QNST_FAIL(env_of(part), EINVAL);
    uint8_t kb[8], rec[QNST_BLOB_INFO_SIZE];
    DBT k = user_dbt(kb, 0, sizeof kb);
    DBT d = user_dbt(rec, 0, sizeof rec);
    const int rc =
        take_idinfo(cursor->get(cursor, &k, &d, DB_NEXT), k, d, kb, rec, id, size, hashlen, hash);
    return QNST_FAIL(env_of(part), rc);
}

int qnst_blob_walk_hashid(qnst_blobsis *part, DB_TXN *txn, DBC **cursor, uint64_t *id,
                          uint32_t startlen, uint32_t *hashlen, void *hash) {
    *cursor = nullptr;
    *id = 0;
    const uint32_t capacity = *hashlen;
    if (!part || !part->hash_id || startlen > capacity || (capacity != 0 && !hash))
        return QNST_FAIL(env_of(part), EINVAL);
    return start_walk(part, part->hash_id, txn, cursor, [&](DBC *c) {
        uint8_t vb[8];
        DBT k = user_dbt(hash, startlen, capacity);
        DBT d = user_dbt(vb, 0, sizeof vb);
        return take_hashid(c->get(c, &k, &d, DB_SET_RANGE), k, d, vb, id, hashlen);
    });
}

int qnst_blob_next_hashid(qnst_blobsis *part, DBC *cursor, uint64_t *id, uint32_t *hashlen,
                          void *hash) {
    *id = 0;
    if (!cursor || (*hashlen != 0 && !hash)) return QNST_FAIL(env_of(part), EINVAL);
    uint8_t vb[8];
    DBT k = user_dbt(hash, 0, *hashlen);
    DBT d = user_dbt(vb, 0, sizeof vb);
    const int rc = take_hashid(cursor->get(cursor, &k, &d, DB_NEXT), k, d, vb, id, hashlen);
    return QNST_FAIL(env_of(part), rc);
}

int qnst_blob_done(qnst_blobsis *part, DBC *cursor) {
    (void)part;
    if (cursor) (void)cursor->close(cursor);  // the walk is over whatever the close says
    return 0;
}

int qnst_blobsis_open_fsck(qnst_blobsis *part, const char *file, int32_t reset) {
    if (!part || !part->env || !part->seq_db || !file) return QNST_FAIL(env_of(part), EINVAL);
    if (part->id_ref_fsck) return QNST_FAIL(part->env, EINVAL);
    int rc = 0;
    if (reset) {
        rc = part->env->dbremove(part->env, nullptr, file, kFsckTable, DB_AUTO_COMMIT);
        if (rc != 0 && rc != ENOENT) return QNST_FAIL(part->env, rc);
    }
    if ((rc = db_create(&part->id_ref_fsck, part->env, 0)) != 0) {
        part->id_ref_fsck = nullptr;
        return QNST_FAIL(part->env, rc);
    }
    rc = qnst::open_table(part->id_ref_fsck, file, kFsckTable, DB_BTREE);
    if (rc) {
        QNST_FAIL(part->env, rc);
        qnst_blobsis_close_fsck(part, file, reset);
    }
    return rc;
}

int qnst_blobsis_close_fsck(qnst_blobsis *part, const char *file, int32_t remove) {
    if (!part) return 0;
    qnst::close_db(&part->id_ref_fsck);
    // A table that cannot be dropped now is dropped by the next check's reset.
    if (remove && file && part->env)
        (void)part->env->dbremove(part->env, nullptr, file, kFsckTable, DB_AUTO_COMMIT);
    return 0;
}
