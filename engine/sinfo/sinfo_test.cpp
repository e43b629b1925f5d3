// The store-information table: records on disk, numeric listing order, and refused input.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <vector>

#include "inode_fixture.hpp"
#include "qnst_sinfo.h"

namespace {

using namespace qnst::testing;

constexpr char kSource[] = "qnst/sinfo/qnst_sinfo";

struct Rec {
    uint64_t sino = 0, ino = 0;
    uint32_t method = 0, sgen = 0;
    uint64_t stime = 0;
    bool operator==(const Rec &) const = default;
};

class Sinfo : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(0, qnst_sinfo_create(&h_, env_.dbenv()));
        ASSERT_EQ(0, qnst_sinfo_open(&h_, "sinfo.db", 1));
    }
    void TearDown() override { qnst_sinfo_close(&h_); }

    int set(const Rec &r) {
        return with_txn(env_.dbenv(), [&](DB_TXN *t) {
            return qnst_sinfo_set(&h_, t, r.sino, r.ino, r.method, r.sgen, r.stime);
        });
    }
    static Rec of(uint64_t sino) {
        return {sino, sino ^ 0x5555, static_cast<uint32_t>(sino), 3, sino + 1};
    }
    // Every record a listing from `from` yields, or the failure that stopped it.
    std::vector<Rec> list(uint64_t from, int *failed = nullptr) {
        std::vector<Rec> out;
        const int rc = with_txn(env_.dbenv(), [&](DB_TXN *t) {
            out.clear();
            DBC *c = nullptr;
            Rec r{from};
            int got = qnst_sinfo_list(&h_, t, &c, &r.sino, &r.ino, &r.method, &r.sgen, &r.stime);
            if (got) return got;
            while (got == 0 && r.ino != 0) {
                out.push_back(r);
                got = qnst_sinfo_next(&h_, c, &r.sino, &r.ino, &r.method, &r.sgen, &r.stime);
            }
            EXPECT_EQ(0, qnst_sinfo_end(&h_, c));
            return got;
        });
        if (failed) *failed = rc;
        else EXPECT_EQ(0, rc);
        return out;
    }

    TempEnv env_;
    qnst_sinfo h_{};
};

TEST_F(Sinfo, RecordsAreLaidOutByteForByte) {
    ASSERT_EQ(0, set({0x0102030405060708ULL, 0x1112131415161718ULL, 0x21222324, 0x31323334,
                      0x4142434445464748ULL}));
    const uint8_t key[] = {1, 2, 3, 4, 5, 6, 7, 8};
    EXPECT_EQ("1817161514131211" "24232221" "34333231" "4847464544434241",
              raw_record(h_.db, key, sizeof key));
    Rec r{0x0102030405060708ULL};
    ASSERT_EQ(0, qnst_sinfo_get(&h_, nullptr, r.sino, &r.ino, &r.method, &r.sgen, &r.stime));
    EXPECT_EQ((Rec{0x0102030405060708ULL, 0x1112131415161718ULL, 0x21222324, 0x31323334,
                   0x4142434445464748ULL}),
              r);
}

TEST_F(Sinfo, ListingIsInNumericOrderAcross32Bits) {
    std::vector<uint64_t> sinos = {1,           0xFF,          0x100,         0xFFFFFFFFull,
                                   1ull << 32,  (1ull << 32) + 1, 0x1FFFFFFFFull, 1ull << 40,
                                   1ull << 63,  UINT64_MAX};
    std::vector<uint64_t> shuffled = sinos;
    std::shuffle(shuffled.begin(), shuffled.end(), std::mt19937(7));
    for (uint64_t s : shuffled) ASSERT_EQ(0, set(of(s)));

    const struct {
        uint64_t from;
        size_t first;  // index in `sinos` of the first record listed
    } cases[] = {{0, 0}, {2, 1}, {0xFFFFFFFFull, 3}, {0x100000000ull, 4}, {0x100000002ull, 6},
                 {UINT64_MAX, 9}};
    for (const auto &c : cases) {
        std::vector<Rec> want;
        for (size_t i = c.first; i < sinos.size(); ++i) want.push_back(of(sinos[i]));
        EXPECT_EQ(want, list(c.from)) << "from " << c.from;
    }
    // Past every key: the end at once, on a cursor that is still ended.
    ASSERT_EQ(0, with_txn(env_.dbenv(), [&](DB_TXN *t) { return qnst_sinfo_purge(&h_, t, UINT64_MAX); }));
    EXPECT_TRUE(list(1ull << 63 | 1).empty());
    EXPECT_TRUE(env_.error_lines().empty());
}

