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
        ASSERT_EQ(0, qnst_itab_create(&t_, env_.dbenv()));
        ASSERT_EQ(0, qnst_itab_open(&t_, "t.db", 0, 1));
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
    EXPECT_EQ(QNST_ENOINODE, alloc(1, &ino));
    EXPECT_EQ(10u, read_table(t_).seq);

    ASSERT_EQ(0, qnst_itab_extend(&t_, 100));
    TableState s = read_table(t_);
    EXPECT_EQ(110u, s.seq);
    ASSERT_EQ(100u, s.ifree.size());
    EXPECT_EQ(10u, *s.ifree.begin());
    EXPECT_EQ(109u, *s.ifree.rbegin());

    for (uint32_t want : {10u, 11u, 12u}) {
        ASSERT_EQ(0, alloc(want * 2, &ino));
        EXPECT_EQ(ino, want);
    }
    s = read_table(t_);
    EXPECT_EQ(s.itab, (std::map<uint32_t, Life>{{10, {20, kLive}}, {11, {22, kLive}},
                                                 {12, {24, kLive}}}));
    EXPECT_EQ(0u, s.ifree.count(10) + s.ifree.count(11) + s.ifree.count(12));

    // Keys are big-endian numbers, records cver then dver little-endian.
    const uint8_t eleven[4] = {0, 0, 0, 11}, thirteen[4] = {0, 0, 0, 13}, one[4] = {1, 0, 0, 0};
    EXPECT_EQ("16000000f0ffff7f", raw_record(t_.itab, eleven, 4));
    EXPECT_EQ("", raw_record(t_.ifree, thirteen, 4));
    EXPECT_EQ("6e000000", raw_record(t_.seq, one, 4));
    EXPECT_TRUE(env_.error_lines().empty());
}

TEST_F(ItabTest, PickFollowsWhereTheNumberStands) {
    // Below the end and in neither database: taken at once.
    EXPECT_EQ(0, pick(5, 3));
    // Close past the end: the caller must extend first.
    EXPECT_EQ(QNST_ENOINODE, pick(500, 3));
    EXPECT_EQ(QNST_ENOINODE, pick(10 + 1023, 3));
    TableState s = read_table(t_);
    EXPECT_EQ(s.itab, (std::map<uint32_t, Life>{{5, {3, kLive}}}));
    EXPECT_EQ(10u, s.seq);
    // Far past the end: the gap is abandoned and the sequence moves past the number.
    EXPECT_EQ(0, pick(5000, 4));
    s = read_table(t_);
    EXPECT_EQ(5001u, s.seq);
    EXPECT_TRUE(s.ifree.empty());
    EXPECT_EQ(s.itab.at(5000), Life(4, kLive));
    ASSERT_EQ(0, qnst_itab_extend(&t_, 2));
    EXPECT_EQ(read_table(t_).ifree, (std::set<uint32_t>{5001, 5002}));

    // A free number is allocated with the pick's value.
    EXPECT_EQ(0, pick(5002, 6));
    s = read_table(t_);
    EXPECT_EQ(s.ifree, std::set<uint32_t>{5001});
    EXPECT_EQ(s.itab.at(5002), Life(6, kLive));

    // A live number stays as it is; one that ended at or before the value is revived with its
    // first cver.
    EXPECT_EQ(0, pick(5, 9));
    ASSERT_EQ(0, free_at(5, 7));
    EXPECT_EQ(read_table(t_).itab.at(5), Life(3, 7));
    EXPECT_EQ(0, pick(5, 6));  // still live at 6
    EXPECT_EQ(read_table(t_).itab.at(5), Life(3, 7));
    EXPECT_EQ(0, pick(5, 7));
    EXPECT_EQ(read_table(t_).itab.at(5), Life(3, kLive));
    EXPECT_TRUE(env_.error_lines().empty());
}

