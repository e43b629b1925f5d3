// The block store's dfile usage update beside the raw read-modify-write it stands on.
#include "qnst_bench.hpp"
#include "qnst_bdb.h"
#include "qnst_dfile.h"
#include "qnst_dfile_usage.hpp"
#include "qnst_internal.hpp"
#include "qnst_testing.hpp"

namespace {

struct DfileFixture {
    qnst::testing::TempEnv env;
    qnst_dfile dfile{};
    DfileFixture() {
        if (qnst_dfile_create(&dfile, env.dbenv(), 128) ||
            qnst_dfile_open(&dfile, "dfile.db", 1))
            throw std::runtime_error("dfile set-up failed");
    }
    ~DfileFixture() { qnst_dfile_close(&dfile); }
};

void BM_dfile_usage(benchmark::State &state) {
    DfileFixture f;
    uint32_t i = 0;
    for (auto _ : state) {
        DB_TXN *txn = nullptr;
        uint64_t growth = 0;
        qnst_txn_begin(f.env.dbenv(), nullptr, &txn);
        if (qnst_dfile_usage(&f.dfile, txn, i++ % 128, 0, 4096, &growth))
            state.SkipWithError("usage update failed");
        qnst_txn_commit(txn, 0);
    }
}

void BM_dfile_usage_floor(benchmark::State &state) {
    DfileFixture f;
    DB *db = f.dfile.db;
    uint32_t i = 0;
    for (auto _ : state) {
        DB_TXN *txn = nullptr;
        qnst_txn_begin(f.env.dbenv(), nullptr, &txn);
        db_recno_t recno = i++ % 128 + 1;
        uint8_t rec[32];
        DBT key = qnst::user_dbt(&recno, sizeof recno);
        DBT data = qnst::user_dbt(rec, 0, sizeof rec);
        if (db->get(db, txn, &key, &data, DB_RMW)) state.SkipWithError("get failed");
        qnst::store_le64(rec + 24, qnst::load_le64(rec + 24) + 4096);
        data.size = sizeof rec;
        if (db->put(db, txn, &key, &data, 0)) state.SkipWithError("put failed");
        qnst_txn_commit(txn, 0);
    }
}

}  // namespace

BENCHMARK(BM_dfile_usage);
BENCHMARK(BM_dfile_usage_floor);
QNST_BENCH_RATIO(BM_dfile_usage, BM_dfile_usage_floor);
