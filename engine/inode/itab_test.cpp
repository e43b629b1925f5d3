#include <gtest/gtest.h>

#include <vector>

#include "inode_fixture.hpp"

namespace {

using namespace qnst::testing;
constexpr uint32_t kLive = QNST_INODE_LIVE;
using Life = std::pair<uint32_t, uint32_t>;

// One table of its own, outside any set.
class ItabTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(qnst_itab_create(&t_, env_.dbenv()), 0);
        ASSERT_EQ(qnst_itab_open(&t_, "t.db", 0, 1), 0);
    }
    void TearDown() override { qnst_itab_close(&t_); }

    int txn(const std::function<int(DB_TXN *)> &body) { return with_txn(env_.dbenv(), body); }
    int alloc(uint32_t cver, uint32_t *ino) {
        return txn([&](DB_TXN *x) { return qnst_inode_alloc(&t_, x, cver, ino); });
    }
    int pick(uint32_t ino, uint32_t value) {
        return txn([&](DB_TXN *x) { return qnst_inode_pick(&t_, x, ino, value); });
    }
    int getalloc(uint32_t cver, uint32_t ino, uint32_t *extend_by) {
        return txn([&](DB_TXN *x) { return qnst_inode_getalloc(&t_, x, cver, ino, extend_by); });
    }
    int free_at(uint32_t ino, uint32_t dver) {
        return txn([&](DB_TXN *x) { return qnst_inode_free(&t_, x, ino, dver); });
    }

    TempEnv env_;
    qnst_itab t_{};
};

TEST_F(ItabTest, AllocationWaitsForAnExtensionAndTakesTheLowestNumber) {
    uint32_t ino = 0;
    EXPECT_EQ(alloc(1, &ino), QNST_ENOINODE);
    EXPECT_EQ(read_table(t_).seq, 10u);

    ASSERT_EQ(qnst_itab_extend(&t_, 100), 0);
    TableState s = read_table(t_);
    EXPECT_EQ(s.seq, 110u);
    ASSERT_EQ(s.ifree.size(), 100u);
    EXPECT_EQ(*s.ifree.begin(), 10u);
    EXPECT_EQ(*s.ifree.rbegin(), 109u);

    for (uint32_t want : {10u, 11u, 12u}) {
        ASSERT_EQ(alloc(want * 2, &ino), 0);
        EXPECT_EQ(ino, want);
    }
    s = read_table(t_);
    EXPECT_EQ(s.itab, (std::map<uint32_t, Life>{{10, {20, kLive}}, {11, {22, kLive}},
                                                 {12, {24, kLive}}}));
    EXPECT_EQ(s.ifree.count(10) + s.ifree.count(11) + s.ifree.count(12), 0u);

    // Keys are big-endian numbers, records cver then dver little-endian.
    const uint8_t eleven[4] = {0, 0, 0, 11}, thirteen[4] = {0, 0, 0, 13}, one[4] = {1, 0, 0, 0};
    EXPECT_EQ(raw_record(t_.itab, eleven, 4), "16000000f0ffff7f");
    EXPECT_EQ(raw_record(t_.ifree, thirteen, 4), "");
    EXPECT_EQ(raw_record(t_.seq, one, 4), "6e000000");
    EXPECT_TRUE(env_.error_lines().empty());
}

TEST_F(ItabTest, PickFollowsWhereTheNumberStands) {
    // Below the end and in neither database: taken at once.
    EXPECT_EQ(pick(5, 3), 0);
    // Close past the end: the caller must extend first.
    EXPECT_EQ(pick(500, 3), QNST_ENOINODE);
    EXPECT_EQ(pick(10 + 1023, 3), QNST_ENOINODE);
    TableState s = read_table(t_);
    EXPECT_EQ(s.itab, (std::map<uint32_t, Life>{{5, {3, kLive}}}));
    EXPECT_EQ(s.seq, 10u);
    // Far past the end: the gap is abandoned and the sequence moves past the number.
    EXPECT_EQ(pick(5000, 4), 0);
    s = read_table(t_);
    EXPECT_EQ(s.seq, 5001u);
    EXPECT_TRUE(s.ifree.empty());
    EXPECT_EQ(s.itab.at(5000), Life(4, kLive));
    ASSERT_EQ(qnst_itab_extend(&t_, 2), 0);
    EXPECT_EQ(read_table(t_).ifree, (std::set<uint32_t>{5001, 5002}));

    // A free number is allocated with the pick's value.
    EXPECT_EQ(pick(5002, 6), 0);
    s = read_table(t_);
    EXPECT_EQ(s.ifree, std::set<uint32_t>{5001});
    EXPECT_EQ(s.itab.at(5002), Life(6, kLive));

    // A live number stays as it is; one that ended at or before the value is revived with its
    // first cver.
    EXPECT_EQ(pick(5, 9), 0);
    ASSERT_EQ(free_at(5, 7), 0);
    EXPECT_EQ(read_table(t_).itab.at(5), Life(3, 7));
    EXPECT_EQ(pick(5, 6), 0);  // still live at 6
    EXPECT_EQ(read_table(t_).itab.at(5), Life(3, 7));
    EXPECT_EQ(pick(5, 7), 0);
    EXPECT_EQ(read_table(t_).itab.at(5), Life(3, kLive));
    EXPECT_TRUE(env_.error_lines().empty());
}