TEST_F(ItabTest, PickAtTheEdgeOfTheReach) {
    EXPECT_EQ(0, pick(10 + 1024, 1));
    EXPECT_EQ(read_table(t_).seq, 10u + 1025);
}

TEST_F(ItabTest, GetallocAsksForTheExtensionItNeeds) {
    uint32_t extend_by = 99;
    ASSERT_EQ(0, getalloc(2, 15, &extend_by));
    EXPECT_EQ(6u, extend_by);
    EXPECT_TRUE(read_table(t_).itab.empty());
    ASSERT_EQ(0, qnst_itab_extend(&t_, extend_by));
    ASSERT_EQ(0, getalloc(2, 15, &extend_by));
    EXPECT_EQ(0u, extend_by);
    TableState s = read_table(t_);
    EXPECT_EQ(s.itab, (std::map<uint32_t, Life>{{15, {2, kLive}}}));
    EXPECT_EQ(s.ifree, (std::set<uint32_t>{10, 11, 12, 13, 14}));

    env_.mark_log();
    // Allocated; never issued below the end; numbers a table never issues, which are not beyond
    // its end either: all are taken, and nothing is asked to be extended for.
    for (uint32_t busy : {15u, 4u, 0u, 0x80000000u, 0xFFFFFFFFu}) {
        extend_by = 99;
        EXPECT_EQ(QNST_EINODEBUSY, getalloc(3, busy, &extend_by)) << busy;
        EXPECT_EQ(0u, extend_by) << busy;
    }
    expect_code_lines(env_.error_lines(), std::vector<std::pair<std::string, int>>(
                                              5, {"qnst/inode/qnst_itab", DB_NOTFOUND}));
    EXPECT_EQ(read_table(t_).itab.at(15), Life(2, kLive));
}

TEST_F(ItabTest, RefusesWhatItCannotDo) {
    env_.mark_log();
    EXPECT_EQ(EINVAL, pick(0, 1));
    EXPECT_EQ(EINVAL, pick(0x80000000u, 1));
    EXPECT_EQ(DB_NOTFOUND, free_at(10, 1));  // never allocated; the set's call logs
    expect_code_lines(env_.error_lines(),
                      {{"qnst/inode/qnst_itab", EINVAL}, {"qnst/inode/qnst_itab", EINVAL}});

    // A table whose numbers would run past the top.
    EXPECT_EQ(0, pick(0x7FFFFFFFu, 1));
    EXPECT_EQ(0x80000000u, read_table(t_).seq);
    EXPECT_EQ(ENOSPC, qnst_itab_extend(&t_, 1));
    EXPECT_EQ(0, qnst_itab_extend(&t_, 0));

    // Tables that are not open, or no longer.
    qnst_itab other{};
    ASSERT_EQ(0, qnst_itab_create(&other, env_.dbenv()));
    EXPECT_EQ(EINVAL, qnst_itab_extend(&other, 10));
    qnst_itab_close(&other);
    EXPECT_EQ(EINVAL, qnst_itab_extend(&other, 10));
    EXPECT_EQ(ENOENT, qnst_itab_remove(env_.dbenv(), "missing.db"));
}

TEST_F(ItabTest, ReopeningKeepsTheSequence) {
    ASSERT_EQ(0, qnst_itab_extend(&t_, 5));
    qnst_itab_close(&t_);
    ASSERT_EQ(0, qnst_itab_create(&t_, env_.dbenv()));
    ASSERT_EQ(0, qnst_itab_open(&t_, "t.db", 0, 1));
    EXPECT_EQ(15u, read_table(t_).seq);
    qnst_itab_close(&t_);
    ASSERT_EQ(0, qnst_itab_remove(env_.dbenv(), "t.db"));
    EXPECT_FALSE(std::filesystem::exists(env_.file("t.db")));
    ASSERT_EQ(0, qnst_itab_create(&t_, env_.dbenv()));
}

class ItabCompressedTest : public ItabmFixture {
protected:
    ItabCompressedTest() : ItabmFixture(1, EnvOptions{.compress = 1}) {}
};

