// Blob store partition: life cycle, ids, references and the compaction queue.
#include "qnst_blobsis.h"

#include "qnst_blobsis.hpp"

QNST_SOURCE("qnst/blobsis/qnst_blobsis");

using qnst::close_db;
using qnst::user_dbt;
using qnst::blobsis::IdKey;
using qnst::blobsis::Info;
using qnst::blobsis::kDamaged;
using qnst::blobsis::get_word;
using qnst::blobsis::put_word;
using qnst::blobsis::valid_hash;

namespace {

int open_table(DB *db, const char *file, const char *name) {
    return qnst::open_table(db, file, name, DB_BTREE);
}

int open_sequence(qnst_blobsis *part) {
    return qnst::open_sequence(part->seq_db, &part->seq, QNST_BLOB_SEQ_MAX, QNST_BLOB_SEQ_INITIAL, QNST_BLOB_SEQ_CACHE);
}

int put_id(DB *db, DB_TXN *txn, uint64_t id, const void *data, uint32_t size, uint32_t flags) {
    IdKey key(id);
    DBT k = key.dbt();
    DBT d = user_dbt(const_cast<void *>(data), size);
    return db->put(db, txn, &k, &d, flags);
}

int del_id(DB *db, DB_TXN *txn, uint64_t id) {
    IdKey key(id);
    DBT k = key.dbt();
    return db->del(db, txn, &k, 0);
}

int get_info(qnst_blobsis *part, DB_TXN *txn, uint64_t id, uint32_t flags, Info *info) {
    IdKey key(id);
    uint8_t rec[QNST_BLOB_INFO_SIZE];
    DBT k = key.dbt();
    DBT d = user_dbt(rec, 0, sizeof rec);
    const int rc = part->id_info->get(part->id_info, txn, &k, &d, flags);
    if (rc) return rc;
    return info->unpack(rec, d.size) ? 0 : kDamaged;
}

// Frees a blob whose last reference went: its reference, info and index records go, the id is
// queued for compaction with its size, and the size is reported through *size.
int free_blob(qnst_blobsis *part, DB_TXN *txn, uint64_t id, uint64_t *size) {
    int rc = del_id(part->id_ref, txn, id);
    if (rc) return rc;
    Info info;
    if ((rc = get_info(part, txn, id, DB_RMW, &info)) != 0) return rc;
    if ((rc = del_id(part->id_info, txn, id)) != 0) return rc;
    DBT k = user_dbt(info.hash, info.hashlen);
    if ((rc = part->hash_id->del(part->hash_id, txn, &k, 0)) != 0) return rc;
    uint8_t buf[8];
    qnst::store_le64(buf, info.size);
    if ((rc = put_id(part->compactq, txn, id, buf, sizeof buf, DB_NOOVERWRITE)) != 0) return rc;
    *size = info.size;
    return 0;
}

bool is_open(const qnst_blobsis *part) { return part && part->id_ref && part->compactq; }

}  // namespace

int qnst_blobsis_create(qnst_blobsis *part, DB_ENV *env) {
    if (!part) return EINVAL;
    std::memset(part, 0, sizeof *part);
    // Without an environment the tables would open as loose files outside it.
    if (!env) return EINVAL;
    part->env = env;
    DB **handles[] = {&part->seq_db, &part->id_ref, &part->hash_id, &part->id_info,
                      &part->compactq};
    for (DB **db : handles) {
        const int rc = db_create(db, env, 0);
        if (rc) {
            *db = nullptr;
            qnst_blobsis_close(part);
            return QNST_FAIL(env, rc);
        }
    }
    return 0;
}

int qnst_blobsis_open(qnst_blobsis *part, const char *file, uint32_t flags) {
    (void)flags;
    if (!part || !part->seq_db || !part->compactq || !file)
        return QNST_FAIL(part ? part->env : nullptr, EINVAL);
    int rc = open_table(part->seq_db, file, "seq");
    if (rc) return QNST_FAIL(part->env, rc);
    if ((rc = open_sequence(part)) != 0) return QNST_FAIL(part->env, rc);
    struct {
        DB *db;
        const char *name;
    } tables[] = {{part->id_ref, "id_ref"},
                  {part->hash_id, "hash_id"},
                  {part->id_info, "id_info"},
                  {part->compactq, "compactq"}};
    for (const auto &t : tables)
        if ((rc = open_table(t.db, file, t.name)) != 0) return QNST_FAIL(part->env, rc);
    return 0;
}

