#include <gtest/gtest.h>

#include <array>

#include "inode_fixture.hpp"

namespace {

using namespace qnst::testing;
using Counters = std::array<int64_t, 10>;

constexpr uint32_t kIno = 0x1000001f;  // number 0x1f of table 1

class InodeTest : public ItabmFixture {
protected:
    explicit InodeTest(EnvOptions options = {}) : ItabmFixture(2, options) {}

    ~InodeTest() override {
        for (auto &n : nodes_) qnst_inode_close(&n);
    }

    // The record key of `ino`: the number little-endian, then the letter.
    static std::array<uint8_t, 5> key(uint32_t ino, char letter) {
        std::array<uint8_t, 5> k{};
        qnst::store_le32(k.data(), ino);
        k[4] = static_cast<uint8_t>(letter);
        return k;
    }
    std::string raw(DB *db, uint32_t ino, char letter) {
        const auto k = key(ino, letter);
        return raw_record(db, k.data(), 5);
    }
    DB *shared_inodes(uint32_t ino) { return m_.tables[ino >> 28].inodes; }

    qnst_inoderec *open(int i, uint32_t ino, qnst_inoderec *setnode = nullptr) {
        EXPECT_EQ(0, qnst_inode_open(&nodes_[i], &m_, setnode, ino));
        return &nodes_[i];
    }
    // An initialised inode with a usage record of zeros.
    qnst_inoderec *make(int i, uint32_t ino, qnst_inoderec *setnode = nullptr) {
        qnst_inoderec *n = open(i, ino, setnode);
        EXPECT_EQ(0, qnst_inode_init(n, 1));
        EXPECT_EQ(0, set(n, Counters{}));
        return n;
    }

    int set(qnst_inoderec *n, const Counters &c) {
        return txn([&](DB_TXN *x) {
            return qnst_inode_usage_set(n, x, c[0], c[1], c[2], c[3], c[4], c[5], c[6], c[7],
                                        c[8], c[9]);
        });
    }
    static int get_in(qnst_inoderec *n, DB_TXN *x, Counters *c) {
        Counters &o = *c;
        return qnst_inode_usage_get(n, x, &o[0], &o[1], &o[2], &o[3], &o[4], &o[5], &o[6], &o[7],
                                    &o[8], &o[9]);
    }
    Counters get(qnst_inoderec *n) {
        Counters c{};
        EXPECT_EQ(0, txn([&](DB_TXN *x) { return get_in(n, x, &c); }));
        return c;
    }
    static int usg_in(qnst_inoderec *n, DB_TXN *x, const std::array<int64_t, 6> &d) {
        return qnst_inode_usg(n, x, d[0], d[1], d[2], d[3], d[4], d[5]);
    }
    int usg(qnst_inoderec *n, const std::array<int64_t, 6> &d) {
        return txn([&](DB_TXN *x) { return usg_in(n, x, d); });
    }