TEST_F(ItabTest, PickAtTheEdgeOfTheReach) {
    EXPECT_EQ(pick(10 + 1024, 1), 0);
    EXPECT_EQ(read_table(t_).seq, 10u + 1025);
}

TEST_F(ItabTest, GetallocAsksForTheExtensionItNeeds) {
    uint32_t extend_by = 99;
    ASSERT_EQ(getalloc(2, 15, &extend_by), 0);
    EXPECT_EQ(extend_by, 6u);
    EXPECT_TRUE(read_table(t_).itab.empty());
    ASSERT_EQ(qnst_itab_extend(&t_, extend_by), 0);
    ASSERT_EQ(getalloc(2, 15, &extend_by), 0);
    EXPECT_EQ(extend_by, 0u);
    TableState s = read_table(t_);
    EXPECT_EQ(s.itab, (std::map<uint32_t, Life>{{15, {2, kLive}}}));
    EXPECT_EQ(s.ifree, (std::set<uint32_t>{10, 11, 12, 13, 14}));

    env_.mark_log();
    // Allocated; never issued below the end; numbers a table never issues, which are not beyond
    // its end either: all are taken, and nothing is asked to be extended for.
    for (uint32_t busy : {15u, 4u, 0u, 0x80000000u, 0xFFFFFFFFu}) {
        extend_by = 99;
        EXPECT_EQ(getalloc(3, busy, &extend_by), QNST_EINODEBUSY) << busy;
        EXPECT_EQ(extend_by, 0u) << busy;
    }
    expect_code_lines(env_.error_lines(), std::vector<std::pair<std::string, int>>(
                                              5, {"qnst/inode/qnst_itab", DB_NOTFOUND}));
    EXPECT_EQ(read_table(t_).itab.at(15), Life(2, kLive));
}

TEST_F(ItabTest, RefusesWhatItCannotDo) {
    env_.mark_log();
    EXPECT_EQ(pick(0, 1), EINVAL);
    EXPECT_EQ(pick(0x80000000u, 1), EINVAL);
    EXPECT_EQ(free_at(10, 1), DB_NOTFOUND);  // never allocated; the set's call logs
    expect_code_lines(env_.error_lines(),
                      {{"qnst/inode/qnst_itab", EINVAL}, {"qnst/inode/qnst_itab", EINVAL}});

    // A table whose numbers would run past the top.
    EXPECT_EQ(pick(0x7FFFFFFFu, 1), 0);
    EXPECT_EQ(read_table(t_).seq, 0x80000000u);
    EXPECT_EQ(qnst_itab_extend(&t_, 1), ENOSPC);
    EXPECT_EQ(qnst_itab_extend(&t_, 0), 0);

    // Tables that are not open, or no longer.
    qnst_itab other{};
    ASSERT_EQ(qnst_itab_create(&other, env_.dbenv()), 0);
    EXPECT_EQ(qnst_itab_extend(&other, 10), EINVAL);
    qnst_itab_close(&other);
    EXPECT_EQ(qnst_itab_extend(&other, 10), EINVAL);
    EXPECT_EQ(qnst_itab_remove(env_.dbenv(), "missing.db"), ENOENT);
}