int qnst_blobsis_close(qnst_blobsis *part) {
    if (!part) return 0;
    qnst_blobsis_close_fsck(part, nullptr, 0);
    if (part->seq) (void)part->seq->close(part->seq, 0);  // nothing to do about a failed close
    part->seq = nullptr;
    close_db(&part->seq_db);
    close_db(&part->id_ref);
    close_db(&part->hash_id);
    close_db(&part->id_info);
    close_db(&part->compactq);
    return 0;
}

int qnst_blobsis_remove(DB_ENV *env, const char *file) {
    if (!env || !file) return EINVAL;
    return QNST_FAIL(env, env->dbremove(env, nullptr, file, nullptr, DB_AUTO_COMMIT));
}

int qnst_blob_gen_handle(qnst_blobsis *part, uint64_t *id) {
    *id = 0;
    if (!part || !part->seq) return QNST_FAIL(part ? part->env : nullptr, EINVAL);
    db_seq_t value = 0;
    const int rc = part->seq->get(part->seq, nullptr, 1, &value, DB_TXN_NOSYNC);
    if (rc) return QNST_FAIL(part->env, rc);
    *id = static_cast<uint64_t>(value);
    return 0;
}

int qnst_blob_store_hold(qnst_blobsis *part, DB_TXN *txn, const void *hash, uint32_t hashlen,
                         uint64_t size, uint64_t id, uint32_t count) {
    // Id 0 means "no blob": a blob stored under it could never be found, and its hash would be
    // taken for good.
    if (!is_open(part) || !valid_hash(hash, hashlen) || id == 0)
        return QNST_FAIL(part ? part->env : nullptr, EINVAL);
    uint8_t idbuf[8];
    qnst::store_le64(idbuf, id);
    DBT k = user_dbt(const_cast<void *>(hash), hashlen);
    DBT d = user_dbt(idbuf, sizeof idbuf);
    int rc = part->hash_id->put(part->hash_id, txn, &k, &d, DB_NOOVERWRITE);
    if (rc == DB_KEYEXIST) return QNST_HASH_EXISTS;
    if (rc) return QNST_FAIL(part->env, rc);
    if ((rc = put_word(part->id_ref, txn, id, count, DB_NOOVERWRITE)) != 0)
        return QNST_FAIL(part->env, rc);
    Info info;
    info.size = size;
    info.hashlen = hashlen;
    std::memcpy(info.hash, hash, hashlen);
    uint8_t rec[QNST_BLOB_INFO_SIZE];
    const uint32_t recsize = info.pack(rec);
    rc = put_id(part->id_info, txn, id, rec, recsize, DB_NOOVERWRITE);
    return QNST_FAIL(part->env, rc);
}

int qnst_blob_lookup(qnst_blobsis *part, DB_TXN *txn, const void *hash, uint32_t hashlen,
                     uint64_t *id) {
    *id = 0;
    if (!is_open(part) || !valid_hash(hash, hashlen))
        return QNST_FAIL(part ? part->env : nullptr, EINVAL);
    uint8_t buf[8];
    DBT k = user_dbt(const_cast<void *>(hash), hashlen);
    DBT d = user_dbt(buf, 0, sizeof buf);
    int rc = part->hash_id->get(part->hash_id, txn, &k, &d, DB_RMW);
    if (rc == DB_NOTFOUND) return 0;
    if (rc == 0 && d.size != sizeof buf) rc = kDamaged;
    if (rc) return QNST_FAIL(part->env, rc);
    *id = qnst::load_le64(buf);
    return 0;
}

