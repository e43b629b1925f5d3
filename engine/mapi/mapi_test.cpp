#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "mapi_fixture.hpp"

namespace {

using namespace qnst::testing;

// ---- Entries -----------------------------------------------------------------------------

TEST_F(Mailbox, EntriesAreLaidOutByteForByte) {
    ASSERT_EQ(0, update("ab", "xyz", 3));
    ASSERT_EQ(0, update("", "e", 5, 9));
    EXPECT_EQ(raw(), (std::map<std::string, std::string>{
                         {"38fffffffb", "09000000"},
                         {"38fffffffd6162", "f0ffff7f"},
                         {"3900000000fffffffb", "65"},
                         {"39000000026162fffffffd", "78797a"},
                     }));
    ASSERT_EQ(0, delv("ab", 3, 4));
    EXPECT_EQ(raw()["38fffffffd6162"], "04000000");
    EXPECT_TRUE(log().empty());
}

TEST_F(Mailbox, FindiReturnsTheEntryLiveAtAVersion) {
    // "m" at versions 3 and 7; neighbours whose keys sort on either side.
    ASSERT_EQ(0, update("m", "m3", 3));
    ASSERT_EQ(0, update("m", "m7", 7));
    ASSERT_EQ(0, update("l", "l1", 1));
    ASSERT_EQ(0, update("mm", "mm1", 1));
    ASSERT_EQ(0, update("n", "n2", 2, 4));
    const std::string live = std::to_string(kLive);
    struct Case {
        const char *key;
        uint32_t ver;
        std::string want;
    };
    const std::vector<Case> before = {
        {"m", 2, ""},          {"m", 3, "3/" + live + ":m3"}, {"m", 5, "3/" + live + ":m3"},
        {"m", 7, "7/" + live + ":m7"}, {"m", 9, "7/" + live + ":m7"}, {"n", 3, "2/4:n2"},
        {"n", 4, ""},          {"k", 9, ""}, {"mmm", 9, ""}, {"", 9, ""},
    };
    for (const Case &c : before) EXPECT_EQ(findi(c.key, c.ver), c.want) << c.key << "@" << c.ver;

    // Ending the version-7 entry at 8; the version-3 one was already superseded by it.
    ASSERT_EQ(0, delv("m", 7, 8));
    EXPECT_EQ(findi("m", 9), "");
    EXPECT_EQ(findi("m", 7), "7/8:m7");
    EXPECT_TRUE(log().empty());
}

TEST_F(Mailbox, SingleReadsDeletesAndPurge) {
    ASSERT_EQ(0, update("k", "info", 4));
    ASSERT_EQ(0, update("empty", "", 4));
    ASSERT_EQ(0, txn([&](DB_TXN *t) { return qnst_inode_usg(&folder_, t, 0, 100, 100, 0, 0, 0); }));

    void *buf = nullptr;
    uint32_t size = 0, dver = 0;
    auto getient = [&](const char *k, DB_TXN *t) {
        return qnst_mapimsg_getient(&box_, t, k, static_cast<uint32_t>(strlen(k)), 4, &buf, &size);
    };
    ASSERT_EQ(0, txn([&](DB_TXN *t) { return getient("k", t); }));
    EXPECT_EQ(std::string(static_cast<char *>(buf), size), "info");
    qnst_mapimsg_freebuf(buf);
    ASSERT_EQ(0, txn([&](DB_TXN *t) { return qnst_mapimsg_getvent(&box_, t, "k", 1, 4, &dver); }));
    EXPECT_EQ(dver, kLive);

    // An empty information record cannot be read back.
    EXPECT_EQ(txn([&](DB_TXN *t) { return getient("empty", t); }), ENOMEM);
    EXPECT_EQ(buf, nullptr);
    int rc = 0;
    EXPECT_EQ(findi("empty", 4, &rc), "");
    EXPECT_EQ(rc, ENOMEM);

    ASSERT_EQ(0, txn([&](DB_TXN *t) { return qnst_mapimsg_purge(&box_, t, "k", 1, 4, 30); }));
    EXPECT_EQ(usage(), (std::array<int64_t, 3>{70, 70, 0}));
    blocks_.env().mark_log();
    struct Miss {
        const char *name;
        std::function<int(DB_TXN *)> call;
    };
    const std::vector<Miss> misses = {
        {"getient", [&](DB_TXN *t) { return getient("k", t); }},
        {"getvent", [&](DB_TXN *t) { return qnst_mapimsg_getvent(&box_, t, "k", 1, 4, &dver); }},
        {"delient", [&](DB_TXN *t) { return qnst_mapimsg_delient(&box_, t, "k", 1, 4); }},
        {"delvent", [&](DB_TXN *t) { return qnst_mapimsg_delvent(&box_, t, "k", 1, 4); }},
        {"purge", [&](DB_TXN *t) { return qnst_mapimsg_purge(&box_, t, "k", 1, 4, 30); }},
    };
    for (const Miss &m : misses) {
        blocks_.env().mark_log();
        EXPECT_EQ(txn(m.call), DB_NOTFOUND) << m.name;
        SCOPED_TRACE(m.name);
        expect_log_entries(log(), {{"qnst/mapi/qnst_mapi", "code -30988"}});
    }
    EXPECT_EQ(usage(), (std::array<int64_t, 3>{70, 70, 0}));
}

TEST_F(Mailbox, OverlongKeysAndClosedInodesAreRefusedBeforeAnyWrite) {
    const std::string longkey(QNST_MAPI_MAX_KEY + 1, 'x');
    const std::string maxkey(QNST_MAPI_MAX_KEY, 'x');
    EXPECT_EQ(update(longkey, "i", 3), EINVAL);
    EXPECT_EQ(delv(longkey, 3, 4), EINVAL);
    int rc = 0;
    findi(longkey, 3, &rc);
    EXPECT_EQ(rc, EINVAL);
    EXPECT_TRUE(raw().empty());
    EXPECT_EQ(log().size(), 3u);
    ASSERT_EQ(0, update(maxkey, "i", 3));
    EXPECT_EQ(findi(maxkey, 3), "3/" + std::to_string(kLive) + ":i");

    qnst_inoderec closed{};
    ASSERT_EQ(0, qnst_inode_open(&closed, &m_, &folder_, 40));
    EXPECT_EQ(txn([&](DB_TXN *t) { return qnst_mapimsg_update(&closed, t, "k", 1, "i", 1, 3, 4); }),
              EINVAL);
    DBC *c = reinterpret_cast<DBC *>(1);
    uint32_t cver = 9, dver = 0, keylen = 0;
    char key[QNST_MAPI_MAX_KEY];
    EXPECT_EQ(qnst_mapimsg_walk(&closed, nullptr, 3, "", 0, &c, &cver, &dver, key, &keylen), 0);
    EXPECT_EQ(c, nullptr);
    EXPECT_EQ(cver, 0u);
    EXPECT_EQ(qnst_mapimsg_next(&closed, nullptr, &cver, &dver, key, &keylen), 0);
    EXPECT_EQ(cver, 0u);
}

// ---- Walks -------------------------------------------------------------------------------

class MailWalks : public Mailbox {
protected:
    void SetUp() override {
        // Versions 3, 5, 6 and 7; within each, several keys.
        for (auto [k, v] : std::vector<std::pair<std::string, uint32_t>>{
                 {"a", 3}, {"b", 5}, {"a", 6}, {"c", 6}, {"bb", 6}, {"b", 7}})
            ASSERT_EQ(0, update(k, k + std::to_string(v), v));
    }
    using Row = std::pair<uint32_t, std::string>;  // cver, message key
    // Walks and returns at most `limit` entries.
    std::vector<Row> vwalk(uint32_t lastver, const std::string &lastkey, size_t limit = 100) {
        std::vector<Row> rows;
        EXPECT_EQ(0, txn([&](DB_TXN *t) {
                      rows.clear();
                      DBC *c = nullptr;
                      uint32_t cver = 0, dver = 0, len = 0;
                      char key[QNST_MAPI_MAX_KEY];
                      int rc = qnst_mapimsg_walk(&box_, t, lastver, lastkey.data(),
                                                 static_cast<uint32_t>(lastkey.size()), &c, &cver,
                                                 &dver, key, &len);
                      while (rc == 0 && cver != 0 && rows.size() < limit) {
                          EXPECT_EQ(dver, kLive);
                          rows.emplace_back(cver, std::string(key, len));
                          rc = qnst_mapimsg_next(&box_, c, &cver, &dver, key, &len);
                      }
                      qnst_mapimsg_done(&box_, c);
                      return rc;
                  }));
        return rows;
    }
    std::vector<Row> idwalk(uint32_t lastver, const std::string &lastkey, size_t limit = 100) {
        std::vector<Row> rows;
        EXPECT_EQ(0, txn([&](DB_TXN *t) {
                      rows.clear();
                      DBC *c = nullptr;
                      uint32_t cver = 0, len = 0;
                      char key[QNST_MAPI_MAX_KEY];
                      int rc = qnst_mapimid_walk(&box_, t, lastver, lastkey.data(),
                                                 static_cast<uint32_t>(lastkey.size()), &c, &cver,
                                                 key, &len);
                      while (rc == 0 && cver != 0 && rows.size() < limit) {
                          rows.emplace_back(cver, std::string(key, len));
                          rc = qnst_mapimid_next(&box_, c, &cver, key, &len);
                      }
                      qnst_mapimsg_done(&box_, c);
                      return rc;
                  }));
        return rows;
    }
};

TEST_F(MailWalks, VersionWalkStepsTowardsNewerVersions) {
    using V = std::vector<Row>;
    EXPECT_EQ(vwalk(5, ""), (V{{6, "c"}, {6, "bb"}, {6, "a"}, {7, "b"}}));
    EXPECT_EQ(vwalk(4, ""), (V{{5, "b"}, {6, "c"}, {6, "bb"}, {6, "a"}, {7, "b"}}));
    // Resumed at the last entry returned, the walk continues after it.
    EXPECT_EQ(vwalk(6, "bb"), (V{{6, "a"}, {7, "b"}}));
    // A start after every version entry begins with the oldest version.
    EXPECT_EQ(vwalk(1, ""), (V{{3, "a"}, {5, "b"}, {6, "c"}, {6, "bb"}, {6, "a"}, {7, "b"}}));
    EXPECT_EQ(vwalk(7, ""), V{});
    EXPECT_EQ(vwalk(0, ""), V{}) << "version 0 sorts before every stored version";
}

TEST_F(MailWalks, IdWalkFollowsKeyOrder) {
    using V = std::vector<Row>;
    const V all = {{6, "a"}, {3, "a"}, {7, "b"}, {5, "b"}, {6, "c"}, {6, "bb"}};
    EXPECT_EQ(idwalk(0, ""), all) << "shorter keys first, then bytes, newest version first";
    // An empty start key returns the first entry at or after the start.
    EXPECT_EQ(idwalk(4, ""), all);
    // A nonempty start key skips the entry found at or after it.
    EXPECT_EQ(idwalk(6, "a"), V(all.begin() + 1, all.end()));
    EXPECT_EQ(idwalk(5, "b"), V(all.begin() + 4, all.end()));
    EXPECT_EQ(idwalk(1, "zz"), V{});
}

// ---- Content -----------------------------------------------------------------------------

TEST_F(Mailbox, BlocksAreClaimedHeldAndStored) {
    const Hash known = make_hash(1, 5), fresh = make_hash(2, 6), lost = make_hash(3, 7);
    const uint64_t stored = blocks_.store(known);
    uint64_t h = 1;
    // An unknown hash: handle 0, nothing held, nothing charged.
    ASSERT_EQ(0, txn([&](DB_TXN *t) {
        return qnst_mapimsg_holdblk(&box_, t, fresh.data(), 20, 500, 0, &h);
    }));
    EXPECT_EQ(h, 0u);
    EXPECT_EQ(usage(), (std::array<int64_t, 3>{0, 0, 0}));
    // A known one: held and charged as file bytes.
    ASSERT_EQ(0, txn([&](DB_TXN *t) {
        return qnst_mapimsg_holdblk(&box_, t, known.data(), 20, 500, 0, &h);
    }));
    EXPECT_EQ(h, stored);
    EXPECT_EQ(usage(), (std::array<int64_t, 3>{500, 0, 0}));

    // A new block: stored under the caller's handle, charged as file and store bytes and growth.
    uint64_t mine = 0, out = 0;
    ASSERT_EQ(0, qnst_sism_gen_handle(blocks_.mgr(), fresh.data(), 20, &mine));
    uint64_t coff0 = 0;
    blocks_.used(3, &coff0);
    ASSERT_EQ(0, txn([&](DB_TXN *t) {
        return qnst_mapimsg_enterblk(&box_, t, fresh.data(), 20, 3, 1, 8192, 1000, mine, &out);
    }));
    EXPECT_EQ(out, mine);
    uint64_t coff = 0;
    blocks_.used(3, &coff);
    EXPECT_EQ(usage(), (std::array<int64_t, 3>{1500, 1000, static_cast<int64_t>(coff - coff0)}));

    // Losing to a block stored first: the stored block is held and charged as a hold.
    const uint64_t winner = blocks_.store(lost);
    uint64_t loser = 0;
    ASSERT_EQ(0, qnst_sism_gen_handle(blocks_.mgr(), lost.data(), 20, &loser));
    ASSERT_EQ(0, txn([&](DB_TXN *t) {
        return qnst_mapimsg_enterblk(&box_, t, lost.data(), 20, 3, 1, 16384, 700, loser, &out);
    }));
    EXPECT_EQ(out, winner);
    EXPECT_EQ(usage()[0], 2200);
    EXPECT_EQ(usage()[1], 1000);
    blocks_.flush_all();
    EXPECT_EQ(blocks_.count(stored), 2u);
    EXPECT_EQ(blocks_.count(mine), 1u);
    EXPECT_EQ(blocks_.count(winner), 2u);
    EXPECT_TRUE(log().empty());
}

TEST_F(Mailbox, EnterblkGivesUpWhenTheHashKeepsVanishing) {
    // An index entry that leads to no block: every store finds the hash taken, every lookup
    // finds nothing.
    const Hash h = make_hash(99, 0);
    ASSERT_EQ(0, txn([&](DB_TXN *t) {
        return qnst_sism_store_hashid(blocks_.mgr(), t, 0, h.data(), h.size());
    }));
    uint64_t mine = 0, out = 5;
    ASSERT_EQ(0, qnst_sism_gen_handle(blocks_.mgr(), h.data(), 20, &mine));
    blocks_.env().mark_log();
    EXPECT_EQ(txn([&](DB_TXN *t) {
                  return qnst_mapimsg_enterblk(&box_, t, h.data(), 20, 0, 1, 0, 100, mine, &out);
              }),
              EAGAIN);
    EXPECT_EQ(out, 0u);
    expect_log_entries(log(), {{"qnst/mapi/qnst_mapi", "code 11"}});
}

TEST_F(Mailbox, BlobsAreClaimedStoredAndReconciled) {
    const Bytes sum(20, 0x42);
    uint64_t first = 0, second = 0, out = 0;
    int32_t existed = -1;
    // Two claims of new content (as two messages carrying it would make) get two handles.
    ASSERT_EQ(0, txn([&](DB_TXN *t) {
        return qnst_mapimsg_getblob(&box_, t, sum.data(), 20, 1000, &first, &existed);
    }));
    EXPECT_EQ(existed, 0);
    ASSERT_EQ(0, txn([&](DB_TXN *t) {
        return qnst_mapimsg_getblob(&box_, t, sum.data(), 20, 1000, &second, &existed);
    }));
    EXPECT_EQ(existed, 0);
    EXPECT_NE(first, second);
    EXPECT_EQ(usage(), (std::array<int64_t, 3>{2000, 2000, 2000}));

    // The first store wins: d = disksize - blobsize is charged as store bytes.
    ASSERT_EQ(0, txn([&](DB_TXN *t) {
        return qnst_mapimsg_enterblob(&box_, t, first, sum.data(), 20, 1000, 1100, &out);
    }));
    EXPECT_EQ(out, first);
    EXPECT_EQ(usage(), (std::array<int64_t, 3>{2000, 2100, 2100}));
    // The second finds it stored: holds it, queues its own space for compaction, and gives back
    // the current store bytes it claimed.
    ASSERT_EQ(0, txn([&](DB_TXN *t) {
        return qnst_mapimsg_enterblob(&box_, t, second, sum.data(), 20, 1000, 1100, &out);
    }));
    EXPECT_EQ(out, first);
    EXPECT_EQ(usage(), (std::array<int64_t, 3>{2000, 1100, 2200}));
    EXPECT_EQ(blobs_.count(first), 2);
    uint64_t queued = 0, qsize = 0;
    ASSERT_EQ(0, txn([&](DB_TXN *t) {
        return qnst_mblob_get_compactq(blobs_.mgr(), t, &queued, &qsize);
    }));
    EXPECT_EQ(std::make_pair(queued, qsize), std::make_pair(second, uint64_t{1100}));

    // A later claim of stored content holds it and charges file bytes only.
    ASSERT_EQ(0, txn([&](DB_TXN *t) {
        return qnst_mapimsg_getblob(&box_, t, sum.data(), 20, 1000, &out, &existed);
    }));
    EXPECT_EQ(existed, 1);
    EXPECT_EQ(out, first);
    EXPECT_EQ(blobs_.count(first), 3);
    EXPECT_EQ(usage(), (std::array<int64_t, 3>{3000, 1100, 2200}));
    EXPECT_TRUE(log().empty());
}

TEST_F(Mailbox, QuotaRefusalIsReturnedUnloggedWithNoHandle) {
    qnst_inode_setquota(&folder_, 0, 100, 0, 0);
    const Hash known = make_hash(1, 5);
    blocks_.store(known);
    uint64_t h = 1;
    EXPECT_EQ(txn([&](DB_TXN *t) {
                  return qnst_mapimsg_holdblk(&box_, t, known.data(), 20, 500, 0, &h);
              }),
              QNST_QUOTA_FSTOTAL);
    EXPECT_EQ(h, 0u);
    int32_t existed = 0;
    const Bytes sum(20, 0x42);
    EXPECT_EQ(txn([&](DB_TXN *t) {
                  return qnst_mapimsg_getblob(&box_, t, sum.data(), 20, 1000, &h, &existed);
              }),
              QNST_QUOTA_FSTOTAL);
    EXPECT_EQ(h, 0u);
    EXPECT_TRUE(log().empty());
}

}  // namespace
