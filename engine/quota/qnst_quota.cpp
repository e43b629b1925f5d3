#include "qnst_quota.h"

#include <cerrno>
#include <cstdlib>

#include "qnst_internal.hpp"

QNST_SOURCE("qnst/quota/qnst_quota");

namespace {

constexpr uint32_t kRecordSize = 16;

struct QuotaRecord {
    int64_t limit = 0, current = 0;
};

int read_record(qn_quotarec *h, DB_TXN *txn, uint32_t id, QuotaRecord *out) {
    uint8_t kb[4], vb[kRecordSize];
    qnst::store_le32(kb, id);
    DBT key = qnst::user_dbt(kb, sizeof kb);
    DBT data = qnst::user_dbt(vb, 0, sizeof vb);
    const int rc = h->db->get(h->db, txn, &key, &data, DB_RMW);
    if (rc) return rc;
    out->limit = static_cast<int64_t>(qnst::load_le64(vb));
    out->current = static_cast<int64_t>(qnst::load_le64(vb + 8));
    return 0;
}

int write_record(qn_quotarec *h, DB_TXN *txn, uint32_t id, const QuotaRecord &r) {
    uint8_t kb[4], vb[kRecordSize];
    qnst::store_le32(kb, id);
    qnst::store_le64(vb, static_cast<uint64_t>(r.limit));
    qnst::store_le64(vb + 8, static_cast<uint64_t>(r.current));
    DBT key = qnst::user_dbt(kb, sizeof kb);
    DBT data = qnst::user_dbt(vb, sizeof vb);
    return h->db->put(h->db, txn, &key, &data, 0);
}

}  // namespace

int qn_quota_create(qn_quotarec **handle, DB_ENV *dbenv) {
    *handle = nullptr;
    auto *h = static_cast<qn_quotarec *>(std::calloc(1, sizeof(qn_quotarec)));
    if (!h) return ENOMEM;
    h->dbenv = dbenv;
    if (int rc = db_create(&h->db, dbenv, 0)) {
        std::free(h);
        return QNST_FAIL(dbenv, rc);
    }
    *handle = h;
    return 0;
}

int qn_quota_open(qn_quotarec *handle) {
    // No file name: the database lives in the environment's cache.
    return QNST_FAIL(handle->dbenv, qnst::open_table(handle->db, nullptr, "quota", DB_HASH));
}

int qn_quota_close(qn_quotarec *handle) {
    if (!handle) return 0;
    if (handle->db) (void)handle->db->close(handle->db, 0);  // the handle is gone either way
    std::free(handle);
    return 0;
}

int qn_quota_init(qn_quotarec *handle, DB_TXN *txn, uint32_t id, int64_t limit,
                  int64_t current) {
    return QNST_FAIL(handle->dbenv, write_record(handle, txn, id, {limit, current}));
}

int qn_quota_modify(qn_quotarec *handle, DB_TXN *txn, uint32_t id, int64_t delta) {
    QuotaRecord r;
    if (int rc = read_record(handle, txn, id, &r)) return QNST_FAIL(handle->dbenv, rc);
    const int64_t sum = qnst::saturating_add(r.current, delta);
    // A decrease is always let through, so that usage above a lowered limit can come down.
    if (delta >= 0 && sum > r.limit) return QN_QUOTA_EXCEEDED;
    r.current = sum;
    return QNST_FAIL(handle->dbenv, write_record(handle, txn, id, r));
}

int qn_quota_get(qn_quotarec *handle, DB_TXN *txn, uint32_t id, int64_t *current) {
    QuotaRecord r;
    if (int rc = read_record(handle, txn, id, &r)) return QNST_FAIL(handle->dbenv, rc);
    *current = r.current;
    return 0;
}