TEST_F(ItabCompressedTest, CompressesTheAllocationDatabaseOnly) {
    ASSERT_EQ(0, qnst_itabm_extend(&m_, 3, 1));
    EXPECT_NE(dump("it_0.db", "itab").find("compressed=1"), std::string::npos);
    EXPECT_EQ(dump("it_0.db", "ifree").find("compressed=1"), std::string::npos);
}

TEST(ItabPageSize, ANewFileTakesThePageSize) {
    TempEnv env;
    qnst_itab t{};
    ASSERT_EQ(0, qnst_itab_create(&t, env.dbenv()));
    ASSERT_EQ(0, qnst_itab_open(&t, "p.db", 8192, 1));
    uint32_t pagesize = 0;
    EXPECT_EQ(0, t.ifree->get_pagesize(t.ifree, &pagesize));
    EXPECT_EQ(8192u, pagesize);
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
            EXPECT_EQ(0, txn([&](DB_TXN *x) {
                          return qnst_inodem_next(&m_, x, &cursor, &cver, &dver);
                      }));
            if (cursor) seen.push_back(cursor);
        } while (cursor && seen.size() < 10000);
        return seen;
    }
};

TEST_F(ItabmTest, RegistersWithTheEnvironmentWhileItExists) {
    EXPECT_EQ(EBUSY, qnst_env_checkopen(env_.env(), 0));
    EXPECT_EQ(EBUSY, qnst_env_checkopen(env_.env(), 77));
    EXPECT_EQ(0, qnst_env_checkopen(env_.env(), 78));
    qnst_itabm_close(&m_);
    EXPECT_EQ(0, qnst_env_checkopen(env_.env(), 0));
    EXPECT_EQ(0, qnst_env_checkopen(env_.env(), 77));
    EXPECT_EQ(nullptr, m_.tables);
    qnst_itabm_close(&m_);  // a second close is harmless
    EXPECT_EQ(EINVAL, qnst_itabm_create(&m_, env_.env(), 1, nullptr, nullptr, nullptr, 9));
    EXPECT_EQ(0, qnst_env_checkopen(env_.env(), 0));
}

TEST_F(ItabmTest, AllocationsAlternateBetweenTablesAndCarryTheTableIndex) {
    uint32_t ino = 0;
    // Fresh tables are maybe free: the first call finds table 0 empty, extension at the cursor
    // (table 1) is not needed yet, the next call finds table 1 empty.
    EXPECT_EQ(QNST_ENOINODE, alloc(&ino));
    EXPECT_EQ(0, qnst_itabm_extend(&m_, 50, 0));
    EXPECT_EQ(10u, table(1).seq);
    EXPECT_EQ(QNST_ENOINODE, alloc(&ino));
    EXPECT_EQ(0, m_.nfree[0]);
    EXPECT_EQ(0, m_.nfree[1]);
    EXPECT_EQ(QNST_ENOINODE, alloc(&ino));  // both known empty: no database access
    ASSERT_EQ(0, qnst_itabm_extend(&m_, 50, 0));  // table 1, at the cursor and known empty
    ASSERT_EQ(0, qnst_itabm_extend(&m_, 50, 1));  // table 0, by number

    std::vector<uint32_t> got;
    for (int i = 0; i < 4; ++i) {
        ASSERT_EQ(0, alloc(&ino));
        got.push_back(ino);
    }
    EXPECT_EQ(got, (std::vector<uint32_t>{0x1000000a, 10, 0x1000000b, 11}));
    EXPECT_EQ(48, m_.nfree[0]);
    EXPECT_EQ(48, m_.nfree[1]);

    // A number given back is the next one its table issues.
    ASSERT_EQ(0, txn([&](DB_TXN *x) { return qnst_inodem_dealloc(&m_, x, 0x1000000a); }));
    ASSERT_EQ(0, alloc(&ino));  // the cursor is back at table 1
    EXPECT_EQ(0x1000000au, ino);
    EXPECT_EQ(table(1).itab.at(10), Life(1, kLive));
    EXPECT_TRUE(env_.error_lines().empty());
}

