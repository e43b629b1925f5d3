#include "qnst_inode.h"

#include <cerrno>
#include <cstdio>

#include "qnst_internal.hpp"
#include "qnst_itab.hpp"

QNST_SOURCE("qnst/inode/qnst_inode");

namespace {

constexpr char kInitRecord = 'a';
constexpr char kMiscRecord = 'b';
constexpr char kUsageRecord = '3';
constexpr int kMaxChain = 64;

// Key of a per-inode record: the inode number little-endian, then the record's letter.
struct RecordKey {
    uint8_t bytes[5];
    RecordKey(uint32_t ino, char letter) {
        qnst::store_le32(bytes, ino);
        bytes[4] = static_cast<uint8_t>(letter);
    }
    DBT dbt() { return qnst::user_dbt(bytes, sizeof bytes); }
};

// The usage record: ten counters in stored order.
struct Usage {
    enum : int { kFsCurrentQ, kFsCurrentU, kFsTotalQ, kFsTotalU, kStCurrentQ, kStCurrentU,
                 kStTotalQ, kStTotalU, kFilesCurrent, kFilesTotal, kFields };
    int64_t v[kFields] = {};

    void pack(uint8_t *p) const {
        for (int i = 0; i < kFields; ++i) qnst::store_le64(p + 8 * i, static_cast<uint64_t>(v[i]));
    }
    void unpack(const uint8_t *p) {
        for (int i = 0; i < kFields; ++i) v[i] = static_cast<int64_t>(qnst::load_le64(p + 8 * i));
    }
    // The handle's limits take the place of the stored ones.
    void take_limits(const qnst_inoderec *inode) {
        v[kFsCurrentQ] = inode->fscurrentq;
        v[kFsTotalQ] = inode->fstotalq;
        v[kStCurrentQ] = inode->stcurrentq;
        v[kStTotalQ] = inode->sttotalq;
    }
};
constexpr uint32_t kUsageSize = 8 * Usage::kFields;

qnst_itab *table_of(const qnst_inoderec *inode) {
    const qnst_itabmrec *m = inode->itabm;
    const int32_t t = static_cast<int32_t>(inode->inode) >> 28;
    return m && qnst::in_table(t, m->count) && m->tables ? &m->tables[t] : nullptr;
}

int read_usage(qnst_inoderec *inode, DB_TXN *txn, Usage *u) {
    DB *db = inode->record_db;
    if (!db) return EINVAL;
    RecordKey k(inode->inode, kUsageRecord);
    uint8_t buf[kUsageSize];
    DBT key = k.dbt();
    DBT data = qnst::user_dbt(buf, 0, sizeof buf);
    const int rc = qnst::sized(db->get(db, txn, &key, &data, DB_RMW), data, sizeof buf);
    if (rc) return rc;
    u->unpack(buf);
    u->take_limits(inode);
    return 0;
}

int write_usage(qnst_inoderec *inode, DB_TXN *txn, const Usage &u) {
    DB *db = inode->record_db;
    if (!db) return EINVAL;
    RecordKey k(inode->inode, kUsageRecord);
    uint8_t buf[kUsageSize];
    u.pack(buf);
    DBT key = k.dbt();
    DBT data = qnst::user_dbt(buf, sizeof buf);
    return db->put(db, txn, &key, &data, 0);
}

int put_marker(DB *inodes, DB_TXN *txn, uint32_t ino, char letter, uint32_t value) {
    RecordKey k(ino, letter);
    uint8_t vb[4];
    qnst::store_le32(vb, value);
    DBT key = k.dbt();
    DBT data = qnst::user_dbt(vb, sizeof vb);
    const int rc = inodes->put(inodes, txn, &key, &data, DB_NOOVERWRITE);
    return rc == DB_KEYEXIST ? 0 : rc;  // an initialised inode keeps its first value
}

int get_marker(DB *inodes, DB_TXN *txn, uint32_t ino, char letter) {
    RecordKey k(ino, letter);
    uint8_t vb[4];
    DBT key = k.dbt();
    DBT data = qnst::user_dbt(vb, 0, sizeof vb);
    return qnst::sized(inodes->get(inodes, txn, &key, &data, DB_RMW), data, sizeof vb);
}

// Writes (create) or checks the inode's markers in the table's shared "inodes" database, in
// `txn`. Learns misc mode when checking. DB_NOTFOUND for a missing 'a' is the caller's to report.
int settle_markers(qnst_inoderec *inode, DB_TXN *txn, DB *inodes, uint32_t value, bool create,
                   bool *misc) {
    DB_ENV *dbenv = inode->dbenv;
    int rc;
    if (create) {
        rc = put_marker(inodes, txn, inode->inode, kInitRecord, value);
        if (rc == 0 && *misc) rc = put_marker(inodes, txn, inode->inode, kMiscRecord, value);
        if (rc) QNST_FAIL(dbenv, rc);
    } else {
        rc = get_marker(inodes, txn, inode->inode, kMiscRecord);
        if (rc == 0) *misc = true;
        if (rc == 0 || rc == DB_NOTFOUND) {
            rc = get_marker(inodes, txn, inode->inode, kInitRecord);
            if (rc && rc != DB_NOTFOUND) QNST_FAIL(dbenv, rc);
        } else {
            QNST_FAIL(dbenv, rc);
        }
    }
    return rc;
}

// Opens "<inode in hex>" in the file of the inode's table, in `txn` (null: none).
int open_own_db(qnst_inoderec *inode, qnst_itab *itab, DB_TXN *txn, DB **out) {
    DB_ENV *dbenv = inode->dbenv;
    DB *db = nullptr;
    int rc = db_create(&db, dbenv, 0);
    if (rc) return QNST_FAIL(dbenv, rc);
    const char *file = nullptr;
    const qnst::Name name(qnst::make_name("%x", inode->inode & QNST_ITABM_MAXINO));
    if (!name)
        rc = ENOMEM;
    else if ((rc = itab->itab->get_dbname(itab->itab, &file, nullptr)) == 0 &&
             (qnst::env_compress(dbenv) <= 0 ||
              (rc = db->set_bt_compress(db, nullptr, nullptr)) == 0))
        rc = db->open(db, txn, file, name.p, DB_BTREE, DB_CREATE | DB_THREAD, 0);
    if (rc) {
        QNST_FAIL(dbenv, rc);
        (void)db->close(db, 0);  // a handle that never opened has nothing to flush
        return rc;
    }
    *out = db;
    return 0;
}

// init, misc init and chk: (value, create, misc) = (value, 1, 0), (value, 1, 1), (0, 0, 0).
// The markers and the own database's open (its creation, for a new inode) share one
// transaction, committed without waiting for the log: a crash before a later synced commit
// loses the new inode with everything that refers to it.
int open_inode(qnst_inoderec *inode, uint32_t value, bool create, bool misc) {
    if (inode->own_db) return 0;
    qnst_itab *itab = table_of(inode);
    if (!itab) return QNST_FAIL(inode->dbenv, EINVAL);
    DB_ENV *dbenv = inode->dbenv;
    qnst::TxnGuard guard;
    int rc = qnst_txn_begin(dbenv, nullptr, guard.out());
    if (rc) return QNST_FAIL(dbenv, rc);
    if ((rc = settle_markers(inode, guard.get(), itab->inodes, value, create, &misc))) return rc;
    DB *db = nullptr;
    if ((rc = open_own_db(inode, itab, guard.get(), &db))) return rc;
    if ((rc = guard.commit())) {
        // The open went with the transaction; the handle only has to be let go.
        (void)db->close(db, DB_NOSYNC);
        return QNST_FAIL(dbenv, rc);
    }
    inode->own_db = db;
    if (misc) {
        inode->record_db = inode->own_db;
        inode->folder_db = inode->own_db;
    } else {
        inode->record_db = itab->inodes;
        inode->folder_db = itab->folders;
    }
    return 0;
}

int apply_usage(qnst_inoderec *inode, DB_TXN *txn, const int64_t (&delta)[6], int depth) {
    DB_ENV *dbenv = inode->dbenv;
    if (depth > kMaxChain) return QNST_FAIL(dbenv, EINVAL);
    Usage u;
    int rc = read_usage(inode, txn, &u);
    if (rc) return QNST_FAIL(dbenv, rc);

    struct Limited {
        int used, limit, code;
    };
    static constexpr Limited kLimited[] = {
        {Usage::kFsCurrentU, Usage::kFsCurrentQ, QNST_QUOTA_FSCURRENT},
        {Usage::kFsTotalU, Usage::kFsTotalQ, QNST_QUOTA_FSTOTAL},
        {Usage::kStCurrentU, Usage::kStCurrentQ, QNST_QUOTA_STCURRENT},
        {Usage::kStTotalU, Usage::kStTotalQ, QNST_QUOTA_STTOTAL},
    };
    for (int i = 0; i < 4; ++i) {
        const Limited &c = kLimited[i];
        u.v[c.used] = qnst::saturating_add(u.v[c.used], delta[i]);
        if (u.v[c.limit] != 0 && delta[i] > 0 && u.v[c.used] > u.v[c.limit]) return c.code;
    }
    if (inode->setnode) {
        rc = apply_usage(inode->setnode, txn, delta, depth + 1);
        if (rc) return qnst::is_quota_code(rc) ? rc : QNST_FAIL(dbenv, rc);
    }
    u.v[Usage::kFilesCurrent] = qnst::saturating_add(u.v[Usage::kFilesCurrent], delta[4]);
    u.v[Usage::kFilesTotal] = qnst::saturating_add(u.v[Usage::kFilesTotal], delta[5]);
    return QNST_FAIL(dbenv, write_usage(inode, txn, u));
}

}  // namespace

