// The cache store's table handles and the partition's histogram of reference counts.
#include <cerrno>

#include "qnst_csis.h"
#include "qnst_csis.hpp"
#include "qnst_sis.hpp"

QNST_SOURCE("qnst/blksis/qnst_csis");

namespace {

constexpr uint32_t kRecordLength = 4;

int set_histogram_layout(DB *db) { return db->set_re_len(db, kRecordLength); }

// Creates every bucket record that is missing (count 0) and the end mark, all in one
// transaction; existing counts stay.
int fill_histogram(qnst_sis *part) {
    DB *db = part->histdb;
    qnst::TxnGuard guard;
    int rc = qnst_txn_begin(part->env, nullptr, guard.out());
    if (rc) return rc;
    for (db_recno_t b = 1; b <= QNST_CSIS_HIST_MARK_RECNO; ++b) {
        uint8_t buf[kRecordLength];
        qnst::store_le32(buf, b == QNST_CSIS_HIST_MARK_RECNO ? QNST_CSIS_HIST_MARK : 0);
        DBT k = qnst::user_dbt(&b, sizeof b);
        DBT d = qnst::user_dbt(buf, sizeof buf);
        rc = db->put(db, guard.get(), &k, &d, DB_NOOVERWRITE);
        if (rc != 0 && rc != DB_KEYEXIST) return rc;
    }
    return guard.commit(1);
}

int32_t capped(int64_t bucket) {
    return bucket > QNST_CSIS_HIST_BUCKETS ? QNST_CSIS_HIST_BUCKETS : static_cast<int32_t>(bucket);
}

}  // namespace

int qnst_csis_create(qnst_sis *part, DB_ENV *env, qnst_dfile *) {
    part->wmark = 1;
    for (DB **db : {&part->cachedb, &part->stqdb, &part->hdqdb, &part->histdb}) {
        const int rc = db_create(db, env, 0);
        if (rc) {
            *db = nullptr;
            qnst_csis_close(part);
            return QNST_FAIL(env, rc);
        }
    }
    return 0;
}

int qnst_csis_close(qnst_sis *part) {
    for (DB **db : {&part->cachedb, &part->stqdb, &part->hdqdb, &part->histdb}) {
        qnst::close_db(db);
    }
    return 0;
}

int qnst_csis_histopen(qnst_sis *part, const char *name, const char *cpath, int32_t init) {
    DB_ENV *env = part->env;
    const qnst::Name file(qnst::make_name("%shist_%s.db", cpath ? cpath : "", name));
    if (!file) return QNST_FAIL(env, ENOMEM);
    int rc = set_histogram_layout(part->histdb);
    if (rc) return QNST_FAIL(env, rc);
    if (!init) {
        rc = part->histdb->open(part->histdb, nullptr, file.p, nullptr, DB_QUEUE,
                                DB_THREAD | DB_AUTO_COMMIT, 0);
        if (rc == 0) return 0;
        if (rc != ENOENT) return QNST_FAIL(env, rc);
        // A handle whose open failed cannot be opened again: start over with a fresh one.
        qnst::close_db(&part->histdb);
        if ((rc = db_create(&part->histdb, env, 0)) != 0) {
            part->histdb = nullptr;
            return QNST_FAIL(env, rc);
        }
        if ((rc = set_histogram_layout(part->histdb)) != 0) return QNST_FAIL(env, rc);
    }
    rc = qnst::open_table(part->histdb, file.p, nullptr, DB_QUEUE);
    if (rc) return QNST_FAIL(env, rc);
    return QNST_FAIL(env, fill_histogram(part));
}

int qnst_csis_histget(qnst_sis *part, int32_t bucket, uint32_t *count) {
    if (bucket < 1) return QNST_FAIL(part->env, EINVAL);
    db_recno_t recno = static_cast<db_recno_t>(bucket);
    uint8_t buf[kRecordLength];
    DBT k = qnst::user_dbt(&recno, sizeof recno);
    DBT d = qnst::user_dbt(buf, 0, sizeof buf);
    const int rc = qnst::sized(part->histdb->get(part->histdb, nullptr, &k, &d, 0), d, sizeof buf);
    if (rc) return QNST_FAIL(part->env, rc);
    *count = qnst::load_le32(buf);
    return 0;
}

int qnst_csis_histupdate(qnst_sis *part, DB_TXN *txn, int32_t bucket, int32_t delta) {
    DB_ENV *env = part->env;
    if (bucket < 0) return QNST_FAIL(env, EINVAL);
    if (bucket == 0) return 0;
    db_recno_t recno = static_cast<db_recno_t>(capped(bucket));
    uint8_t buf[kRecordLength];
    DBT k = qnst::user_dbt(&recno, sizeof recno);
    DBT d = qnst::user_dbt(buf, 0, sizeof buf);
    int rc = qnst::sized(part->histdb->get(part->histdb, txn, &k, &d, DB_RMW), d, sizeof buf);
    if (rc) return QNST_FAIL(env, rc);
    qnst::store_le32(buf, qnst::load_le32(buf) + static_cast<uint32_t>(delta));
    d = qnst::user_dbt(buf, sizeof buf);
    rc = part->histdb->put(part->histdb, txn, &k, &d, 0);
    return QNST_FAIL(env, rc);
}

int qnst_csis_holdhist(qnst_sis *part, DB_TXN *txn, int32_t count, uint32_t counted) {
    DB_ENV *env = part->env;
    if (count < 1) return QNST_FAIL(env, EINVAL);
    const int32_t old = capped(int64_t{count} - 1);
    const int32_t now = capped(count);
    if (counted && old == now) return 0;
    if (counted && old > 0) {
        const int rc = qnst_csis_histupdate(part, txn, old, -1);
        if (rc) return rc;
    }
    return qnst_csis_histupdate(part, txn, now, +1);
}

int qnst_csis_relehist(qnst_sis *part, DB_TXN *txn, int32_t count, uint32_t counted) {
    DB_ENV *env = part->env;
    if (count < 0) return QNST_FAIL(env, EINVAL);
    const int32_t old = capped(int64_t{count} + 1);
    const int32_t now = capped(count);
    if (counted && old == now) return 0;
    if (counted) {
        const int rc = qnst_csis_histupdate(part, txn, old, -1);
        if (rc) return rc;
    }
    if (count == 0) return 0;
    return qnst_csis_histupdate(part, txn, now, +1);
}