TEST_F(ItabmTest, WalkVisitsTableZeroThenTableOneAndEndsWithZero) {
    ASSERT_EQ(0, qnst_itabm_extend(&m_, 20, 1));
    ASSERT_EQ(0, qnst_itabm_extend(&m_, 20, 0x10000001u));
    EXPECT_TRUE(walk().empty());
    for (uint32_t ino : {0x10000012u, 0x10000002u, 15u, 11u, 0x1000001du})
        ASSERT_EQ(0, txn([&](DB_TXN *x) { return qnst_inodem_pick(&m_, x, ino, 1); }));
    EXPECT_EQ(walk(), (std::vector<uint32_t>{11, 15, 0x10000002, 0x10000012, 0x1000001d}));

    uint32_t cursor = 15, cver = 0, dver = 0;
    ASSERT_EQ(0, txn([&](DB_TXN *x) { return qnst_inodem_next(&m_, x, &cursor, &cver, &dver); }));
    EXPECT_EQ(0x10000002u, cursor);
    EXPECT_EQ(1u, cver);
    EXPECT_EQ(kLive, dver);
    cursor = 0x20000000;  // beyond the set
    ASSERT_EQ(0, txn([&](DB_TXN *x) { return qnst_inodem_next(&m_, x, &cursor, &cver, &dver); }));
    EXPECT_EQ(0u, cursor);
}

TEST_F(ItabmTest, GetinfoDescribesANumber) {
    ASSERT_EQ(0, qnst_itabm_extend(&m_, 5, 0x10000001u));
    ASSERT_EQ(0, txn([&](DB_TXN *x) { return qnst_inodem_pick(&m_, x, 0x1000000c, 4); }));
    ASSERT_EQ(0, txn([&](DB_TXN *x) { return qnst_inodem_free(&m_, x, 0x1000000c, 8); }));
    int32_t beyond = -1, is_free = -1;
    uint32_t cver = 0, dver = 0;
    auto info = [&](uint32_t ino) {
        return txn([&](DB_TXN *x) {
            return qnst_inodem_getinfo(&m_, x, ino, &beyond, &is_free, &cver, &dver);
        });
    };
    ASSERT_EQ(0, info(0x1000000c));
    EXPECT_EQ(std::make_tuple(beyond, is_free, cver, dver), std::make_tuple(0, 0, 4u, 8u));
    env_.mark_log();
    EXPECT_EQ(DB_NOTFOUND, info(0x1000000b));  // free, so not allocated
    EXPECT_EQ(1, is_free);
    expect_code_lines(env_.error_lines(), {{"qnst/inode/qnst_itabm", DB_NOTFOUND}});
}

TEST_F(ItabmTest, SetrangeOnlyEverRaisesTheSequence) {
    ASSERT_EQ(0, qnst_itabm_extend(&m_, 10, 0x10000001u));  // 10..19
    uint32_t ino = 0;
    ASSERT_EQ(0, txn([&](DB_TXN *x) { return qnst_inodem_getalloc(&m_, x, 1, 0x10000013, &ino); }));
    // Lowering would reissue 19, which is allocated.
    ASSERT_EQ(0, txn([&](DB_TXN *x) { return qnst_itabm_setrange(&m_, x, 0x10000011); }));
    EXPECT_EQ(20u, table(1).seq);
    ASSERT_EQ(0, qnst_itabm_extend(&m_, 2, 0x10000001u));
    EXPECT_EQ(0u, table(1).ifree.count(19));
    ASSERT_EQ(0, txn([&](DB_TXN *x) { return qnst_itabm_setrange(&m_, x, 0x10000063); }));
    EXPECT_EQ(100u, table(1).seq);
    EXPECT_EQ(10u, table(0).seq);
}