int qnst_inode_open(qnst_inoderec *inode, qnst_itabmrec *itabm, qnst_inoderec *setnode,
                    uint32_t ino) {
    std::memset(inode, 0, sizeof *inode);
    inode->itabm = itabm;
    inode->dbenv = itabm->dbenv;
    inode->aclsis = itabm->aclsis;
    inode->sism = itabm->sism;
    inode->mblob = itabm->mblob;
    inode->setnode = setnode;
    inode->inode = ino;
    qnst_itab *itab = table_of(inode);
    if (!itab) return QNST_FAIL(inode->dbenv, EINVAL);
    inode->record_db = itab->inodes;
    inode->folder_db = itab->folders;
    return 0;
}

int qnst_inode_init(qnst_inoderec *inode, uint32_t value) {
    return open_inode(inode, value, true, false);
}

int qnst_misc_inode_init(qnst_inoderec *inode, uint32_t value) {
    return open_inode(inode, value, true, true);
}

int qnst_inode_chk(qnst_inoderec *inode) { return open_inode(inode, 0, false, false); }

int qnst_inode_close(qnst_inoderec *inode) {
    DB *db = inode->own_db;
    if (!db) return 0;
    qnst::close_db(&inode->own_db, DB_NOSYNC);
    // In misc mode these pointed at the handle just closed.
    if (inode->record_db == db) inode->record_db = nullptr;
    if (inode->folder_db == db) inode->folder_db = nullptr;
    return 0;
}