TEST_F(ItabTest, ReopeningKeepsTheSequence) {
    ASSERT_EQ(qnst_itab_extend(&t_, 5), 0);
    qnst_itab_close(&t_);
    ASSERT_EQ(qnst_itab_create(&t_, env_.dbenv()), 0);
    ASSERT_EQ(qnst_itab_open(&t_, "t.db", 0, 1), 0);
    EXPECT_EQ(read_table(t_).seq, 15u);
    qnst_itab_close(&t_);
    ASSERT_EQ(qnst_itab_remove(env_.dbenv(), "t.db"), 0);
    EXPECT_FALSE(std::filesystem::exists(env_.file("t.db")));
    ASSERT_EQ(qnst_itab_create(&t_, env_.dbenv()), 0);
}

class ItabCompressedTest : public ItabmFixture {
protected:
    ItabCompressedTest() : ItabmFixture(1, EnvOptions{.compress = 1}) {}
};

TEST_F(ItabCompressedTest, CompressesTheAllocationDatabaseOnly) {
    ASSERT_EQ(qnst_itabm_extend(&m_, 3, 1), 0);
    EXPECT_NE(dump("it_0.db", "itab").find("compressed=1"), std::string::npos);
    EXPECT_EQ(dump("it_0.db", "ifree").find("compressed=1"), std::string::npos);
}

TEST(ItabPageSize, ANewFileTakesThePageSize) {
    TempEnv env;
    qnst_itab t{};
    ASSERT_EQ(qnst_itab_create(&t, env.dbenv()), 0);
    ASSERT_EQ(qnst_itab_open(&t, "p.db", 8192, 1), 0);
    uint32_t pagesize = 0;
    EXPECT_EQ(t.ifree->get_pagesize(t.ifree, &pagesize), 0);
    EXPECT_EQ(pagesize, 8192u);
    qnst_itab_close(&t);
}

// ---------------------------------------------------------------------------------------------
// Sets of tables.

class ItabmTest : public ItabmFixture {
protected:
    ItabmTest() : ItabmFixture(2) {}

    int alloc(uint32_t *ino, uint32_t cver = 1) {
        return txn([&](DB_TXN *x) { return qnst_inodem_alloc(&m_, x, cver, ino); });
    }
    std::vector<uint32_t> walk() {
        std::vector<uint32_t> seen;
        uint32_t cursor = 0, cver = 0, dver = 0;
        do {
            EXPECT_EQ(txn([&](DB_TXN *x) {
                          return qnst_inodem_next(&m_, x, &cursor, &cver, &dver);
                      }),
                      0);
            if (cursor) seen.push_back(cursor);
        } while (cursor && seen.size() < 10000);
        return seen;
    }
};

TEST_F(ItabmTest, RegistersWithTheEnvironmentWhileItExists) {
    EXPECT_EQ(qnst_env_checkopen(env_.env(), 0), EBUSY);
    EXPECT_EQ(qnst_env_checkopen(env_.env(), 77), EBUSY);
    EXPECT_EQ(qnst_env_checkopen(env_.env(), 78), 0);
    qnst_itabm_close(&m_);
    EXPECT_EQ(qnst_env_checkopen(env_.env(), 0), 0);
    EXPECT_EQ(qnst_env_checkopen(env_.env(), 77), 0);
    EXPECT_EQ(m_.tables, nullptr);
    qnst_itabm_close(&m_);  // a second close is harmless
    EXPECT_EQ(qnst_itabm_create(&m_, env_.env(), 1, nullptr, nullptr, nullptr, 9), EINVAL);
    EXPECT_EQ(qnst_env_checkopen(env_.env(), 0), 0);
}

