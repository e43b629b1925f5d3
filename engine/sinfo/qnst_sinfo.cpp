// The store-information table: set, get, purge and ascending listings by sino.
#include "qnst_sinfo.h"

#include <cerrno>

#include "qnst_internal.hpp"

QNST_SOURCE("qnst/sinfo/qnst_sinfo");

namespace {

struct SinfoRecord {
    uint64_t ino = 0;
    uint32_t method = 0, sgen = 0;
    uint64_t stime = 0;

    void pack(uint8_t *p) const { qnst::store_le_fields(p, ino, method, sgen, stime); }
    void unpack(const uint8_t *p) { qnst::load_le_fields(p, ino, method, sgen, stime); }
    void out(uint64_t *i, uint32_t *m, uint32_t *g, uint64_t *t) const {
        *i = ino;
        *m = method;
        *g = sgen;
        *t = stime;
    }
};

// Key and data buffers of one read; a record of another size than its layout is damaged, and so
// is one that does not fit the buffers.
struct Buffers {
    uint8_t kb[QNST_SINFO_KEY_SIZE];
    uint8_t db[QNST_SINFO_DATA_SIZE];
    DBT key = qnst::user_dbt(kb, sizeof kb);
    DBT data = qnst::user_dbt(db, 0, sizeof db);

    explicit Buffers(uint64_t sino) { qnst::store_be64(kb, sino); }
    int checked(int rc) const {
        return qnst::sized(rc, data, QNST_SINFO_DATA_SIZE);
    }
};

// One cursor step of a listing: the record found, or ino 0 when there is none.
int list_step(qnst_sinfo *h, DBC *c, uint32_t flags, uint64_t *sino, uint64_t *ino,
              uint32_t *method, uint32_t *sgen, uint64_t *stime) {
    Buffers b(*sino);
    b.key.size = flags == DB_SET_RANGE ? sizeof b.kb : 0;
    int rc = b.checked(c->get(c, &b.key, &b.data, flags));
    if (rc == DB_NOTFOUND) {
        *ino = 0;
        return 0;
    }
    if (rc == 0 && b.key.size != QNST_SINFO_KEY_SIZE) rc = qnst::kDamaged;
    if (rc) return QNST_FAIL(h->dbenv, rc);
    SinfoRecord r;
    r.unpack(b.db);
    *sino = qnst::load_be64(b.kb);
    r.out(ino, method, sgen, stime);
    return 0;
}

}  // namespace

int qnst_sinfo_create(qnst_sinfo *h, DB_ENV *dbenv) {
    std::memset(h, 0, sizeof *h);
    h->dbenv = dbenv;
    const int rc = db_create(&h->db, dbenv, 0);
    if (rc) h->db = nullptr;
    return QNST_FAIL(dbenv, rc);
}

int qnst_sinfo_open(qnst_sinfo *h, const char *file, int32_t /*init*/) {
    if (!h->db) return QNST_FAIL(h->dbenv, EINVAL);
    return QNST_FAIL(h->dbenv, qnst::open_table(h->db, file, nullptr, DB_BTREE));
}

int qnst_sinfo_close(qnst_sinfo *h) {
    qnst::close_db(&h->db, DB_NOSYNC);
    return 0;
}

int qnst_sinfo_remove(DB_ENV *dbenv, const char *file) {
    return QNST_FAIL(dbenv, dbenv->dbremove(dbenv, nullptr, file, nullptr, 0));
}

int qnst_sinfo_set(qnst_sinfo *h, DB_TXN *txn, uint64_t sino, uint64_t ino, uint32_t method,
                   uint32_t sgen, uint64_t stime) {
    // A record of inode 0 would end every listing that reaches it, hiding the records after it.
    if (!h->db || ino == 0) return QNST_FAIL(h->dbenv, EINVAL);
    Buffers b(sino);
    SinfoRecord{ino, method, sgen, stime}.pack(b.db);
    b.data.size = sizeof b.db;
    return QNST_FAIL(h->dbenv, h->db->put(h->db, txn, &b.key, &b.data, 0));
}

int qnst_sinfo_get(qnst_sinfo *h, DB_TXN *txn, uint64_t sino, uint64_t *ino, uint32_t *method,
                   uint32_t *sgen, uint64_t *stime) {
    if (!h->db) return QNST_FAIL(h->dbenv, EINVAL);
    Buffers b(sino);
    const int rc = b.checked(h->db->get(h->db, txn, &b.key, &b.data, 0));
    if (rc == DB_NOTFOUND) return rc;
    if (rc) return QNST_FAIL(h->dbenv, rc);
    SinfoRecord r;
    r.unpack(b.db);
    r.out(ino, method, sgen, stime);
    return 0;
}

int qnst_sinfo_purge(qnst_sinfo *h, DB_TXN *txn, uint64_t sino) {
    if (!h->db) return QNST_FAIL(h->dbenv, EINVAL);
    Buffers b(sino);
    return QNST_FAIL(h->dbenv, h->db->del(h->db, txn, &b.key, 0));
}

int qnst_sinfo_list(qnst_sinfo *h, DB_TXN *txn, DBC **cursor, uint64_t *sino, uint64_t *ino,
                    uint32_t *method, uint32_t *sgen, uint64_t *stime) {
    if (!h->db) return QNST_FAIL(h->dbenv, EINVAL);
    qnst::Cursor c;
    // A listing may run long inside the caller's transaction: it keeps no read locks on the
    // records it has passed, so writers of those records are not held up until it commits.
    int rc = c.open(h->db, txn, DB_READ_COMMITTED);
    if (rc) return QNST_FAIL(h->dbenv, rc);
    if ((rc = list_step(h, c.get(), DB_SET_RANGE, sino, ino, method, sgen, stime))) return rc;
    *cursor = c.release();
    return 0;
}

int qnst_sinfo_next(qnst_sinfo *h, DBC *cursor, uint64_t *sino, uint64_t *ino, uint32_t *method,
                    uint32_t *sgen, uint64_t *stime) {
    return list_step(h, cursor, DB_NEXT, sino, ino, method, sgen, stime);
}

int qnst_sinfo_end(qnst_sinfo * /*h*/, DBC *cursor) {
    if (cursor) (void)cursor->close(cursor);  // the listing is over whatever the close says
    return 0;
}
