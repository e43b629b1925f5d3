// The ACL store: lifecycle, handles, and the store, read, hold and release of one ACL.
#include "qnst_aclsis.h"

#include <cerrno>
#include <cstdlib>

#include "qnst_internal.hpp"

QNST_SOURCE("qnst/aclsis/qnst_aclsis");

namespace {

using qnst::close_db;

int open_table(DB *db, const char *file, const char *name) {
    return qnst::open_table(db, file, name, DB_BTREE);
}

int open_sequence(qnst_aclsisrec *store) {
    static_assert(QNST_ACL_SEQ_MIN == 1, "sequences start at 1");
    return qnst::open_sequence(store->seqdb, &store->seq, QNST_ACL_SEQ_MAX, QNST_ACL_SEQ_INITIAL,
                               QNST_ACL_SEQ_CACHE);
}

bool is_open(const qnst_aclsisrec *store) {
    return store->seq && store->hashdb && store->refdb && store->objdb;
}

// A handle as a key: its 8 bytes in memory order.
struct HandleKey {
    uint8_t bytes[8];
    explicit HandleKey(uint64_t handle) { qnst::store_le64(bytes, handle); }
    DBT dbt() { return qnst::user_dbt(bytes, sizeof bytes); }
};

int put_new(DB *db, DB_TXN *txn, DBT *key, void *data, uint32_t size) {
    DBT d = qnst::user_dbt(data, size);
    return db->put(db, txn, key, &d, DB_NOOVERWRITE);
}

// Reads the reference count with a write lock. A record that is not a 4-byte count is damaged;
// a store that is not open has no counts.
int read_count(qnst_aclsisrec *store, DB_TXN *txn, uint64_t handle, uint32_t *count) {
    if (!is_open(store)) return EINVAL;
    HandleKey k(handle);
    uint8_t buf[4];
    DBT key = k.dbt();
    DBT data = qnst::user_dbt(buf, 0, sizeof buf);
    int rc = store->refdb->get(store->refdb, txn, &key, &data, DB_RMW);
    rc = qnst::sized(rc, data, sizeof buf);
    if (rc == 0) *count = qnst::load_le32(buf);
    return rc;
}

int write_count(qnst_aclsisrec *store, DB_TXN *txn, uint64_t handle, uint32_t count) {
    HandleKey k(handle);
    uint8_t buf[4];
    qnst::store_le32(buf, count);
    DBT key = k.dbt();
    DBT data = qnst::user_dbt(buf, sizeof buf);
    return store->refdb->put(store->refdb, txn, &key, &data, 0);
}

int delete_record(DB *db, DB_TXN *txn, DBT *key) { return db->del(db, txn, key, 0); }

// The last reference is gone: the count, the object record and the hash-index entry go, in that
// order. The object record is read first for the hash it carries.
int delete_acl(qnst_aclsisrec *store, DB_TXN *txn, uint64_t handle) {
    DB_ENV *env = store->env;
    HandleKey k(handle);
    DBT key = k.dbt();
    int rc = delete_record(store->refdb, txn, &key);
    if (rc) return QNST_FAIL(env, rc);
    const void *hash = nullptr, *acl = nullptr;
    uint32_t hashlen = 0, acllen = 0;
    void *buf = nullptr;
    rc = qnst_acl_read(store, txn, handle, &hash, &hashlen, &acl, &acllen, &buf);
    if (rc) return QNST_FAIL(env, rc);
    rc = delete_record(store->objdb, txn, &key);
    if (rc == 0) {
        DBT hkey = qnst::user_dbt(const_cast<void *>(hash), hashlen);
        rc = delete_record(store->hashdb, txn, &hkey);
    }
    qnst_acl_datafree(buf);
    return QNST_FAIL(env, rc);
}

}  // namespace

