#include "qnst_itab.hpp"

QNST_SOURCE("qnst/inode/qnst_itab");

namespace qnst::itab {

namespace {

constexpr uint32_t kSeqKey = 1;

// The databases of one table in the order they are created and opened.
struct TableDb {
    DB *qnst_itab::*field;
    const char *name;
    DBTYPE type;
};
constexpr TableDb kTableDbs[] = {
    {&qnst_itab::itab, "itab", DB_BTREE},      {&qnst_itab::ifree, "ifree", DB_BTREE},
    {&qnst_itab::seq, "seq", DB_HASH},         {&qnst_itab::inodes, "inodes", DB_BTREE},
    {&qnst_itab::folders, "folders", DB_BTREE},
};

}  // namespace

DBT empty_dbt() {
    static uint8_t none[1];  // never written: the records are empty
    return user_dbt(none, 0, 0);
}

int read_free(qnst_itab *itab, DB_TXN *txn, uint32_t ino, uint32_t flags) {
    InoKey k(ino);
    DBT key = k.dbt();
    DBT data = empty_dbt();
    return qnst::sized(itab->ifree->get(itab->ifree, txn, &key, &data, flags), data, 0);
}

int delete_free(qnst_itab *itab, DB_TXN *txn, uint32_t ino) {
    InoKey k(ino);
    DBT key = k.dbt();
    return itab->ifree->del(itab->ifree, txn, &key, 0);
}

int put_free(qnst_itab *itab, DB_TXN *txn, uint32_t ino) {
    InoKey k(ino);
    DBT key = k.dbt();
    DBT data = empty_dbt();
    return itab->ifree->put(itab->ifree, txn, &key, &data, DB_NOOVERWRITE);
}

int read_seq(qnst_itab *itab, DB_TXN *txn, uint32_t flags, uint32_t *n) {
    uint8_t kb[4], vb[4];
    store_le32(kb, kSeqKey);
    DBT key = user_dbt(kb, sizeof kb);
    DBT data = user_dbt(vb, 0, sizeof vb);
    const int rc = qnst::sized(itab->seq->get(itab->seq, txn, &key, &data, flags), data, sizeof vb);
    if (rc == 0) *n = load_le32(vb);
    return rc;
}

int write_seq(qnst_itab *itab, DB_TXN *txn, uint32_t n, uint32_t flags) {
    uint8_t kb[4], vb[4];
    store_le32(kb, kSeqKey);
    store_le32(vb, n);
    DBT key = user_dbt(kb, sizeof kb);
    DBT data = user_dbt(vb, sizeof vb);
    return itab->seq->put(itab->seq, txn, &key, &data, flags);
}

int read_lifetime(qnst_itab *itab, DB_TXN *txn, uint32_t ino, uint32_t flags, Lifetime *out) {
    InoKey k(ino);
    uint8_t vb[8];
    DBT key = k.dbt();
    DBT data = user_dbt(vb, 0, sizeof vb);
    const int rc =
        qnst::sized(itab->itab->get(itab->itab, txn, &key, &data, flags), data, sizeof vb);
    if (rc == 0) *out = Lifetime::unpack(vb);
    return rc;
}

int write_lifetime(qnst_itab *itab, DB_TXN *txn, uint32_t ino, Lifetime life, uint32_t flags) {
    InoKey k(ino);
    uint8_t vb[8];
    life.pack(vb);
    DBT key = k.dbt();
    DBT data = user_dbt(vb, sizeof vb);
    return itab->itab->put(itab->itab, txn, &key, &data, flags);
}

int extend(qnst_itab *itab, uint32_t count, uint32_t maxino) {
    DB_ENV *dbenv = itab->dbenv;
    // A table that is not open fails the name probe (Berkeley DB explains why in the error
    // file); a closed one has no handle left to probe.
    if (!itab->itab) return EINVAL;
    const char *file = nullptr, *name = nullptr;
    if (int rc = itab->itab->get_dbname(itab->itab, &file, &name)) return rc;

    qnst::TxnGuard guard;
    int rc = qnst_txn_begin(dbenv, nullptr, guard.out());
    if (rc) return QNST_FAIL(dbenv, rc);
    DB_TXN *txn = guard.get();
    uint32_t n = 0;
    if ((rc = read_seq(itab, txn, DB_RMW, &n))) return QNST_FAIL(dbenv, rc);
    // Numbers past the top would wrap or collide with the table index of a set.
    if (count && uint64_t{n} + count - 1 > maxino) return QNST_FAIL(dbenv, ENOSPC);
    for (uint32_t i = 0; i < count; ++i)
        if ((rc = put_free(itab, txn, n + i))) return QNST_FAIL(dbenv, rc);
    if ((rc = write_seq(itab, txn, n + count, 0))) return QNST_FAIL(dbenv, rc);
    rc = guard.commit();
    return QNST_FAIL(dbenv, rc);
}

}  // namespace qnst::itab

