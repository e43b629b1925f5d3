// Adding a folder entry and looking it up, beside the raw Berkeley DB operations they stand on.
#include <cstdio>
#include <stdexcept>

#include "qnst_bench.hpp"
#include "qnst_bdb.h"
#include "qnst_folder.h"
#include "qnst_internal.hpp"
#include "qnst_testing.hpp"

namespace {

constexpr uint32_t kDir = 10;
constexpr uint32_t kVer = 3;

struct FolderFixture {
    qnst::testing::TempEnv env;
    qnst_itabmrec m{};
    qnst_inoderec dir{};
    FolderFixture() {
        if (qnst_itabm_create(&m, env.env(), 1, nullptr, nullptr, nullptr, 1) ||
            qnst_itabm_open(&m, "it", 0, 1) || qnst_inode_open(&dir, &m, nullptr, kDir) ||
            qnst_inode_init(&dir, 1))
            throw std::runtime_error("folder set-up failed");
    }
    ~FolderFixture() {
        qnst_inode_close(&dir);
        qnst_itabm_close(&m);
    }
};

// A file name of a typical length, distinct per iteration.
int file_name(char *buf, uint64_t i) {
    return std::snprintf(buf, 32, "IMG_%08llu.jpg", static_cast<unsigned long long>(i));
}

void BM_dir_add_lookup(benchmark::State &state) {
    FolderFixture f;
    uint64_t i = 0;
    for (auto _ : state) {
        char name[32];
        const auto len = static_cast<uint32_t>(file_name(name, i++));
        DB_TXN *txn = nullptr;
        qnst_txn_begin(f.env.dbenv(), nullptr, &txn);
        uint32_t cver, dver, type, cino = 0;
        if (qnst_dir_add(&f.dir, txn, name, len, kVer, 1, 1000) ||
            qnst_dir_lookup(&f.dir, txn, name, len, kVer, &cver, &dver, &type, &cino))
            state.SkipWithError("add or lookup failed");
        qnst_txn_commit(txn, 0);
    }
}

// What an add and a lookup must do: put the entry, then position a cursor under a write lock on
// the newest version of the name at the version asked.
void BM_dir_add_lookup_floor(benchmark::State &state) {
    FolderFixture f;
    DB *db = f.dir.folder_db;
    uint64_t i = 0;
    for (auto _ : state) {
        char name[32];
        const auto len = static_cast<uint32_t>(file_name(name, i++));
        uint8_t kb[13 + 1023], vb[12];
        qnst::store_le32(kb, kDir);
        kb[4] = '6';
        qnst::store_be32(kb + 5, len);
        std::memcpy(kb + 9, name, len);
        qnst::store_neg_version(kb + 9 + len, kVer);
        qnst::store_le32(vb, QNST_INODE_LIVE);
        qnst::store_le32(vb + 4, 1);
        qnst::store_le32(vb + 8, 1000);
        DB_TXN *txn = nullptr;
        qnst_txn_begin(f.env.dbenv(), nullptr, &txn);
        DBT key = qnst::user_dbt(kb, 13 + len, sizeof kb);
        DBT data = qnst::user_dbt(vb, sizeof vb);
        int rc = db->put(db, txn, &key, &data, 0);
        DBC *c = nullptr;
        if (!rc) rc = db->cursor(db, txn, &c, 0);
        if (!rc) rc = c->get(c, &key, &data, DB_SET_RANGE | DB_RMW);
        if (c) c->close(c);
        if (rc) state.SkipWithError("floor failed");
        qnst_txn_commit(txn, 0);
    }
}

}  // namespace

// Every iteration adds an entry: engine and floor run the same number of iterations so that both
// measure the same growth of the folder.
BENCHMARK(BM_dir_add_lookup)->Iterations(20000);
BENCHMARK(BM_dir_add_lookup_floor)->Iterations(20000);
QNST_BENCH_RATIO(BM_dir_add_lookup, BM_dir_add_lookup_floor);
