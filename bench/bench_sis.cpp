// Block store partition hot paths beside the raw Berkeley DB operations each cannot avoid:
// a hold (reference word read-modify-write, link check, histogram move) and the store of a new
// block (handle, location record, reference record, histogram bucket 1).
#include <memory>
#include <stdexcept>

#include "qnst_bench.hpp"
#include "qnst_bdb.h"
#include "qnst_csis.h"
#include "qnst_csis.hpp"
#include "qnst_dfile.h"
#include "qnst_internal.hpp"
#include "qnst_sis.h"
#include "qnst_sis.hpp"
#include "qnst_testing.hpp"

namespace {

constexpr uint32_t kBlocks = 4096;  // held in turn, so counts stay in the histogram's buckets

struct SisFixture {
    qnst::testing::TempEnv env{qnst::testing::EnvOptions{64u << 20}};
    qnst_dfile dfile{};
    qnst_sis part{};
    std::vector<uint64_t> blocks;

    SisFixture() {
        if (qnst_dfile_create(&dfile, env.dbenv(), 16) || qnst_dfile_open(&dfile, "dfile.db", 1) ||
            qnst_sis_create(&part, env.dbenv(), &dfile) || qnst_sis_open(&part, "blksis_0.db") ||
            qnst_csis_histopen(&part, "blksis_0", "", 1))
            throw std::runtime_error("partition set-up failed");
        uint8_t hash[20] = {};
        for (uint32_t i = 0; i < kBlocks; ++i) {
            uint64_t h = 0;
            DB_TXN *txn = nullptr;
            qnst::store_be32(hash, i);
            if (qnst_sis_gen_handle(&part, &h) || qnst_txn_begin(env.dbenv(), nullptr, &txn) ||
                qnst_sis_store(&part, txn, hash, 20, 1, 1, uint64_t{i} * 4096, 4096, h) ||
                qnst_txn_commit(txn, 0))
                throw std::runtime_error("block set-up failed");
            blocks.push_back(h);
        }
    }
    ~SisFixture() {
        qnst_csis_close(&part);
        qnst_sis_close(&part);
        qnst_dfile_close(&dfile);
    }
};

SisFixture &fixture() {
    static SisFixture *f = new SisFixture();  // shared by every run, left to process exit
    return *f;
}

// Raw read-modify-write of a 4-byte little-endian value.
bool bump(DB *db, DB_TXN *txn, DBT *key, int32_t delta) {
    uint8_t v[4];
    DBT d = qnst::user_dbt(v, 0, sizeof v);
    if (db->get(db, txn, key, &d, DB_RMW)) return false;
    qnst::store_le32(v, qnst::load_le32(v) + static_cast<uint32_t>(delta));
    d.size = sizeof v;
    return db->put(db, txn, key, &d, 0) == 0;
}

void BM_sis_hold(benchmark::State &state) {
    SisFixture &f = fixture();
    uint32_t i = 0;
    for (auto _ : state) {
        DB_TXN *txn = nullptr;
        uint32_t count = 0;
        qnst_txn_begin(f.env.dbenv(), nullptr, &txn);
        if (qnst_sis_hold(&f.part, txn, f.blocks[i++ % kBlocks], &count, 0))
            state.SkipWithError("hold failed");
        qnst_txn_commit(txn, 0);
    }
}

// What a hold must do: read and write the reference word, read the location record (is it a
// link?), and move the block between two histogram buckets.
void BM_sis_hold_floor(benchmark::State &state) {
    SisFixture &f = fixture();
    uint32_t i = 0;
    for (auto _ : state) {
        DB_TXN *txn = nullptr;
        qnst_txn_begin(f.env.dbenv(), nullptr, &txn);
        uint8_t k[8], rec[QNST_SIS_LOC_SIZE];
        qnst::store_le64(k, f.blocks[i++ % kBlocks]);
        DBT key = qnst::user_dbt(k, sizeof k);
        DBT loc = qnst::user_dbt(rec, 0, sizeof rec);
        db_recno_t from = 2, to = 3;
        DBT kfrom = qnst::user_dbt(&from, sizeof from), kto = qnst::user_dbt(&to, sizeof to);
        if (!bump(f.part.refdb, txn, &key, 0) ||
            f.part.dfdb->get(f.part.dfdb, txn, &key, &loc, DB_RMW) ||
            !bump(f.part.histdb, txn, &kfrom, 0) || !bump(f.part.histdb, txn, &kto, 0))
            state.SkipWithError("raw hold failed");
        qnst_txn_commit(txn, 0);
    }
}

void BM_sis_store_new(benchmark::State &state) {
    SisFixture &f = fixture();
    uint8_t hash[20] = {0xEE};
    uint32_t i = 0;
    for (auto _ : state) {
        uint64_t h = 0;
        DB_TXN *txn = nullptr;
        qnst::store_be32(hash + 4, i++);
        if (qnst_sis_gen_handle(&f.part, &h)) state.SkipWithError("handle failed");
        qnst_txn_begin(f.env.dbenv(), nullptr, &txn);
        if (qnst_sis_store(&f.part, txn, hash, 20, 2, 1, uint64_t{i} * 4096, 4096, h))
            state.SkipWithError("store failed");
        qnst_txn_commit(txn, 0);
    }
}

// What a new block must do: take a sequence value, insert the location and reference records,
// and count the block in bucket 1.
void BM_sis_store_new_floor(benchmark::State &state) {
    SisFixture &f = fixture();
    uint8_t rec[QNST_SIS_LOC_SIZE] = {};
    uint32_t i = 0;
    for (auto _ : state) {
        db_seq_t value = 0;
        DB_TXN *txn = nullptr;
        if (f.part.seq->get(f.part.seq, nullptr, 1, &value, DB_TXN_NOSYNC))
            state.SkipWithError("sequence failed");
        uint8_t k[8], w[4];
        qnst::store_le64(k, qnst_sis_make_handle(static_cast<uint64_t>(value)));
        qnst::store_le32(w, 0x80000001u);
        qnst::store_le32(rec + 20, 20);
        qnst::store_be32(rec + 24, i++);
        DBT key = qnst::user_dbt(k, sizeof k);
        DBT loc = qnst::user_dbt(rec, sizeof rec);
        DBT word = qnst::user_dbt(w, sizeof w);
        db_recno_t one = 1;
        DBT kone = qnst::user_dbt(&one, sizeof one);
        qnst_txn_begin(f.env.dbenv(), nullptr, &txn);
        if (f.part.dfdb->put(f.part.dfdb, txn, &key, &loc, DB_NOOVERWRITE) ||
            f.part.refdb->put(f.part.refdb, txn, &key, &word, DB_NOOVERWRITE) ||
            !bump(f.part.histdb, txn, &kone, 0))
            state.SkipWithError("raw store failed");
        qnst_txn_commit(txn, 0);
    }
}

}  // namespace

BENCHMARK(BM_sis_hold);
BENCHMARK(BM_sis_hold_floor);
BENCHMARK(BM_sis_store_new);
BENCHMARK(BM_sis_store_new_floor);
QNST_BENCH_RATIO(BM_sis_hold, BM_sis_hold_floor);
QNST_BENCH_RATIO(BM_sis_store_new, BM_sis_store_new_floor);