int qnst_inode_setquota(qnst_inoderec *inode, int64_t fscurrentq, int64_t fstotalq,
                        int64_t stcurrentq, int64_t sttotalq) {
    inode->fscurrentq = fscurrentq;
    inode->fstotalq = fstotalq;
    inode->stcurrentq = stcurrentq;
    inode->sttotalq = sttotalq;
    return 0;
}

int qnst_inode_usage_set(qnst_inoderec *inode, DB_TXN *txn, int64_t fscurrentq,
                         int64_t fscurrentu, int64_t fstotalq, int64_t fstotalu,
                         int64_t stcurrentq, int64_t stcurrentu, int64_t sttotalq,
                         int64_t sttotalu, int64_t filescurrent, int64_t filestotal) {
    const Usage u{{fscurrentq, fscurrentu, fstotalq, fstotalu, stcurrentq, stcurrentu, sttotalq,
                   sttotalu, filescurrent, filestotal}};
    return QNST_FAIL(inode->dbenv, write_usage(inode, txn, u));
}

int qnst_inode_usage_get(qnst_inoderec *inode, DB_TXN *txn, int64_t *fscurrentq,
                         int64_t *fscurrentu, int64_t *fstotalq, int64_t *fstotalu,
                         int64_t *stcurrentq, int64_t *stcurrentu, int64_t *sttotalq,
                         int64_t *sttotalu, int64_t *filescurrent, int64_t *filestotal) {
    Usage u;
    if (int rc = read_usage(inode, txn, &u)) return QNST_FAIL(inode->dbenv, rc);
    int64_t *const out[] = {fscurrentq, fscurrentu, fstotalq, fstotalu, stcurrentq,
                            stcurrentu, sttotalq,   sttotalu, filescurrent, filestotal};
    for (int i = 0; i < Usage::kFields; ++i) *out[i] = u.v[i];
    return 0;
}

int qnst_inode_usg(qnst_inoderec *inode, DB_TXN *txn, int64_t fscurrentd, int64_t fstotald,
                   int64_t stcurrentd, int64_t sttotald, int64_t filescurrent,
                   int64_t filestotal) {
    const int64_t delta[6] = {fscurrentd, fstotald, stcurrentd, sttotald, filescurrent,
                              filestotal};
    return apply_usage(inode, txn, delta, 0);
}
