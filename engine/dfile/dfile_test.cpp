// The dfile table: records on disk, pre-creation, reads, writes and the usage update.
#include <gtest/gtest.h>


#include "qnst_dfile.h"
#include "qnst_dfile_usage.hpp"
#include "qnst_internal.hpp"
#include "qnst_testing.hpp"

namespace {

using qnst::testing::EnvOptions;
using qnst::testing::TempEnv;
using qnst::testing::with_txn;

struct Record {
    uint32_t ver = 0, over = 0;
    uint64_t coff = 0, ooff = 0, used = 0;
    bool operator==(const Record &) const = default;
};

class Dfile : public ::testing::Test {
protected:
    void SetUp() override { open(nfiles_, 1); }
    void TearDown() override { qnst_dfile_close(&h_); }

    void open(uint32_t nfiles, int32_t init) {
        ASSERT_EQ(0, qnst_dfile_create(&h_, env_.dbenv(), nfiles));
        ASSERT_EQ(0, qnst_dfile_open(&h_, "dfile.db", init));
    }
    Record get(uint32_t dindex, int *rc = nullptr) {
        Record r;
        const int got = qnst_dfile_get(&h_, nullptr, dindex, &r.ver, &r.over, &r.coff, &r.ooff,
                                       &r.used, 0);
        if (rc) *rc = got;
        else EXPECT_EQ(0, got) << dindex;
        return r;
    }
    db_recno_t last_recno() {
        qnst::Cursor c;
        EXPECT_EQ(0, c.open(h_.db, nullptr, 0));
        db_recno_t recno = 0;
        uint8_t rec[32];
        DBT key = qnst::user_dbt(&recno, 0, sizeof recno), data = qnst::user_dbt(rec, 0, sizeof rec);
        EXPECT_EQ(0, c->get(c.get(), &key, &data, DB_LAST));
        return recno;
    }