TEST_F(ItabmTest, AllocationsAlternateBetweenTablesAndCarryTheTableIndex) {
    uint32_t ino = 0;
    // Fresh tables are maybe free: the first call finds table 0 empty, extension at the cursor
    // (table 1) is not needed yet, the next call finds table 1 empty.
    EXPECT_EQ(alloc(&ino), QNST_ENOINODE);
    EXPECT_EQ(qnst_itabm_extend(&m_, 50, 0), 0);
    EXPECT_EQ(table(1).seq, 10u);
    EXPECT_EQ(alloc(&ino), QNST_ENOINODE);
    EXPECT_EQ(m_.nfree[0], 0);
    EXPECT_EQ(m_.nfree[1], 0);
    EXPECT_EQ(alloc(&ino), QNST_ENOINODE);  // both known empty: no database access
    ASSERT_EQ(qnst_itabm_extend(&m_, 50, 0), 0);  // table 1, at the cursor and known empty
    ASSERT_EQ(qnst_itabm_extend(&m_, 50, 1), 0);  // table 0, by number

    std::vector<uint32_t> got;
    for (int i = 0; i < 4; ++i) {
        ASSERT_EQ(alloc(&ino), 0);
        got.push_back(ino);
    }
    EXPECT_EQ(got, (std::vector<uint32_t>{0x1000000a, 10, 0x1000000b, 11}));
    EXPECT_EQ(m_.nfree[0], 48);
    EXPECT_EQ(m_.nfree[1], 48);

    // A number given back is the next one its table issues.
    ASSERT_EQ(txn([&](DB_TXN *x) { return qnst_inodem_dealloc(&m_, x, 0x1000000a); }), 0);
    ASSERT_EQ(alloc(&ino), 0);  // the cursor is back at table 1
    EXPECT_EQ(ino, 0x1000000au);
    EXPECT_EQ(table(1).itab.at(10), Life(1, kLive));
    EXPECT_TRUE(env_.error_lines().empty());
}

TEST_F(ItabmTest, WalkVisitsTableZeroThenTableOneAndEndsWithZero) {
    ASSERT_EQ(qnst_itabm_extend(&m_, 20, 1), 0);
    ASSERT_EQ(qnst_itabm_extend(&m_, 20, 0x10000001u), 0);
    EXPECT_TRUE(walk().empty());
    for (uint32_t ino : {0x10000012u, 0x10000002u, 15u, 11u, 0x1000001du})
        ASSERT_EQ(txn([&](DB_TXN *x) { return qnst_inodem_pick(&m_, x, ino, 1); }), 0);
    EXPECT_EQ(walk(), (std::vector<uint32_t>{11, 15, 0x10000002, 0x10000012, 0x1000001d}));

    uint32_t cursor = 15, cver = 0, dver = 0;
    ASSERT_EQ(txn([&](DB_TXN *x) { return qnst_inodem_next(&m_, x, &cursor, &cver, &dver); }), 0);
    EXPECT_EQ(cursor, 0x10000002u);
    EXPECT_EQ(cver, 1u);
    EXPECT_EQ(dver, kLive);
    cursor = 0x20000000;  // beyond the set
    ASSERT_EQ(txn([&](DB_TXN *x) { return qnst_inodem_next(&m_, x, &cursor, &cver, &dver); }), 0);
    EXPECT_EQ(cursor, 0u);
}

TEST_F(ItabmTest, GetinfoDescribesANumber) {
    ASSERT_EQ(qnst_itabm_extend(&m_, 5, 0x10000001u), 0);
    ASSERT_EQ(txn([&](DB_TXN *x) { return qnst_inodem_pick(&m_, x, 0x1000000c, 4); }), 0);
    ASSERT_EQ(txn([&](DB_TXN *x) { return qnst_inodem_free(&m_, x, 0x1000000c, 8); }), 0);
    int32_t beyond = -1, is_free = -1;
    uint32_t cver = 0, dver = 0;
    auto info = [&](uint32_t ino) {
        return txn([&](DB_TXN *x) {
            return qnst_inodem_getinfo(&m_, x, ino, &beyond, &is_free, &cver, &dver);
        });
    };
    ASSERT_EQ(info(0x1000000c), 0);
    EXPECT_EQ(std::make_tuple(beyond, is_free, cver, dver), std::make_tuple(0, 0, 4u, 8u));
    env_.mark_log();
    EXPECT_EQ(info(0x1000000b), DB_NOTFOUND);  // free, so not allocated
    EXPECT_EQ(is_free, 1);
    expect_code_lines(env_.error_lines(), {{"qnst/inode/qnst_itabm", DB_NOTFOUND}});
}

TEST_F(ItabmTest, SetrangeOnlyEverRaisesTheSequence) {
    ASSERT_EQ(qnst_itabm_extend(&m_, 10, 0x10000001u), 0);  // 10..19
    uint32_t ino = 0;
    ASSERT_EQ(txn([&](DB_TXN *x) { return qnst_inodem_getalloc(&m_, x, 1, 0x10000013, &ino); }),
              0);
    // Lowering would reissue 19, which is allocated.
    ASSERT_EQ(txn([&](DB_TXN *x) { return qnst_itabm_setrange(&m_, x, 0x10000011); }), 0);
    EXPECT_EQ(table(1).seq, 20u);
    ASSERT_EQ(qnst_itabm_extend(&m_, 2, 0x10000001u), 0);
    EXPECT_EQ(table(1).ifree.count(19), 0u);
    ASSERT_EQ(txn([&](DB_TXN *x) { return qnst_itabm_setrange(&m_, x, 0x10000063); }), 0);
    EXPECT_EQ(table(1).seq, 100u);
    EXPECT_EQ(table(0).seq, 10u);
}

