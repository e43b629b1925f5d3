#include "qnst_dfile.h"

#include "qnst_dfile_usage.hpp"
#include "qnst_internal.hpp"

QNST_SOURCE("qnst/dfile/qnst_dfile");

namespace {

constexpr uint32_t kRecordLength = 32;
constexpr uint32_t kBatch = 128;  // records pre-created per transaction

struct DfileRecord {
    uint32_t ver = 1, over = 1;
    uint64_t coff = 0, ooff = 0, used = 0;

    void pack(uint8_t *p) const { qnst::store_le_fields(p, ver, over, coff, ooff, used); }
    static DfileRecord unpack(const uint8_t *p) {
        DfileRecord r;
        qnst::load_le_fields(p, r.ver, r.over, r.coff, r.ooff, r.used);
        return r;
    }
};

int read_record(qnst_dfile *h, DB_TXN *txn, uint32_t dindex, uint32_t flags, DfileRecord *out) {
    db_recno_t recno = dindex + 1;
    uint8_t buf[kRecordLength];
    DBT key = qnst::user_dbt(&recno, sizeof recno);
    DBT data = qnst::user_dbt(buf, 0, sizeof buf);
    const int rc = qnst::sized(h->db->get(h->db, txn, &key, &data, flags), data, sizeof buf);
    if (rc == 0) *out = DfileRecord::unpack(buf);
    return rc;
}

int write_record(qnst_dfile *h, DB_TXN *txn, uint32_t dindex, const DfileRecord &r,
                 uint32_t flags) {
    db_recno_t recno = dindex + 1;
    uint8_t buf[kRecordLength];
    r.pack(buf);
    DBT key = qnst::user_dbt(&recno, sizeof recno);
    DBT data = qnst::user_dbt(buf, sizeof buf);
    return h->db->put(h->db, txn, &key, &data, flags);
}

// Puts fresh records for data files [first, first + kBatch) in one transaction; records that
// exist keep their values.
int precreate_batch(qnst_dfile *h, uint32_t first) {
    qnst::TxnGuard guard;
    int rc = qnst_txn_begin(h->dbenv, nullptr, guard.out());
    if (rc) return QNST_FAIL(h->dbenv, rc);
    for (uint32_t i = 0; i < kBatch; ++i) {
        rc = write_record(h, guard.get(), first + i, DfileRecord{}, DB_NOOVERWRITE);
        if (rc == DB_KEYEXIST) continue;
        if (rc) return QNST_FAIL(h->dbenv, rc);  // the guard aborts; the put's code is reported
    }
    rc = guard.commit();
    return QNST_FAIL(h->dbenv, rc);
}

}  // namespace

int qnst_dfile_create(qnst_dfile *h, DB_ENV *dbenv, uint32_t nfiles) {
    std::memset(h, 0, sizeof *h);
    h->dbenv = dbenv;
    h->nfiles = nfiles;
    const int rc = db_create(&h->db, dbenv, 0);
    if (rc) {
        h->db = nullptr;
        qnst_dfile_close(h);
    }
    return QNST_FAIL(dbenv, rc);
}

int qnst_dfile_open(qnst_dfile *h, const char *file, int32_t init) {
    int rc = h->db->set_re_len(h->db, kRecordLength);
    if (rc) return QNST_FAIL(h->dbenv, rc);
    if ((rc = qnst::open_table(h->db, file, nullptr, DB_QUEUE))) return QNST_FAIL(h->dbenv, rc);
    if (!init) return 0;
    const uint32_t batches = h->nfiles / kBatch + (h->nfiles % kBatch ? 1 : 0);
    for (uint32_t b = 0; b < batches; ++b)
        if ((rc = precreate_batch(h, b * kBatch))) return rc;  // logged where it failed
    return 0;
}

int qnst_dfile_close(qnst_dfile *h) {
    qnst::close_db(&h->db);
    return 0;
}

int qnst_dfile_remove(DB_ENV *dbenv, const char *file) {
    const int rc = dbenv->dbremove(dbenv, nullptr, file, nullptr, DB_AUTO_COMMIT);
    return QNST_FAIL(dbenv, rc);
}

int qnst_dfile_get(qnst_dfile *h, DB_TXN *txn, uint32_t dindex, uint32_t *ver, uint32_t *over,
                   uint64_t *coff, uint64_t *ooff, uint64_t *used, uint32_t flags) {
    DfileRecord r;
    const int rc = read_record(h, txn, dindex, flags, &r);
    if (rc) return QNST_FAIL(h->dbenv, rc);
    *ver = r.ver;
    *over = r.over;
    *coff = r.coff;
    *ooff = r.ooff;
    *used = r.used;
    return 0;
}

int qnst_dfile_set(qnst_dfile *h, DB_TXN *txn, uint32_t dindex, uint32_t ver, uint32_t over,
                   uint64_t coff, uint64_t ooff, uint64_t used) {
    const int rc = write_record(h, txn, dindex, DfileRecord{ver, over, coff, ooff, used}, 0);
    return QNST_FAIL(h->dbenv, rc);
}

int qnst_dfile_usage(qnst_dfile *h, DB_TXN *txn, uint32_t dindex, uint64_t new_coff,
                     int64_t delta, uint64_t *growth) {
    DfileRecord r;
    int rc = read_record(h, txn, dindex, DB_RMW, &r);
    if (rc) return QNST_FAIL(h->dbenv, rc);
    r.used += static_cast<uint64_t>(delta);
    const uint64_t grown = new_coff - r.coff;
    if (new_coff) r.coff = new_coff;
    rc = write_record(h, txn, dindex, r, 0);
    if (rc) return QNST_FAIL(h->dbenv, rc);
    if (new_coff) *growth = grown;
    return 0;
}