    TempEnv env_;
    uint32_t nfiles_ = 1000;
    qnst_dfile h_{};
};

TEST_F(Dfile, InitRoundsUpToBatchesOf128FreshRecords) {
    EXPECT_EQ(1024u, last_recno());
    const Record fresh{1, 1, 0, 0, 0};
    EXPECT_EQ(fresh, get(0));
    EXPECT_EQ(fresh, get(1023));
    int rc = 0;
    get(1024, &rc);
    EXPECT_EQ(DB_NOTFOUND, rc);
    // A missing record is a failure for the caller and is logged as such.
    qnst::testing::expect_log_entries(env_.error_lines(),
                                      {{"qnst/dfile/qnst_dfile", "code -30988"}});
}

TEST_F(Dfile, InitKeepsExistingRecordsAndOnlyAddsUpToTheNextMultiple) {
    ASSERT_EQ(0, qnst_dfile_set(&h_, nullptr, 5, 7, 6, 4096, 512, 3000));
    ASSERT_EQ(0, qnst_dfile_set(&h_, nullptr, 1023, 2, 1, 10, 0, 10));
    qnst_dfile_close(&h_);
    open(1100, 1);
    EXPECT_EQ(1152u, last_recno());
    EXPECT_EQ((Record{7, 6, 4096, 512, 3000}), get(5));
    EXPECT_EQ((Record{2, 1, 10, 0, 10}), get(1023));
    EXPECT_EQ((Record{1, 1, 0, 0, 0}), get(1151));
}

TEST_F(Dfile, RecordsHaveTheir32ByteLittleEndianLayout) {
    ASSERT_EQ(0, qnst_dfile_set(&h_, nullptr, 0, 0x01020304, 0x05060708, 0x1112131415161718ULL,
                                0x2122232425262728ULL, 0x3132333435363738ULL));
    db_recno_t recno = 1;  // data file 0 is record 1
    uint8_t raw[64];
    DBT key = qnst::user_dbt(&recno, sizeof recno), data = qnst::user_dbt(raw, 0, sizeof raw);
    ASSERT_EQ(0, h_.db->get(h_.db, nullptr, &key, &data, 0));
    ASSERT_EQ(32u, data.size);
    EXPECT_EQ("04030201" "08070605" "1817161514131211" "2827262524232221" "3837363534333231",
              qnst::testing::hex(raw, 32));

    qnst_dfile_close(&h_);
    int status = -1;
    const std::string out = qnst::testing::run_utility(
        std::string(qnst::testing::kDbVerify) + " -q -h " + env_.home().string() + " dfile.db 2>&1", &status);
    EXPECT_EQ(0, status) << out;
    open(nfiles_, 0);
}

TEST_F(Dfile, UsageUpdateAddsTheDeltaAndMovesTheOffset) {
    ASSERT_EQ(0, qnst_dfile_set(&h_, nullptr, 3, 4, 3, 1000, 200, 5000));
    uint64_t growth = 77;
    ASSERT_EQ(0, with_txn(env_.dbenv(), [&](DB_TXN *txn) {
                  return qnst_dfile_usage(&h_, txn, 3, 1512, 512, &growth);
              }));
    EXPECT_EQ(512u, growth);
    EXPECT_EQ((Record{4, 3, 1512, 200, 5512}), get(3));

    // A zero new offset changes only the usage; a release passes a negative amount.
    growth = 77;
    ASSERT_EQ(0, with_txn(env_.dbenv(), [&](DB_TXN *txn) {
                  return qnst_dfile_usage(&h_, txn, 3, 0, -6000, &growth);
              }));
    EXPECT_EQ(77u, growth);
    EXPECT_EQ((Record{4, 3, 1512, 200, static_cast<uint64_t>(5512 - 6000)}), get(3));
}

TEST_F(Dfile, UsageUpdateOfAMissingRecordFails) {
    uint64_t growth = 0;
    EXPECT_EQ(DB_NOTFOUND, with_txn(env_.dbenv(), [&](DB_TXN *txn) {
                  return qnst_dfile_usage(&h_, txn, 5000, 10, 1, &growth);
              }));
}

TEST_F(Dfile, AbortedUsageUpdateLeavesTheRecord) {
    uint64_t growth = 0;
    DB_TXN *txn = nullptr;
    ASSERT_EQ(0, qnst_txn_begin(env_.dbenv(), nullptr, &txn));
    ASSERT_EQ(0, qnst_dfile_usage(&h_, txn, 2, 4096, 4096, &growth));
    ASSERT_EQ(0, qnst_txn_abort(txn));
    EXPECT_EQ((Record{1, 1, 0, 0, 0}), get(2));
}

TEST(DfileLifecycle, RemoveDeletesTheFileAndReportsAMissingOne) {
    TempEnv env;
    qnst_dfile h;
    ASSERT_EQ(0, qnst_dfile_create(&h, env.dbenv(), 1));
    ASSERT_EQ(0, qnst_dfile_open(&h, "d.db", 1));
    EXPECT_EQ(0, qnst_dfile_close(&h));
    EXPECT_EQ(nullptr, h.db);
    EXPECT_EQ(0, qnst_dfile_close(&h));
    EXPECT_EQ(0, qnst_dfile_remove(env.dbenv(), "d.db"));
    EXPECT_FALSE(std::filesystem::exists(env.file("d.db")));
    EXPECT_EQ(ENOENT, qnst_dfile_remove(env.dbenv(), "d.db"));
}

// A batch that cannot be written (here the lock table runs out inside it) is rolled back and
// reported once, at the put that failed.
TEST(DfileLifecycle, FailedPrecreationIsLoggedOnceAndRolledBack) {
    EnvOptions small;
    small.max_locks = 100;
    TempEnv env(small);
    qnst_dfile h;
    ASSERT_EQ(0, qnst_dfile_create(&h, env.dbenv(), 1000));
    env.mark_log();
    const int rc = qnst_dfile_open(&h, "d.db", 1);
    ASSERT_NE(0, rc);
    EXPECT_EQ(1u, qnst::testing::count_log_entries(
                      env.error_lines(), {"qnst/dfile/qnst_dfile", "code " + std::to_string(rc)}));
    uint32_t ver = 0, over = 0;
    uint64_t coff = 0, ooff = 0, used = 0;
    // The rolled-back records are empty slots of the queue.
    EXPECT_EQ(DB_KEYEMPTY, qnst_dfile_get(&h, nullptr, 0, &ver, &over, &coff, &ooff, &used, 0));
    qnst_dfile_close(&h);
}

}  // namespace