using namespace qnst::itab;

int qnst_itab_create(qnst_itab *itab, DB_ENV *dbenv) {
    std::memset(itab, 0, sizeof *itab);
    itab->dbenv = dbenv;
    for (const TableDb &t : kTableDbs) {
        DB *db = nullptr;
        if (int rc = db_create(&db, dbenv, 0)) {
            qnst_itab_close(itab);
            return rc;
        }
        itab->*t.field = db;
    }
    return 0;
}

int qnst_itab_open(qnst_itab *itab, const char *file, uint32_t pagesize, int32_t create) {
    DB_ENV *dbenv = itab->dbenv;
    int rc = 0;
    // "itab" is opened first, so it decides the page size of a new file.
    if (create && pagesize && (rc = itab->itab->set_pagesize(itab->itab, pagesize)))
        return QNST_FAIL(dbenv, rc);
    if (qnst::env_compress(dbenv) > 0 &&
        (rc = itab->itab->set_bt_compress(itab->itab, nullptr, nullptr)))
        return QNST_FAIL(dbenv, rc);
    for (const TableDb &t : kTableDbs) {
        DB *db = itab->*t.field;
        if ((rc = qnst::open_table(db, file, t.name, t.type)))
            return QNST_FAIL(dbenv, rc);
    }
    if (create) {
        rc = write_seq(itab, nullptr, kFirstIssued, DB_NOOVERWRITE);
        if (rc && rc != DB_KEYEXIST) return QNST_FAIL(dbenv, rc);
    }
    return 0;
}

int qnst_itab_close(qnst_itab *itab) {
    // The sequence first: it is the table's commit point for extensions.
    DB *qnst_itab::*const order[] = {&qnst_itab::seq, &qnst_itab::itab, &qnst_itab::ifree,
                                     &qnst_itab::inodes, &qnst_itab::folders};
    for (DB *qnst_itab::*field : order) qnst::close_db(&(itab->*field), DB_NOSYNC);
    return 0;
}

int qnst_itab_remove(DB_ENV *dbenv, const char *file) {
    return dbenv->dbremove(dbenv, nullptr, file, nullptr, 0);
}

int qnst_itab_extend(qnst_itab *itab, uint32_t count) {
    return extend(itab, count, QNST_ITAB_MAXINO);
}

int qnst_inode_alloc(qnst_itab *itab, DB_TXN *txn, uint32_t cver, uint32_t *ino) {
    DB_ENV *dbenv = itab->dbenv;
    qnst::Cursor c;
    int rc = c.open(itab->ifree, txn, 0);
    if (rc) return QNST_FAIL(dbenv, rc);
    uint8_t kb[4];
    DBT key = qnst::user_dbt(kb, 0, sizeof kb);
    DBT data = empty_dbt();
    rc = qnst::sized(qnst::sized(c->get(c.get(), &key, &data, DB_FIRST | DB_RMW), key, sizeof kb),
                     data, 0);
    if (rc == DB_NOTFOUND) return QNST_ENOINODE;
    if (rc) return QNST_FAIL(dbenv, rc);
    if ((rc = c->del(c.get(), 0))) return QNST_FAIL(dbenv, rc);
    const uint32_t found = qnst::load_be32(kb);
    if ((rc = write_lifetime(itab, txn, found, {cver, QNST_INODE_LIVE}, DB_NOOVERWRITE)))
        return QNST_FAIL(dbenv, rc);
    if ((rc = c.close())) return QNST_FAIL(dbenv, rc);
    *ino = found;
    return 0;
}