int qnst_aclsis_create(qnst_aclsisrec *store, DB_ENV *env) {
    std::memset(store, 0, sizeof *store);
    store->env = env;
    DB **tables[] = {&store->seqdb, &store->refdb, &store->hashdb, &store->objdb};
    for (DB **db : tables) {
        if (const int rc = db_create(db, env, 0)) {
            *db = nullptr;
            qnst_aclsis_close(store);
            return QNST_FAIL(env, rc);
        }
    }
    return 0;
}

int qnst_aclsis_open(qnst_aclsisrec *store, const char *dbfile, int32_t /*init*/) {
    DB_ENV *env = store->env;
    if (!store->seqdb || !store->refdb || !store->hashdb || !store->objdb || store->seq)
        return QNST_FAIL(env, EINVAL);
    int rc = open_table(store->seqdb, dbfile, "seq");
    if (rc == 0) rc = open_sequence(store);
    if (rc == 0) rc = open_table(store->refdb, dbfile, "id_ref");
    if (rc == 0) rc = open_table(store->hashdb, dbfile, "hash_id");
    if (rc == 0) rc = open_table(store->objdb, dbfile, "id_df");
    return QNST_FAIL(env, rc);
}

int qnst_aclsis_close(qnst_aclsisrec *store) {
    if (store->seq) (void)store->seq->close(store->seq, 0);  // nothing to do about a failed close
    store->seq = nullptr;
    close_db(&store->seqdb);
    close_db(&store->refdb);
    close_db(&store->hashdb);
    close_db(&store->objdb);
    return 0;
}

int qnst_aclsis_remove(DB_ENV *env, const char *dbfile) {
    return QNST_FAIL(env, env->dbremove(env, nullptr, dbfile, nullptr, DB_AUTO_COMMIT));
}

int qnst_acl_gen_handle(qnst_aclsisrec *store, uint64_t *handle) {
    if (!store->seq) return QNST_FAIL(store->env, EINVAL);
    db_seq_t value = 0;
    const int rc = store->seq->get(store->seq, nullptr, 1, &value, DB_TXN_NOSYNC);
    if (rc) return QNST_FAIL(store->env, rc);
    *handle = static_cast<uint64_t>(value);
    return 0;
}

int qnst_acl_store(qnst_aclsisrec *store, DB_TXN *txn, const void *hash, uint32_t hashlen,
                   const void *acl, int32_t acllen, uint64_t *handle) {
    DB_ENV *env = store->env;
    // Everything that could make the record wrong is refused before a handle is taken.
    const uint64_t size = uint64_t{QNST_ACL_OBJ_HEADER} + hashlen + static_cast<uint64_t>(acllen);
    if (acllen < 0 || size > UINT32_MAX || (!hash && hashlen) || (!acl && acllen) ||
        !is_open(store))
        return QNST_FAIL(env, EINVAL);

    uint64_t h = 0;
    int rc = qnst_acl_gen_handle(store, &h);
    if (rc) return QNST_FAIL(env, rc);
    *handle = h;

    HandleKey k(h);
    DBT hkey = qnst::user_dbt(const_cast<void *>(hash), hashlen);
    if ((rc = put_new(store->hashdb, txn, &hkey, k.bytes, sizeof k.bytes))) return QNST_FAIL(env, rc);

    DBT key = k.dbt();
    uint8_t one[4];
    qnst::store_le32(one, 1);
    if ((rc = put_new(store->refdb, txn, &key, one, sizeof one))) return QNST_FAIL(env, rc);

    auto *record = static_cast<uint8_t *>(std::malloc(size));
    if (!record) return QNST_FAIL(env, ENOMEM);
    qnst::store_le32(record, hashlen);
    qnst::store_le32(record + 4, static_cast<uint32_t>(acllen));
    if (hashlen) std::memcpy(record + QNST_ACL_OBJ_HEADER, hash, hashlen);
    if (acllen) std::memcpy(record + QNST_ACL_OBJ_HEADER + hashlen, acl, acllen);
    rc = put_new(store->objdb, txn, &key, record, static_cast<uint32_t>(size));
    std::free(record);
    return QNST_FAIL(env, rc);
}

