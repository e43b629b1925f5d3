// A stat update of a new version beside the raw Berkeley DB operations it stands on.
#include <stdexcept>

#include "qnst_bench.hpp"
#include "qnst_bdb.h"
#include "qnst_inode.h"
#include "qnst_internal.hpp"
#include "qnst_stat.h"
#include "qnst_testing.hpp"

namespace {

constexpr uint32_t kRoot = 10, kFile = 11;

// A file inode charged to a namespace root, in a set of one table.
struct FileFixture {
    qnst::testing::TempEnv env;
    qnst_itabmrec m{};
    qnst_inoderec root{}, file{};
    FileFixture() {
        if (qnst_itabm_create(&m, env.env(), 1, nullptr, nullptr, nullptr, 1) ||
            qnst_itabm_open(&m, "it", 0, 1) || qnst_inode_open(&root, &m, nullptr, kRoot) ||
            qnst_inode_open(&file, &m, &root, kFile))
            throw std::runtime_error("inode set-up failed");
        DB_TXN *txn = nullptr;
        qnst_txn_begin(env.dbenv(), nullptr, &txn);
        if (qnst_inode_usage_set(&root, txn, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0))
            throw std::runtime_error("usage set-up failed");
        qnst_txn_commit(txn, 0);
    }
    ~FileFixture() { qnst_itabm_close(&m); }
};

void BM_stat_update(benchmark::State &state) {
    FileFixture f;
    uint32_t ver = 1;
    for (auto _ : state) {
        DB_TXN *txn = nullptr;
        qnst_txn_begin(f.env.dbenv(), nullptr, &txn);
        if (qnst_stat_update(&f.file, txn, ver, 0x81a4, 4096 + ver, 0, ver, 1, 1))
            state.SkipWithError("update failed");
        qnst_txn_commit(txn, 0);
        ++ver;
    }
}

// What an update in a new version must do: find the current record, rewrite it closed, put the
// new record, and read and write the set node's usage record.
void BM_stat_update_floor(benchmark::State &state) {
    FileFixture f;
    DB *db = f.m.tables[0].inodes;
    uint32_t ver = 1;
    for (auto _ : state) {
        DB_TXN *txn = nullptr;
        qnst_txn_begin(f.env.dbenv(), nullptr, &txn);
        uint8_t kb[9], vb[36];
        qnst::store_le32(kb, kFile);
        kb[4] = '2';
        qnst::store_neg_version(kb + 5, QNST_INODE_LIVE - 1);
        DBT key = qnst::user_dbt(kb, sizeof kb, sizeof kb);
        DBT data = qnst::user_dbt(vb, 0, sizeof vb);
        DBC *c = nullptr;
        db->cursor(db, txn, &c, 0);
        int rc = c->get(c, &key, &data, DB_SET_RANGE);
        c->close(c);
        if (rc == 0 && qnst::load_le32(kb) == kFile) {
            qnst::store_le32(vb, ver);
            DBT old = qnst::user_dbt(vb, sizeof vb);
            rc = db->put(db, txn, &key, &old, 0);
        } else if (rc == DB_NOTFOUND) {
            rc = 0;
        }
        qnst::store_le32(kb, kFile);
        kb[4] = '2';
        qnst::store_neg_version(kb + 5, ver);
        qnst::store_le32(vb, QNST_INODE_LIVE);
        qnst::store_le64(vb + 8, 4096 + ver);
        DBT nkey = qnst::user_dbt(kb, sizeof kb);
        DBT ndata = qnst::user_dbt(vb, sizeof vb);
        if (!rc) rc = db->put(db, txn, &nkey, &ndata, 0);

        uint8_t uk[5], ub[80];
        qnst::store_le32(uk, kRoot);
        uk[4] = '3';
        DBT ukey = qnst::user_dbt(uk, sizeof uk);
        DBT udata = qnst::user_dbt(ub, 0, sizeof ub);
        if (!rc) rc = db->get(db, txn, &ukey, &udata, DB_RMW);
        qnst::store_le64(ub + 8, qnst::load_le64(ub + 8) + 1);
        qnst::store_le64(ub + 64, qnst::load_le64(ub + 64) + 1);
        if (!rc) rc = db->put(db, txn, &ukey, &udata, 0);
        if (rc) state.SkipWithError("floor failed");
        qnst_txn_commit(txn, 0);
        ++ver;
    }
}

}  // namespace

BENCHMARK(BM_stat_update);
BENCHMARK(BM_stat_update_floor);
QNST_BENCH_RATIO(BM_stat_update, BM_stat_update_floor);