int qnst_inode_getalloc(qnst_itab *itab, DB_TXN *txn, uint32_t cver, uint32_t ino,
                        uint32_t *extend_by) {
    DB_ENV *dbenv = itab->dbenv;
    *extend_by = 0;
    int rc = read_free(itab, txn, ino, DB_RMW);
    if (rc == 0) {
        rc = delete_free(itab, txn, ino);
        if (rc == DB_NOTFOUND) {
            QNST_FAIL(dbenv, rc);
            return QNST_EINODEBUSY;
        }
        if (rc) return QNST_FAIL(dbenv, rc);
        rc = write_lifetime(itab, txn, ino, {cver, QNST_INODE_LIVE}, DB_NOOVERWRITE);
        return QNST_FAIL(dbenv, rc);
    }
    if (rc != DB_NOTFOUND) return QNST_FAIL(dbenv, rc);

    uint32_t n = 0;
    if ((rc = read_seq(itab, txn, DB_RMW, &n))) return QNST_FAIL(dbenv, rc);
    // Numbers are compared as signed 32-bit: 0 and numbers with the top bit set never lie
    // beyond the end, so they are refused as taken rather than asked to be extended for.
    if (static_cast<int32_t>(ino) > 0 && n <= ino) {
        *extend_by = ino - n + 1;
        return 0;
    }
    // Below the end and not free: allocated, or withheld from allocation.
    QNST_FAIL(dbenv, DB_NOTFOUND);
    return QNST_EINODEBUSY;
}

int qnst_inode_pick(qnst_itab *itab, DB_TXN *txn, uint32_t ino, uint32_t value) {
    DB_ENV *dbenv = itab->dbenv;
    if (ino == 0 || ino > QNST_ITAB_MAXINO) return QNST_FAIL(dbenv, EINVAL);
    Lifetime life;
    int rc = read_lifetime(itab, txn, ino, DB_RMW, &life);
    if (rc == 0) {
        if (static_cast<int32_t>(life.dver) > static_cast<int32_t>(value)) return 0;
        rc = write_lifetime(itab, txn, ino, {life.cver, QNST_INODE_LIVE}, 0);
        return QNST_FAIL(dbenv, rc);
    }
    if (rc != DB_NOTFOUND) return QNST_FAIL(dbenv, rc);

    rc = delete_free(itab, txn, ino);
    if (rc == DB_NOTFOUND) {
        // Neither allocated nor free: withheld below the end, or not issued yet.
        uint32_t n = 0;
        if ((rc = read_seq(itab, txn, DB_RMW, &n))) return QNST_FAIL(dbenv, rc);
        if (n <= ino) {
            if (ino - n < kPickReach) return QNST_ENOINODE;
            if ((rc = write_seq(itab, txn, ino + 1, 0))) return QNST_FAIL(dbenv, rc);
        }
    } else if (rc) {
        return QNST_FAIL(dbenv, rc);
    }
    rc = write_lifetime(itab, txn, ino, {value, QNST_INODE_LIVE}, 0);
    return QNST_FAIL(dbenv, rc);
}

int qnst_inode_free(qnst_itab *itab, DB_TXN *txn, uint32_t ino, uint32_t dver) {
    Lifetime life;
    int rc = read_lifetime(itab, txn, ino, DB_RMW, &life);
    if (rc) return rc;
    return write_lifetime(itab, txn, ino, {life.cver, dver}, 0);
}