int qnst_acl_lookup(qnst_aclsisrec *store, DB_TXN *txn, const void *hash, uint32_t hashlen,
                    uint64_t *handle) {
    if (!is_open(store) || (!hash && hashlen)) return QNST_FAIL(store->env, EINVAL);
    uint8_t buf[8];
    DBT key = qnst::user_dbt(const_cast<void *>(hash), hashlen);
    DBT data = qnst::user_dbt(buf, 0, sizeof buf);
    int rc = store->hashdb->get(store->hashdb, txn, &key, &data, DB_RMW);
    if (rc == DB_NOTFOUND) {
        *handle = 0;
        return 0;
    }
    rc = qnst::sized(rc, data, sizeof buf);
    if (rc) return QNST_FAIL(store->env, rc);
    *handle = qnst::load_le64(buf);
    return 0;
}

int qnst_acl_read(qnst_aclsisrec *store, DB_TXN *txn, uint64_t handle, const void **hash,
                  uint32_t *hashlen, const void **acl, uint32_t *acllen, void **buf) {
    DB_ENV *env = store->env;
    if (!is_open(store)) return QNST_FAIL(env, EINVAL);
    HandleKey k(handle);
    DBT key = k.dbt();
    // A zero-capacity read only learns the record's size.
    DBT probe = qnst::user_dbt(nullptr, 0, 0);
    int rc = store->objdb->get(store->objdb, txn, &key, &probe, DB_RMW);
    if (rc == 0) return QNST_FAIL(env, qnst::kDamaged);  // an empty record: not even the lengths
    if (rc != DB_BUFFER_SMALL) return rc;
    const uint32_t size = probe.size;
    auto *record = static_cast<uint8_t *>(std::malloc(size));
    if (!record) return QNST_FAIL(env, ENOMEM);
    DBT data = qnst::user_dbt(record, 0, size);
    rc = store->objdb->get(store->objdb, txn, &key, &data, DB_RMW);
    // The lengths place the caller's pointers inside the buffer: they must account for it exactly.
    if (rc == 0 && (data.size < QNST_ACL_OBJ_HEADER ||
                    uint64_t{QNST_ACL_OBJ_HEADER} + qnst::load_le32(record) +
                            qnst::load_le32(record + 4) != data.size))
        rc = qnst::kDamaged;
    if (rc) {
        std::free(record);
        return QNST_FAIL(env, rc);
    }
    *hashlen = qnst::load_le32(record);
    *acllen = qnst::load_le32(record + 4);
    *hash = record + QNST_ACL_OBJ_HEADER;
    *acl = record + QNST_ACL_OBJ_HEADER + *hashlen;
    *buf = record;
    return 0;
}

int qnst_acl_datafree(void *buf) {
    std::free(buf);
    return 0;
}

int qnst_acl_hold(qnst_aclsisrec *store, DB_TXN *txn, uint64_t handle) {
    DB_ENV *env = store->env;
    uint32_t count = 0;
    if (int rc = read_count(store, txn, handle, &count)) return QNST_FAIL(env, rc);
    // A wrapped count would read as unreferenced and never delete the ACL.
    if (count == UINT32_MAX) return QNST_FAIL(env, ENOSPC);
    return QNST_FAIL(env, write_count(store, txn, handle, count + 1));
}

int qnst_acl_rele(qnst_aclsisrec *store, DB_TXN *txn, uint64_t handle) {
    DB_ENV *env = store->env;
    uint32_t count = 0;
    if (int rc = read_count(store, txn, handle, &count)) return QNST_FAIL(env, rc);
    // An ACL is deleted when its count reaches 0, so a stored 0 is a damaged record; wrapping it
    // would keep the ACL for ever.
    if (count == 0) return QNST_FAIL(env, EINVAL);
    if (count > 1) return QNST_FAIL(env, write_count(store, txn, handle, count - 1));
    return delete_acl(store, txn, handle);
}
