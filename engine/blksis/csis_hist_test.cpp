// The partition's histogram of reference counts.
#include <filesystem>

#include "sis_fixture.hpp"

namespace {

using sistest::Partition;

constexpr const char *kCsis = "qnst/blksis/qnst_csis";

class Histogram : public Partition {
protected:
    std::string raw_bucket(db_recno_t b) { return raw(part.histdb, &b, sizeof b); }
    int update(int32_t b, int32_t delta) {
        return txn([&](DB_TXN *t) { return qnst_csis_histupdate(&part, t, b, delta); });
    }
    // Reopens the cache store's histogram under `name` with `init`.
    void reopen(const char *name, int32_t init) {
        qnst_csis_close(&part);
        ASSERT_EQ(0, qnst_csis_create(&part, dbenv(), &dfile));
        ASSERT_EQ(0, qnst_csis_histopen(&part, name, "", init));
    }
};

TEST_F(Histogram, CreationFillsEveryBucketAndTheEndMark) {
    EXPECT_TRUE(std::filesystem::exists(env.file("hist_blksis_0.db")));
    for (db_recno_t b = 1; b <= 256; ++b) ASSERT_EQ("00000000", raw_bucket(b)) << b;
    EXPECT_EQ("ffffff0f", raw_bucket(257));
    EXPECT_EQ("", raw_bucket(258));
}

TEST_F(Histogram, ReopeningKeepsCountsAndAMissingFileIsCreated) {
    ASSERT_EQ(0, update(3, +5));
    reopen("blksis_0", 1);
    EXPECT_EQ(5u, bucket(3));
    reopen("blksis_0", 0);
    EXPECT_EQ(5u, bucket(3));
    EXPECT_EQ("ffffff0f", raw_bucket(257));
    // Without init, a missing file is created and filled all the same.
    reopen("blksis_7", 0);
    EXPECT_TRUE(std::filesystem::exists(env.file("hist_blksis_7.db")));
    EXPECT_EQ(0u, bucket(3));
    EXPECT_EQ("ffffff0f", raw_bucket(257));
    expect_log({}, kCsis);
}

TEST_F(Histogram, UpdateCapsBucketsAndRefusesNegativeOnes) {
    ASSERT_EQ(0, update(0, +1));
    ASSERT_EQ(0, update(300, +2));
    ASSERT_EQ(0, update(256, -1));
    ASSERT_EQ(0, update(12, +1));
    EXPECT_EQ(1u, bucket(256));
    EXPECT_EQ("01000000", raw_bucket(12));
    EXPECT_EQ(EINVAL, update(-1, +1));
    expect_log({"code 22"}, kCsis);
    uint32_t n = 0;
    EXPECT_EQ(DB_NOTFOUND, qnst_csis_histget(&part, 258, &n));
    EXPECT_EQ(EINVAL, qnst_csis_histget(&part, 0, &n));
    expect_log({"code -30988", "code 22"}, kCsis);
}

TEST_F(Histogram, HoldAndReleaseStepsMoveBlocksBetweenBuckets) {
    struct Case {
        const char *what;
        bool hold;
        int32_t count;
        uint32_t counted;
        std::vector<std::pair<int32_t, int32_t>> changes;  // bucket, change
    };
    const Case cases[] = {
        {"hold, counted", true, 5, 1, {{4, -1}, {5, +1}}},
        {"hold, not counted", true, 1, 0, {{1, +1}}},
        {"hold, legacy block into its bucket", true, 6, 0, {{6, +1}}},
        {"hold past the cap", true, 257, 1, {}},  // 256 and 257 share bucket 256
        {"hold above the cap", true, 300, 1, {}},
        {"hold to 1, counted", true, 1, 1, {{1, +1}}},  // from count 0: no bucket to leave
        {"release, counted", false, 4, 1, {{5, -1}, {4, +1}}},
        {"release to 0, counted", false, 0, 1, {{1, -1}}},
        {"release, not counted", false, 7, 0, {{7, +1}}},
        {"release to 0, not counted", false, 0, 0, {}},
        {"release from the cap", false, 255, 1, {{256, -1}, {255, +1}}},
        {"release above the cap", false, 131071, 1, {}},
    };
    for (const Case &c : cases) {
        std::vector<uint32_t> before(257);
        for (int b = 1; b <= 256; ++b) before[b] = bucket(b);
        ASSERT_EQ(0, update(256, +1));  // gives the capped cases a block to move
        before[256] += 1;
        ASSERT_EQ(0, txn([&](DB_TXN *t) {
                      return c.hold ? qnst_csis_holdhist(&part, t, c.count, c.counted)
                                    : qnst_csis_relehist(&part, t, c.count, c.counted);
                  }))
            << c.what;
        std::vector<uint32_t> expect = before;
        for (const auto &[b, d] : c.changes) expect[b] += d;
        for (int b = 1; b <= 256; ++b)
            EXPECT_EQ(expect[b], bucket(b)) << c.what << ", bucket " << b;
    }
    EXPECT_EQ(EINVAL, txn([&](DB_TXN *t) { return qnst_csis_holdhist(&part, t, 0, 0); }));
    EXPECT_EQ(EINVAL, txn([&](DB_TXN *t) { return qnst_csis_relehist(&part, t, -1, 1); }));
    expect_log({"code 22", "code 22"}, kCsis);
}

TEST_F(Histogram, CreateSetsTheWatermarkAndCloseClearsTheHandles) {
    part.wmark = 9;
    qnst_csis_close(&part);
    for (DB *db : {part.cachedb, part.stqdb, part.hdqdb, part.histdb}) EXPECT_EQ(nullptr, db);
    ASSERT_EQ(0, qnst_csis_create(&part, dbenv(), &dfile));
    EXPECT_EQ(1, part.wmark);
    for (DB *db : {part.cachedb, part.stqdb, part.hdqdb, part.histdb}) EXPECT_NE(nullptr, db);
    EXPECT_EQ(0, qnst_csis_close(&part));
    EXPECT_EQ(0, qnst_csis_close(&part));
}

}  // namespace