    qnst_inoderec nodes_[4] = {};
};

TEST_F(InodeTest, OpenBindsTheInodeToItsTableAndStores) {
    m_.aclsis = reinterpret_cast<qnst_aclsisrec *>(uintptr_t{0x1000});
    m_.sism = reinterpret_cast<qnst_blksism *>(uintptr_t{0x2000});
    m_.mblob = reinterpret_cast<qnst_blobsism *>(uintptr_t{0x3000});
    qnst_inoderec &parent = nodes_[1];
    std::memset(&nodes_[0], 0xAB, sizeof nodes_[0]);
    qnst_inoderec *n = open(0, kIno, &parent);
    EXPECT_EQ(n->itabm, &m_);
    EXPECT_EQ(n->dbenv, dbenv());
    EXPECT_EQ(n->aclsis, m_.aclsis);
    EXPECT_EQ(n->sism, m_.sism);
    EXPECT_EQ(n->mblob, m_.mblob);
    EXPECT_EQ(n->setnode, &parent);
    EXPECT_EQ(nullptr, n->own_db);
    EXPECT_EQ(n->record_db, m_.tables[1].inodes);
    EXPECT_EQ(n->folder_db, m_.tables[1].folders);
    EXPECT_EQ(kIno, n->inode);
    EXPECT_EQ(0, n->fscurrentq | n->fstotalq | n->stcurrentq | n->sttotalq);

    env_.mark_log();
    qnst_inoderec bad;
    EXPECT_EQ(EINVAL, qnst_inode_open(&bad, &m_, nullptr, 0x20000001));
    EXPECT_EQ(nullptr, bad.record_db);
    EXPECT_EQ(EINVAL, qnst_inode_init(&bad, 1));
    EXPECT_EQ(EINVAL, qnst_inode_chk(&bad));
    expect_code_lines(env_.error_lines(), {{"qnst/inode/qnst_inode", EINVAL},
                                           {"qnst/inode/qnst_inode", EINVAL},
                                           {"qnst/inode/qnst_inode", EINVAL}});
}

TEST_F(InodeTest, InitWritesItsMarkerOnceAndOpensTheOwnDatabase) {
    qnst_inoderec *n = open(0, kIno);
    ASSERT_EQ(0, qnst_inode_init(n, 7));
    ASSERT_NE(nullptr, n->own_db);
    EXPECT_EQ(n->record_db, shared_inodes(kIno));
    EXPECT_EQ("07000000", raw(shared_inodes(kIno), kIno, 'a'));
    EXPECT_EQ("none", raw(shared_inodes(kIno), kIno, 'b'));
    const std::array<uint8_t, 5> k = key(kIno, 'a');
    EXPECT_EQ("1f00001061", hex(k.data(), 5));

    DB *own = n->own_db;
    EXPECT_EQ(0, qnst_inode_init(n, 8));  // already open: nothing to do
    EXPECT_EQ(n->own_db, own);
    qnst_inode_close(n);
    EXPECT_EQ(nullptr, n->own_db);
    EXPECT_EQ(n->record_db, shared_inodes(kIno));
    ASSERT_EQ(0, qnst_inode_init(n, 9));
    EXPECT_EQ("07000000", raw(shared_inodes(kIno), kIno, 'a'));  // the first value stays

    // The own database is "<number in hex>" in the table's file.
    const char *file = nullptr, *name = nullptr;
    ASSERT_EQ(0, n->own_db->get_dbname(n->own_db, &file, &name));
    EXPECT_STREQ(file, "it_1.db");
    EXPECT_STREQ(name, "1f");
    EXPECT_TRUE(env_.error_lines().empty());
}

TEST_F(InodeTest, ChkOpensOnlyInitialisedInodesAndLearnsTheirMode) {
    ASSERT_EQ(0, qnst_inode_init(open(0, kIno), 1));
    ASSERT_EQ(0, qnst_misc_inode_init(open(1, kIno + 1), 2));
    qnst_inode_close(&nodes_[0]);
    qnst_inode_close(&nodes_[1]);

    qnst_inoderec *normal = open(0, kIno);
    ASSERT_EQ(0, qnst_inode_chk(normal));
    EXPECT_EQ(normal->record_db, shared_inodes(kIno));
    EXPECT_EQ(normal->folder_db, m_.tables[1].folders);

    qnst_inoderec *misc = open(1, kIno + 1);
    ASSERT_EQ(0, qnst_inode_chk(misc));
    ASSERT_NE(nullptr, misc->own_db);
    EXPECT_EQ(misc->record_db, misc->own_db);
    EXPECT_EQ(misc->folder_db, misc->own_db);

    qnst_inoderec *never = open(2, kIno + 2);
    EXPECT_EQ(DB_NOTFOUND, qnst_inode_chk(never));
    EXPECT_EQ(nullptr, never->own_db);
    EXPECT_TRUE(env_.error_lines().empty());  // an inode never made is not an error
}

TEST_F(InodeTest, MiscModeKeepsUsageInTheOwnDatabase) {
    qnst_inoderec *n = open(0, kIno);
    ASSERT_EQ(0, qnst_misc_inode_init(n, 3));
    EXPECT_EQ("03000000", raw(shared_inodes(kIno), kIno, 'a'));
    EXPECT_EQ("03000000", raw(shared_inodes(kIno), kIno, 'b'));
    EXPECT_EQ(n->record_db, n->own_db);
    EXPECT_EQ(n->folder_db, n->own_db);

    ASSERT_EQ(0, set(n, {1, 2, 3, 4, 5, 6, 7, 8, 9, 10}));
    EXPECT_EQ("none", raw(shared_inodes(kIno), kIno, '3'));
    EXPECT_EQ("01000000000000000200000000000000", raw(n->own_db, kIno, '3').substr(0, 32));

    // Closed, the handle no longer points at the database it closed.
    qnst_inode_close(n);
    EXPECT_EQ(nullptr, n->record_db);
    EXPECT_EQ(nullptr, n->folder_db);
    env_.mark_log();
    Counters c{};
    EXPECT_EQ(EINVAL, txn([&](DB_TXN *x) { return get_in(n, x, &c); }));
    expect_code_lines(env_.error_lines(), {{"qnst/inode/qnst_inode", EINVAL}});
    ASSERT_EQ(0, qnst_inode_chk(n));
    EXPECT_EQ(10, get(n)[9]);
}

TEST_F(InodeTest, UsageRecordLayoutAndTheHandlesLimits) {
    qnst_inoderec *n = make(0, kIno);
    ASSERT_EQ(0, set(n, {-1, 2, 3, 4, 5, 6, 7, 8, 9, 0x0102030405060708}));
    EXPECT_EQ(raw(shared_inodes(kIno), kIno, '3'),
              "ffffffffffffffff" "0200000000000000" "0300000000000000" "0400000000000000"
              "0500000000000000" "0600000000000000" "0700000000000000" "0800000000000000"
              "0900000000000000" "0807060504030201");
    // The limits read back are the handle's, not the stored ones.
    EXPECT_EQ(get(n), (Counters{0, 2, 0, 4, 0, 6, 0, 8, 9, 0x0102030405060708}));
    ASSERT_EQ(0, qnst_inode_setquota(n, 100, 200, 300, 400));
    EXPECT_EQ(get(n), (Counters{100, 2, 200, 4, 300, 6, 400, 8, 9, 0x0102030405060708}));
    // They reach the record at the next usage write.
    ASSERT_EQ(0, usg(n, {0, 0, 0, 0, 1, 0}));
    EXPECT_EQ(raw(shared_inodes(kIno), kIno, '3').substr(0, 48),
              "6400000000000000" "0200000000000000" "c800000000000000");

    env_.mark_log();
    qnst_inoderec *bare = open(1, kIno + 1);
    Counters c{};
    EXPECT_EQ(DB_NOTFOUND, txn([&](DB_TXN *x) { return get_in(bare, x, &c); }));
    EXPECT_EQ(DB_NOTFOUND, usg(bare, {1, 0, 0, 0, 0, 0}));
    expect_code_lines(env_.error_lines(), {{"qnst/inode/qnst_inode", DB_NOTFOUND},
                                           {"qnst/inode/qnst_inode", DB_NOTFOUND}});
}

// Each limited counter, one at a time: limit 100, 90 used.
class InodeQuotaTest : public InodeTest, public ::testing::WithParamInterface<int> {};

TEST_P(InodeQuotaTest, RefusesOnlyIncreasesPastTheLimit) {
    const int i = GetParam();  // 0 fscurrent, 1 fstotal, 2 stcurrent, 3 sttotal
    qnst_inoderec *n = make(0, kIno);
    int64_t limits[4] = {0, 0, 0, 0};
    limits[i] = 100;
    ASSERT_EQ(0, qnst_inode_setquota(n, limits[0], limits[1], limits[2], limits[3]));
    Counters start{};
    start[2 * i + 1] = 90;
    ASSERT_EQ(0, set(n, start));
    const std::string before = raw(shared_inodes(kIno), kIno, '3');
    auto delta = [&](int64_t d) {
        std::array<int64_t, 6> a{0, 0, 0, 0, 1, 1};
        a[i] = d;
        return a;
    };
    auto used = [&] { return get(n)[2 * i + 1]; };

    env_.mark_log();
    EXPECT_EQ(usg(n, delta(20)), QNST_QUOTA_FSCURRENT - i);
    EXPECT_EQ(raw(shared_inodes(kIno), kIno, '3'), before);
    EXPECT_TRUE(env_.error_lines().empty());
    EXPECT_EQ(0, usg(n, delta(-20)));
    EXPECT_EQ(70, used());
    EXPECT_EQ(0, usg(n, delta(30)));  // exactly at the limit
    EXPECT_EQ(100, used());
    EXPECT_EQ(usg(n, delta(1)), QNST_QUOTA_FSCURRENT - i);

    // Above the limit already (it was lowered): decreases and zero changes still pass.
    ASSERT_EQ(0,
              qnst_inode_setquota(n, limits[0] / 2, limits[1] / 2, limits[2] / 2, limits[3] / 2));
    EXPECT_EQ(0, usg(n, delta(0)));
    EXPECT_EQ(0, usg(n, delta(-10)));
    EXPECT_EQ(90, used());
    EXPECT_EQ(usg(n, delta(1)), QNST_QUOTA_FSCURRENT - i);

    // Without a limit nothing is refused, and sums stop at the end of the range.
    ASSERT_EQ(0, qnst_inode_setquota(n, 0, 0, 0, 0));
    EXPECT_EQ(0, usg(n, delta(INT64_MAX)));
    EXPECT_EQ(used(), INT64_MAX);
    EXPECT_EQ(5, get(n)[8]);  // the file counts moved with every accepted change
}

INSTANTIATE_TEST_SUITE_P(Counter, InodeQuotaTest, ::testing::Values(0, 1, 2, 3));

TEST_F(InodeTest, ChangesClimbTheSetNodeChainAndAnyRefusalStopsThemAll) {
    qnst_inoderec *top = make(0, 0x0000000a);
    qnst_inoderec *mid = make(1, 0x1000000b, top);
    qnst_inoderec *leaf = make(2, 0x1000000c, mid);
    ASSERT_EQ(0, qnst_inode_setquota(top, 0, 100, 0, 0));

    ASSERT_EQ(0, usg(leaf, {5, 60, 7, 8, 1, 2}));
    for (qnst_inoderec *n : {leaf, mid, top})
        EXPECT_EQ(get(n), (Counters{0, 5, n == top ? 100 : 0, 60, 0, 7, 0, 8, 1, 2}));

    // The top refuses: the call fails and, seen inside the transaction, nothing was written.
    Counters seen[3];
    const int rc = txn([&](DB_TXN *x) {
        const int r = usg_in(leaf, x, {0, 50, 0, 0, 1, 1});
        for (int i = 0; i < 3; ++i)
            if (int g = get_in(&nodes_[i], x, &seen[i])) return g;
        return r;
    });
    EXPECT_EQ(QNST_QUOTA_FSTOTAL, rc);
    for (const Counters &c : seen) EXPECT_EQ(60, c[3]);
    EXPECT_EQ(1, seen[2][8]);

    // A leaf's own limit stops the change before its set node sees it.
    ASSERT_EQ(0, qnst_inode_setquota(leaf, 0, 0, 0, 10));
    EXPECT_EQ(QNST_QUOTA_STTOTAL, usg(leaf, {0, 0, 0, 3, 0, 0}));
    EXPECT_EQ(8, get(top)[7]);
    EXPECT_TRUE(env_.error_lines().empty());
}

TEST_F(InodeTest, FailuresUpTheChainAreLoggedAtEveryLevel) {
    qnst_inoderec *top = open(0, 0x0000000a);  // never given a usage record
    qnst_inoderec *leaf = make(1, 0x1000000b, top);
    env_.mark_log();
    EXPECT_EQ(DB_NOTFOUND, usg(leaf, {1, 0, 0, 0, 0, 0}));
    expect_code_lines(env_.error_lines(), {{"qnst/inode/qnst_inode", DB_NOTFOUND},
                                           {"qnst/inode/qnst_inode", DB_NOTFOUND}});

    // A set node that leads back to itself is refused rather than followed for ever.
    leaf->setnode = leaf;
    EXPECT_EQ(EINVAL, usg(leaf, {1, 0, 0, 0, 0, 0}));
}

class InodeCompressedTest : public InodeTest {
protected:
    InodeCompressedTest() : InodeTest(EnvOptions{.compress = 1}) {}
};

TEST_F(InodeCompressedTest, TheOwnDatabaseIsCompressed) {
    qnst_inoderec *n = make(0, kIno);
    ASSERT_EQ(0, set(n, {1, 2, 3, 4, 5, 6, 7, 8, 9, 10}));
    qnst_inode_close(n);
    EXPECT_NE(dump("it_1.db", "1f").find("compressed=1"), std::string::npos);
}

}  // namespace
