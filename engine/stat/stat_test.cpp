// Stat versions: records on disk, updates within and across versions with their ACL releases and
// usage charges, listings, and refused calls.
#include <gtest/gtest.h>

#include "stat_fixture.hpp"

namespace {

using namespace qnst::testing;

constexpr char kSource[] = "qnst/stat/qnst_stat";
constexpr uint32_t kLive = QNST_INODE_LIVE;

class StatTest : public StatFixture {
protected:
    DB *records() { return m_.tables[0].inodes; }
    std::string raw(uint32_t ino, uint32_t cver) {
        uint8_t k[9];
        qnst::store_le32(k, ino);
        k[4] = '2';
        qnst::store_be32(k + 5, 0u - cver);
        return raw_record(records(), k, sizeof k);
    }
    qnst_inoderec *file() { return &files_[0]; }
};

TEST_F(StatTest, RecordsAreLaidOutByteForByte) {
    ASSERT_EQ(0, txn([&](DB_TXN *t) {
                  return qnst_stat_update(file(), t, 5, 0x11223344, 0x0102030405060708ULL,
                                          0xA1A2A3A4A5A6A7A8ULL, 0x55667788, 0x99AABBCC, 3);
              }));
    // Key 0b000000 32 fffffffb; the newest version sorts first.
    EXPECT_EQ("f0ffff7f" "44332211" "0807060504030201" "a8a7a6a5a4a3a2a1" "88776655" "ccbbaa99"
              "03000000",
              raw(kFile, 5));
    ASSERT_EQ(0, update(file(), 8, 10));
    EXPECT_EQ("08000000", raw(kFile, 5).substr(0, 8));  // closed at 8
    const std::string out = dump("it_0.db", "inodes");
    EXPECT_LT(out.find(" 0b00000032fffffff8\n"), out.find(" 0b00000032fffffffb\n")) << out;
}

TEST_F(StatTest, UpdatesAcrossAndWithinVersions) {
    // Across versions: the first record is closed and stays readable behind the new one.
    const uint64_t a5 = new_acl("a5"), a8 = new_acl("a8");
    ASSERT_EQ(0, update(file(), 5, 100, a5));
    ASSERT_EQ(0, update(file(), 8, 300, a8));
    Stat s;
    ASSERT_EQ(0, lookup(file(), 6, &s));
    EXPECT_EQ((Stat{5, 8, 0x105, 100, a5, 1005, 7, 1}), s);
    ASSERT_EQ(0, lookup(file(), 8, &s));
    EXPECT_EQ((Stat{8, kLive, 0x108, 300, a8, 1008, 7, 1}), s);
    EXPECT_EQ(QNST_ENOSTAT, lookup(file(), 4, &s));
    EXPECT_EQ((Charged{300, 1, 2}), charged());
    EXPECT_EQ((std::map<uint64_t, int64_t>{{a5, 1}, {a8, 1}}), acl_counts());

    // Within a version: the record is replaced, its ACL released and no file is added.
    const uint64_t b8 = new_acl("b8");
    ASSERT_EQ(0, update(file(), 8, 50, b8));
    EXPECT_EQ((std::vector<Stat>{{5, 8, 0x105, 100, a5, 1005, 7, 1},
                                 {8, kLive, 0x108, 50, b8, 1008, 7, 1}}),
              walk(file(), 1));
    EXPECT_EQ((Charged{50, 1, 2}), charged());
    EXPECT_EQ((std::map<uint64_t, int64_t>{{a5, 1}, {b8, 1}}), acl_counts());
    EXPECT_EQ(8u, latest(file()));
    EXPECT_TRUE(env_.error_lines().empty());
}

TEST_F(StatTest, ClearEndsOrDropsTheCurrentRecord) {
    struct Case {
        const char *what;
        uint32_t created, cleared;
        std::vector<Stat> left;
        Charged charged;
        bool acl_left;
    } cases[] = {
        {"clear in a later version closes", 5, 9, {{5, 9, 0x105, 40, 0, 1005, 7, 1}}, {0, 0, 1},
         true},
        {"clear in the same version deletes", 9, 9, {}, {0, 0, 0}, false},
    };
    for (const Case &c : cases) {
        qnst_inoderec *n = &files_[&c - cases];
        const Charged before = charged();
        const uint64_t acl = new_acl(c.what);
        ASSERT_EQ(0, update(n, c.created, 40, acl));
        ASSERT_EQ(0, clear(n, c.cleared));
        Stat s;
        EXPECT_EQ(QNST_ENOSTAT, lookup(n, c.cleared, &s)) << c.what;
        EXPECT_EQ(0u, latest(n)) << c.what;
        auto left = walk(n, 1);
        for (Stat &st : left) st.acl = 0;
        EXPECT_EQ(c.left, left) << c.what;
        const Charged after = charged();
        EXPECT_EQ(c.charged, (Charged{after.fscurrentu - before.fscurrentu,
                                      after.filescurrent - before.filescurrent,
                                      after.filestotal - before.filestotal}))
            << c.what;
        EXPECT_EQ(c.acl_left, acl_counts().count(acl) == 1) << c.what;
    }
    // A clear with nothing current changes nothing.
    ASSERT_EQ(0, clear(&files_[0], 12));
    EXPECT_EQ((Charged{0, 0, 1}), charged());
}

TEST_F(StatTest, PurgeReleasesTheAclAndUncharges) {
    const uint64_t a = new_acl("a"), b = new_acl("b");
    ASSERT_EQ(0, update(file(), 3, 70, a));
    ASSERT_EQ(0, update(file(), 6, 90, b));
    ASSERT_EQ(0, purge(file(), 3));  // a closed record
    EXPECT_EQ((Charged{90, 1, 1}), charged());
    EXPECT_EQ((std::map<uint64_t, int64_t>{{b, 1}}), acl_counts());
    Stat s;
    EXPECT_EQ(QNST_ENOSTAT, lookup(file(), 4, &s));
    // A current record takes its size and its file count with it.
    ASSERT_EQ(0, purge(file(), 6));
    EXPECT_EQ((Charged{0, 0, 0}), charged());
    EXPECT_TRUE(acl_counts().empty());
    EXPECT_TRUE(env_.error_lines().empty());

    EXPECT_EQ(DB_NOTFOUND, purge(file(), 6));
    expect_code_lines(env_.error_lines(), {{kSource, DB_NOTFOUND}});
}

TEST_F(StatTest, WalkListsNewerRecordsOldestFirst) {
    // Neighbouring inodes' records and a longer key of another type right after this inode's
    // stat records must not leak into the listing nor stop it early.
    for (uint32_t v : {2, 5, 8}) ASSERT_EQ(0, update(file(), v, v));
    ASSERT_EQ(0, update(&files_[1], 3, 1));
    uint8_t k[40] = {};
    qnst::store_le32(k, kFile);
    k[4] = '6';
    DBT key = qnst::user_dbt(k, sizeof k), data = qnst::user_dbt(k, 4);
    ASSERT_EQ(0, records()->put(records(), nullptr, &key, &data, 0));

    const struct {
        uint32_t lastver;
        std::vector<uint32_t> cvers;
    } cases[] = {{0, {}}, {1, {2, 5, 8}}, {4, {5, 8}}, {5, {8}}, {8, {}}, {100, {}}};
    for (const auto &c : cases) {
        std::vector<uint32_t> got;
        for (const Stat &s : walk(file(), c.lastver)) got.push_back(s.cver);
        EXPECT_EQ(c.cvers, got) << "from " << c.lastver;
    }
    EXPECT_EQ(1u, walk(&files_[1], 1).size());
    EXPECT_TRUE(walk(&files_[2], 1).empty());
}

TEST_F(StatTest, RefusedCallsWriteNothing) {
    ASSERT_EQ(0, update(file(), 5, 10));
    qnst_inoderec orphan{};
    ASSERT_EQ(0, qnst_inode_open(&orphan, &m_, nullptr, kFile));  // no set node
    struct Case {
        const char *what;
        std::function<int(DB_TXN *)> call;
    } cases[] = {
        {"update without a set node", [&](DB_TXN *t) { return update_in(&orphan, t, 6, 1, 0); }},
        {"clear without a set node", [&](DB_TXN *t) { return qnst_stat_clear(&orphan, t, 6); }},
        {"purge without a set node", [&](DB_TXN *t) { return qnst_stat_purge(&orphan, t, 5); }},
        {"update at version 0", [&](DB_TXN *t) { return update_in(file(), t, 0, 1, 0); }},
        {"update at the live mark", [&](DB_TXN *t) { return update_in(file(), t, kLive, 1, 0); }},
        {"clear at version 0", [&](DB_TXN *t) { return qnst_stat_clear(file(), t, 0); }},
        {"update behind the newest", [&](DB_TXN *t) { return update_in(file(), t, 4, 1, 0); }},
        {"clear behind the newest", [&](DB_TXN *t) { return qnst_stat_clear(file(), t, 4); }},
    };
    for (const Case &c : cases) {
        env_.mark_log();
        EXPECT_EQ(EINVAL, txn(c.call)) << c.what;
        expect_code_lines(env_.error_lines(), {{kSource, EINVAL}});
    }
    EXPECT_EQ((std::vector<Stat>{{5, kLive, 0x105, 10, 0, 1005, 7, 1}}), walk(file(), 1));
    EXPECT_EQ((Charged{10, 1, 1}), charged());

    // Once closed, a record still bars updates and clears before the version that closed it.
    ASSERT_EQ(0, clear(file(), 9));
    EXPECT_EQ(EINVAL, update(file(), 7, 1));
    EXPECT_EQ(EINVAL, clear(file(), 7));
    EXPECT_EQ(EINVAL, clear(file(), 4));
    EXPECT_EQ(0, update(file(), 9, 1));
}

TEST_F(StatTest, DamagedRecordIsReportedNotSkipped) {
    // A stat key whose data is not a whole record, newest of the inode, in front of a good one.
    for (const size_t bytes : {20u, 40u}) {
        qnst_inoderec *n = &files_[bytes == 20 ? 0 : 1];
        ASSERT_EQ(0, update(n, 2, 10));
        uint8_t k[9], d[40] = {};
        qnst::store_le32(k, n->inode);
        k[4] = '2';
        qnst::store_be32(k + 5, 0u - 5);
        DBT key = qnst::user_dbt(k, sizeof k);
        DBT data = qnst::user_dbt(d, static_cast<uint32_t>(bytes));
        ASSERT_EQ(0, records()->put(records(), nullptr, &key, &data, 0));
        const Charged before = charged();

        env_.mark_log();
        Stat s;
        EXPECT_EQ(0, lookup(n, 3, &s)) << bytes;  // the good record is still found
        EXPECT_EQ(EINVAL, lookup(n, 5, &s)) << bytes;
        EXPECT_EQ(EINVAL, txn([&](DB_TXN *t) {
                      uint32_t v = 0;
                      return qnst_stat_getlatest(n, t, &v);
                  })) << bytes;
        EXPECT_EQ(EINVAL, update(n, 8, 1)) << bytes;
        EXPECT_EQ(EINVAL, clear(n, 8)) << bytes;
        // The listing yields the good record, then stops at the damaged one with the code.
        std::vector<uint32_t> cvers;
        EXPECT_EQ(EINVAL, txn([&](DB_TXN *t) {
                      cvers.clear();
                      DBC *c = nullptr;
                      int rc = qnst_stat_walk(n, t, 1, &c, &s.cver, &s.dver, &s.flags, &s.size,
                                              &s.acl, &s.mtime, &s.method, &s.links);
                      while (rc == 0 && s.cver != 0) {
                          cvers.push_back(s.cver);
                          rc = qnst_stat_next(n, c, &s.cver, &s.dver, &s.flags, &s.size, &s.acl,
                                              &s.mtime, &s.method, &s.links);
                      }
                      if (c) qnst_stat_done(n, c);
                      return rc;
                  })) << bytes;
        EXPECT_EQ(std::vector<uint32_t>{2}, cvers) << bytes;
        expect_code_lines(env_.error_lines(), std::vector<std::pair<std::string, int>>(
                                                  5, {kSource, EINVAL}));
        EXPECT_EQ(before, charged()) << bytes;
    }
}

TEST_F(StatTest, QuotaRefusalIsReturnedAndLogged) {
    qnst_inode_setquota(&root_, 100, 0, 0, 0);
    ASSERT_EQ(0, update(file(), 5, 100));
    EXPECT_EQ(QNST_QUOTA_FSCURRENT, update(file(), 6, 101));
    // The usage update refuses silently; the stat level that sees the refusal logs it once.
    expect_code_lines(env_.error_lines(), {{kSource, QNST_QUOTA_FSCURRENT}});
    Stat s;
    ASSERT_EQ(0, lookup(file(), 6, &s));
    EXPECT_EQ(5u, s.cver);  // the aborted update left the old record current
}

TEST_F(StatTest, LookupOfAnInodeWithoutRecordsIsNotLogged) {
    Stat s;
    EXPECT_EQ(QNST_ENOSTAT, lookup(file(), 5, &s));
    EXPECT_EQ(0u, latest(file()));
    EXPECT_TRUE(walk(file(), 1).empty());
    EXPECT_TRUE(env_.error_lines().empty());
}

}  // namespace
