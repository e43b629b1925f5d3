// Inode allocation and usage accounting beside the raw Berkeley DB operations they stand on.
#include <stdexcept>

#include "qnst_bench.hpp"
#include "qnst_bdb.h"
#include "qnst_inode.h"
#include "qnst_internal.hpp"
#include "qnst_testing.hpp"

namespace {

constexpr uint32_t kRefill = 10000;  // numbers put on the free list when it runs dry

struct SetFixture {
    qnst::testing::TempEnv env;
    qnst_itabmrec m{};
    SetFixture() {
        if (qnst_itabm_create(&m, env.env(), 1, nullptr, nullptr, nullptr, 1) ||
            qnst_itabm_open(&m, "it", 0, 1))
            throw std::runtime_error("inode table set-up failed");
    }
    ~SetFixture() { qnst_itabm_close(&m); }
};

void BM_inodem_alloc(benchmark::State &state) {
    SetFixture f;
    for (auto _ : state) {
        DB_TXN *txn = nullptr;
        uint32_t ino = 0;
        qnst_txn_begin(f.env.dbenv(), nullptr, &txn);
        const int rc = qnst_inodem_alloc(&f.m, txn, 1, &ino);
        qnst_txn_commit(txn, 0);
        if (rc == QNST_ENOINODE) {
            state.PauseTiming();
            if (qnst_itabm_extend(&f.m, kRefill, 0)) state.SkipWithError("extend failed");
            state.ResumeTiming();
        } else if (rc) {
            state.SkipWithError("alloc failed");
        }
    }
}

// What one allocation must do: take the first free number under a write lock, delete it, and
// insert its allocation record.
void BM_inodem_alloc_floor(benchmark::State &state) {
    SetFixture f;
    qnst_itab *t = &f.m.tables[0];
    for (auto _ : state) {
        DB_TXN *txn = nullptr;
        qnst_txn_begin(f.env.dbenv(), nullptr, &txn);
        DBC *c = nullptr;
        uint8_t kb[4], vb[8], none[1];
        DBT key = qnst::user_dbt(kb, 0, sizeof kb);
        DBT empty = qnst::user_dbt(none, 0, 0);
        t->ifree->cursor(t->ifree, txn, &c, 0);
        int rc = c->get(c, &key, &empty, DB_FIRST | DB_RMW);
        if (rc == 0) {
            rc = c->del(c, 0);
            qnst::store_le32(vb, 1);
            qnst::store_le32(vb + 4, QNST_INODE_LIVE);
            DBT data = qnst::user_dbt(vb, sizeof vb);
            if (!rc) rc = t->itab->put(t->itab, txn, &key, &data, DB_NOOVERWRITE);
        }
        c->close(c);
        qnst_txn_commit(txn, 0);
        if (rc == DB_NOTFOUND) {
            state.PauseTiming();
            if (qnst_itab_extend(t, kRefill)) state.SkipWithError("extend failed");
            state.ResumeTiming();
        } else if (rc) {
            state.SkipWithError("floor failed");
        }
    }
}

// A file, its folder and the namespace root: every change is charged to all three.
struct ChainFixture : SetFixture {
    qnst_inoderec nodes[3] = {};
    ChainFixture() {
        for (int i = 0; i < 3; ++i) {
            qnst_inoderec *setnode = i ? &nodes[i - 1] : nullptr;
            if (qnst_inode_open(&nodes[i], &m, setnode, 10 + i) || qnst_inode_init(&nodes[i], 1))
                throw std::runtime_error("inode set-up failed");
            DB_TXN *txn = nullptr;
            qnst_txn_begin(env.dbenv(), nullptr, &txn);
            if (qnst_inode_usage_set(&nodes[i], txn, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0))
                throw std::runtime_error("usage set-up failed");
            qnst_txn_commit(txn, 0);
            qnst_inode_setquota(&nodes[i], INT64_MAX, INT64_MAX, INT64_MAX, INT64_MAX);
        }
    }
    ~ChainFixture() {
        for (auto &n : nodes) qnst_inode_close(&n);
    }
};

void BM_inode_usg(benchmark::State &state) {
    ChainFixture f;
    for (auto _ : state) {
        DB_TXN *txn = nullptr;
        qnst_txn_begin(f.env.dbenv(), nullptr, &txn);
        if (qnst_inode_usg(&f.nodes[2], txn, 4096, 4096, 1, 1, 1, 1)) state.SkipWithError("usg");
        qnst_txn_commit(txn, 0);
    }
}

// What one change must do at each of the three levels: read the usage record under a write lock
// and write it back.
void BM_inode_usg_floor(benchmark::State &state) {
    ChainFixture f;
    DB *db = f.m.tables[0].inodes;
    for (auto _ : state) {
        DB_TXN *txn = nullptr;
        qnst_txn_begin(f.env.dbenv(), nullptr, &txn);
        for (uint32_t ino = 12; ino >= 10; --ino) {
            uint8_t kb[5], vb[80];
            qnst::store_le32(kb, ino);
            kb[4] = '3';
            DBT key = qnst::user_dbt(kb, sizeof kb);
            DBT data = qnst::user_dbt(vb, 0, sizeof vb);
            if (db->get(db, txn, &key, &data, DB_RMW)) state.SkipWithError("get failed");
            for (int field : {1, 3, 5, 7, 8, 9})
                qnst::store_le64(vb + 8 * field, qnst::load_le64(vb + 8 * field) + 1);
            if (db->put(db, txn, &key, &data, 0)) state.SkipWithError("put failed");
        }
        qnst_txn_commit(txn, 0);
    }
}

}  // namespace

BENCHMARK(BM_inodem_alloc);
BENCHMARK(BM_inodem_alloc_floor);
BENCHMARK(BM_inode_usg);
BENCHMARK(BM_inode_usg_floor);
QNST_BENCH_RATIO(BM_inodem_alloc, BM_inodem_alloc_floor);
QNST_BENCH_RATIO(BM_inode_usg, BM_inode_usg_floor);