// A set opened without `create` has no sequence: nothing can be issued until one is set.
TEST(ItabmWithoutCreate, SetrangeGivesATableItsSequence) {
    TempEnv env;
    qnst_itabmrec m{};
    ASSERT_EQ(0, qnst_itabm_create(&m, env.env(), 5, nullptr, nullptr, nullptr, 2));
    ASSERT_EQ(0, qnst_itabm_open(&m, "nc", 0, 0));
    EXPECT_EQ(0u, read_table(m.tables[1]).seq);
    auto setrange = [&](DB_TXN *x) { return qnst_itabm_setrange(&m, x, 0x10000063); };
    EXPECT_EQ(0, with_txn(env.dbenv(), setrange));
    EXPECT_EQ(100u, read_table(m.tables[1]).seq);
    ASSERT_EQ(0, qnst_itabm_extend(&m, 2, 0x10000001u));
    EXPECT_EQ(read_table(m.tables[1]).ifree, (std::set<uint32_t>{100, 101}));
    EXPECT_EQ(0u, read_table(m.tables[0]).seq);
    EXPECT_TRUE(env.error_lines().empty());
    qnst_itabm_close(&m);
}

TEST_F(ItabmTest, RefusesNumbersOutsideTheSet) {
    env_.mark_log();
    uint32_t out = 0;
    int32_t a = 0, b = 0;
    for (uint32_t bad : {0x20000005u, 0x80000005u, 0xF0000005u}) {
        EXPECT_EQ(EINVAL, qnst_itabm_extend(&m_, 1, bad));
        EXPECT_EQ(EINVAL, txn([&](DB_TXN *x) { return qnst_inodem_pick(&m_, x, bad, 1); }));
        EXPECT_EQ(EINVAL,
                  txn([&](DB_TXN *x) { return qnst_inodem_getalloc(&m_, x, 1, bad, &out); }));
        EXPECT_EQ(EINVAL, txn([&](DB_TXN *x) { return qnst_inodem_free(&m_, x, bad, 1); }));
        EXPECT_EQ(EINVAL, txn([&](DB_TXN *x) { return qnst_inodem_dealloc(&m_, x, bad); }));
        EXPECT_EQ(EINVAL, txn([&](DB_TXN *x) { return qnst_inodem_notfree(&m_, x, bad); }));
        EXPECT_EQ(EINVAL, txn([&](DB_TXN *x) { return qnst_itabm_setrange(&m_, x, bad); }));
        EXPECT_EQ(EINVAL, txn([&](DB_TXN *x) {
                      return qnst_inodem_getinfo(&m_, x, bad, &a, &b, &out, &out);
                  }));
    }
    EXPECT_EQ(24u, env_.error_lines().size());

    // A table of a set stops short of the table index bits.
    ASSERT_EQ(0, txn([&](DB_TXN *x) { return qnst_itabm_setrange(&m_, x, 0x0FFFFFFE); }));
    EXPECT_EQ(0, qnst_itabm_extend(&m_, 1, 1));
    EXPECT_EQ(ENOSPC, qnst_itabm_extend(&m_, 1, 1));
}

TEST_F(ItabmTest, FilesFollowTheBaseNameAndAreRemovedTogether) {
    EXPECT_TRUE(std::filesystem::exists(env_.file("it_0.db")));
    EXPECT_TRUE(std::filesystem::exists(env_.file("it_1.db")));
    qnst_itabm_close(&m_);
    ASSERT_EQ(0, qnst_itabm_remove(dbenv(), "it", 2));
    EXPECT_FALSE(std::filesystem::exists(env_.file("it_0.db")));
    EXPECT_FALSE(std::filesystem::exists(env_.file("it_1.db")));
    env_.mark_log();
    EXPECT_EQ(ENOENT, qnst_itabm_remove(dbenv(), "it", 1));
    expect_code_lines(env_.error_lines(), {{"qnst/inode/qnst_itabm", ENOENT}});
}

}  // namespace