int qnst_blob_hold(qnst_blobsis *part, DB_TXN *txn, uint64_t id, int32_t fsck) {
    if (!is_open(part)) return QNST_FAIL(part ? part->env : nullptr, EINVAL);
    DB *db = fsck ? part->id_ref_fsck : part->id_ref;
    if (!db) return QNST_FAIL(part->env, EINVAL);
    uint32_t count = 0;
    int rc = get_word(db, txn, id, DB_RMW, &count);
    // One more reference would wrap the count to 0 and the next release would free a blob in use.
    if (rc == 0) rc = count == UINT32_MAX ? ENOSPC : put_word(db, txn, id, count + 1, 0);
    return QNST_FAIL(part->env, rc);
}

int qnst_blob_rele(qnst_blobsis *part, DB_TXN *txn, uint64_t id, uint64_t *released) {
    if (!is_open(part)) return QNST_FAIL(part ? part->env : nullptr, EINVAL);
    uint32_t count = 0;
    int rc = get_word(part->id_ref, txn, id, DB_RMW, &count);
    if (rc == DB_NOTFOUND) {
        QNST_MSG(part->env, "qnst_blob_rele: Unable to find id-ref for handle 0x%llx",
                 static_cast<unsigned long long>(id));
        return 0;
    }
    if (rc) return QNST_FAIL(part->env, rc);
    if (count == 0) {
        // Only a check's rebuild leaves a zero count. Taking one more away would wrap to 2^32 - 1
        // and the blob could never be freed; the count stays for the checker to settle.
        QNST_MSG(part->env, "qnst_blob_rele: Reference count of handle 0x%llx is already 0",
                 static_cast<unsigned long long>(id));
        return 0;
    }
    if (--count != 0) return QNST_FAIL(part->env, put_word(part->id_ref, txn, id, count, 0));
    uint64_t size = 0;
    if ((rc = free_blob(part, txn, id, &size)) != 0) return QNST_FAIL(part->env, rc);
    *released += size;
    return 0;
}

int qnst_blob_compactq(qnst_blobsis *part, DB_TXN *txn, uint64_t id, uint64_t size) {
    if (!is_open(part)) return QNST_FAIL(part ? part->env : nullptr, EINVAL);
    uint8_t buf[8];
    qnst::store_le64(buf, size);
    return QNST_FAIL(part->env, put_id(part->compactq, txn, id, buf, sizeof buf, DB_NOOVERWRITE));
}

int qnst_blob_get_compactq(qnst_blobsis *part, DB_TXN *txn, uint64_t *id, uint64_t *size) {
    *id = 0;
    *size = 0;
    if (!is_open(part)) return QNST_FAIL(part ? part->env : nullptr, EINVAL);
    qnst::Cursor cursor;
    int rc = cursor.open(part->compactq, txn, 0);
    if (rc) return QNST_FAIL(part->env, rc);
    uint8_t kb[8], db[8];
    DBT k = user_dbt(kb, 0, sizeof kb);
    DBT d = user_dbt(db, 0, sizeof db);
    // The write lock taken by the read stays with the transaction after the cursor is closed.
    rc = cursor->get(cursor.get(), &k, &d, DB_FIRST | DB_RMW);
    if (rc == DB_NOTFOUND) rc = 0;
    else if (rc == 0 && (k.size != sizeof kb || d.size != sizeof db)) rc = kDamaged;
    else if (rc == 0) {
        *id = qnst::load_le64(kb);
        *size = qnst::load_le64(db);
    }
    const int closed = cursor.close();
    if (rc == 0 && closed) return QNST_FAIL(part->env, closed);
    return rc;
}

int qnst_blob_del_compactq(qnst_blobsis *part, DB_TXN *txn, uint64_t id) {
    if (!is_open(part)) return EINVAL;
    return del_id(part->compactq, txn, id);
}

int qnst_blob_hashread(qnst_blobsis *part, DB_TXN *txn, uint64_t id, uint32_t *hashlen,
                       void *hash) {
    *hashlen = 0;
    if (!is_open(part)) return QNST_FAIL(part ? part->env : nullptr, EINVAL);
    Info info;
    const int rc = get_info(part, txn, id, 0, &info);
    if (rc) return QNST_FAIL(part->env, rc);
    *hashlen = info.hashlen;
    std::memcpy(hash, info.hash, info.hashlen);
    return 0;
}