// A set opened without `create` has no sequence: nothing can be issued until one is set.
TEST(ItabmWithoutCreate, SetrangeGivesATableItsSequence) {
    TempEnv env;
    qnst_itabmrec m{};
    ASSERT_EQ(qnst_itabm_create(&m, env.env(), 5, nullptr, nullptr, nullptr, 2), 0);
    ASSERT_EQ(qnst_itabm_open(&m, "nc", 0, 0), 0);
    EXPECT_EQ(read_table(m.tables[1]).seq, 0u);
    auto setrange = [&](DB_TXN *x) { return qnst_itabm_setrange(&m, x, 0x10000063); };
    EXPECT_EQ(with_txn(env.dbenv(), setrange), 0);
    EXPECT_EQ(read_table(m.tables[1]).seq, 100u);
    ASSERT_EQ(qnst_itabm_extend(&m, 2, 0x10000001u), 0);
    EXPECT_EQ(read_table(m.tables[1]).ifree, (std::set<uint32_t>{100, 101}));
    EXPECT_EQ(read_table(m.tables[0]).seq, 0u);
    EXPECT_TRUE(env.error_lines().empty());
    qnst_itabm_close(&m);
}

TEST_F(ItabmTest, RefusesNumbersOutsideTheSet) {
    env_.mark_log();
    uint32_t out = 0;
    int32_t a = 0, b = 0;
    for (uint32_t bad : {0x20000005u, 0x80000005u, 0xF0000005u}) {
        EXPECT_EQ(qnst_itabm_extend(&m_, 1, bad), EINVAL);
        EXPECT_EQ(txn([&](DB_TXN *x) { return qnst_inodem_pick(&m_, x, bad, 1); }), EINVAL);
        EXPECT_EQ(txn([&](DB_TXN *x) { return qnst_inodem_getalloc(&m_, x, 1, bad, &out); }),
                  EINVAL);
        EXPECT_EQ(txn([&](DB_TXN *x) { return qnst_inodem_free(&m_, x, bad, 1); }), EINVAL);
        EXPECT_EQ(txn([&](DB_TXN *x) { return qnst_inodem_dealloc(&m_, x, bad); }), EINVAL);
        EXPECT_EQ(txn([&](DB_TXN *x) { return qnst_inodem_notfree(&m_, x, bad); }), EINVAL);
        EXPECT_EQ(txn([&](DB_TXN *x) { return qnst_itabm_setrange(&m_, x, bad); }), EINVAL);
        EXPECT_EQ(txn([&](DB_TXN *x) {
                      return qnst_inodem_getinfo(&m_, x, bad, &a, &b, &out, &out);
                  }),
                  EINVAL);
    }
    EXPECT_EQ(env_.error_lines().size(), 24u);

    // A table of a set stops short of the table index bits.
    ASSERT_EQ(txn([&](DB_TXN *x) { return qnst_itabm_setrange(&m_, x, 0x0FFFFFFE); }), 0);
    EXPECT_EQ(qnst_itabm_extend(&m_, 1, 1), 0);
    EXPECT_EQ(qnst_itabm_extend(&m_, 1, 1), ENOSPC);
}

TEST_F(ItabmTest, FilesFollowTheBaseNameAndAreRemovedTogether) {
    EXPECT_TRUE(std::filesystem::exists(env_.file("it_0.db")));
    EXPECT_TRUE(std::filesystem::exists(env_.file("it_1.db")));
    qnst_itabm_close(&m_);
    ASSERT_EQ(qnst_itabm_remove(dbenv(), "it", 2), 0);
    EXPECT_FALSE(std::filesystem::exists(env_.file("it_0.db")));
    EXPECT_FALSE(std::filesystem::exists(env_.file("it_1.db")));
    env_.mark_log();
    EXPECT_EQ(qnst_itabm_remove(dbenv(), "it", 1), ENOENT);
    expect_code_lines(env_.error_lines(), {{"qnst/inode/qnst_itabm", ENOENT}});
}

}  // namespace