TEST_F(Sinfo, SetReplacesGetAndPurgeReportMissingRecords) {
    ASSERT_EQ(0, set(of(9)));
    ASSERT_EQ(0, set({9, 77, 1, 2, 3}));
    Rec r{9};
    ASSERT_EQ(0, qnst_sinfo_get(&h_, nullptr, 9, &r.ino, &r.method, &r.sgen, &r.stime));
    EXPECT_EQ((Rec{9, 77, 1, 2, 3}), r);

    EXPECT_EQ(DB_NOTFOUND, qnst_sinfo_get(&h_, nullptr, 10, &r.ino, &r.method, &r.sgen, &r.stime));
    EXPECT_TRUE(env_.error_lines().empty());  // a missing record is an answer, not a failure
    EXPECT_EQ(DB_NOTFOUND,
              with_txn(env_.dbenv(), [&](DB_TXN *t) { return qnst_sinfo_purge(&h_, t, 10); }));
    expect_code_lines(env_.error_lines(), {{kSource, DB_NOTFOUND}});
}

TEST_F(Sinfo, RefusedAndDamagedRecords) {
    // Inode 0 is the listing's end mark: a record carrying it would hide the records after it.
    ASSERT_EQ(0, set(of(1)));
    ASSERT_EQ(0, set(of(3)));
    EXPECT_EQ(EINVAL, set({2, 0, 1, 1, 1}));
    expect_code_lines(env_.error_lines(), {{kSource, EINVAL}});
    EXPECT_EQ((std::vector<Rec>{of(1), of(3)}), list(0));

    // A record shorter or longer than its layout is reported, never read past its end.
    for (const uint32_t bytes : {10u, 30u}) {
        env_.mark_log();
        uint8_t k[8], d[30] = {};
        qnst::store_be64(k, 2);
        DBT key = qnst::user_dbt(k, 8), data = qnst::user_dbt(d, bytes);
        ASSERT_EQ(0, h_.db->put(h_.db, nullptr, &key, &data, 0));
        Rec r;
        EXPECT_EQ(EIO, qnst_sinfo_get(&h_, nullptr, 2, &r.ino, &r.method, &r.sgen, &r.stime))
            << bytes;
        int failed = 0;
        list(0, &failed);
        EXPECT_EQ(EIO, failed) << bytes;
        expect_code_lines(env_.error_lines(), {{kSource, EIO}, {kSource, EIO}});
    }
}

TEST_F(Sinfo, ListingKeepsNoReadLocksOnRecordsPassed) {
    // Enough records for many pages, so that the first ones lie far behind the listing's end.
    ASSERT_EQ(0, with_txn(env_.dbenv(), [&](DB_TXN *t) {
                  for (uint64_t s = 1; s <= 2000; ++s)
                      if (int rc = qnst_sinfo_set(&h_, t, s, s, 0, 0, 0)) return rc;
                  return 0;
              }));
    DB_ENV *dbenv = env_.dbenv();
    DB_TXN *reader = nullptr, *writer = nullptr;
    ASSERT_EQ(0, qnst_txn_begin(dbenv, nullptr, &reader));
    DBC *c = nullptr;
    Rec r;
    ASSERT_EQ(0, qnst_sinfo_list(&h_, reader, &c, &r.sino, &r.ino, &r.method, &r.sgen, &r.stime));
    int listed = 0;
    for (; r.ino != 0; ++listed)
        ASSERT_EQ(0, qnst_sinfo_next(&h_, c, &r.sino, &r.ino, &r.method, &r.sgen, &r.stime));
    EXPECT_EQ(2000, listed);
    // Another transaction rewrites the first record while the listing is still open.
    ASSERT_EQ(0, dbenv->txn_begin(dbenv, nullptr, &writer, DB_TXN_NOWAIT));
    EXPECT_EQ(0, qnst_sinfo_set(&h_, writer, 1, 7, 0, 0, 0));
    EXPECT_EQ(0, qnst_txn_abort(writer));
    EXPECT_EQ(0, qnst_sinfo_end(&h_, c));
    EXPECT_EQ(0, qnst_txn_commit(reader, 0));
}

TEST(SinfoLifecycle, CloseIsIdempotentAndRemoveDeletesTheFile) {
    TempEnv env;
    qnst_sinfo h{};
    ASSERT_EQ(0, qnst_sinfo_create(&h, env.dbenv()));
    ASSERT_EQ(0, qnst_sinfo_open(&h, "s.db", 0));
    EXPECT_EQ(0, qnst_sinfo_close(&h));
    EXPECT_EQ(0, qnst_sinfo_close(&h));
    EXPECT_EQ(EINVAL, qnst_sinfo_open(&h, "s.db", 0));  // closed handles are not reopened
    EXPECT_EQ(0, qnst_sinfo_remove(env.dbenv(), "s.db"));
    EXPECT_FALSE(std::filesystem::exists(env.file("s.db")));
}

}  // namespace
