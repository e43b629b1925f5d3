// Two inodes upload the same new content at the same time, each on its own thread in its own
// transactions, while the deadlock detector runs: exactly one blob is stored, the other upload
// maps it with a second reference and queues its reserved handle for compaction, and the counts
// equal the live mappings.
#include <barrier>
#include <thread>

#include "blobmap_fixture.hpp"

namespace {

using namespace qnst::testing;

#if defined(__SANITIZE_THREAD__)
constexpr uint32_t kRounds = 8;
#else
constexpr uint32_t kRounds = 25;
#endif
constexpr uint64_t kSize = 5000;

Bytes round_hash(uint32_t r) { return blob_hash(static_cast<uint8_t>(r * 29), r, 32); }

struct Upload {
    uint64_t reserved = 0;
    uint64_t mapped = 0;
    int reconcile_rc = -1;
    int commit_rc = -1;
};

TEST(BlobMapConcurrency, SameNewContentFromTwoInodesIsStoredOnce) {
    BlobMaps m;
    qnst_inoderec *nodes[2] = {m.inode(0x51), m.inode(0x52)};
    std::thread detector([&] { qnst_env_checkdlockthread(m.env().env()); });
    std::vector<Upload> uploads[2];
    for (auto &u : uploads) u.resize(kRounds);
    std::barrier<> meet(2);

    auto server = [&](int id) {
        qnst_inoderec *n = nodes[id];
        for (uint32_t r = 0; r < kRounds; ++r) {
            Upload &u = uploads[id][r];
            const Bytes h = round_hash(r);
            Reconciled rec = reconcile(m, n, h, kSize, r + 2);
            u.reconcile_rc = rec.rc;
            u.reserved = rec.isnew ? rec.handle : 0;
            // Both have reserved a handle for the new content; now both commit at once.
            meet.arrive_and_wait();
            const Committed c = commit(m, n, h, kSize, r + 2);
            u.commit_rc = c.rc;
            u.mapped = c.handle;
            meet.arrive_and_wait();
        }
    };
    std::thread a(server, 0), b(server, 1);
    a.join();
    b.join();
    qnst_env_stopthreads(m.env().env());
    detector.join();

    for (uint32_t r = 0; r < kRounds; ++r) {
        SCOPED_TRACE("round " + std::to_string(r));
        const Upload &u0 = uploads[0][r], &u1 = uploads[1][r];
        ASSERT_EQ(0, u0.reconcile_rc);
        ASSERT_EQ(0, u1.reconcile_rc);
        ASSERT_EQ(0, u0.commit_rc);
        ASSERT_EQ(0, u1.commit_rc);
        ASSERT_NE(0u, u0.reserved);
        ASSERT_NE(0u, u1.reserved);
        EXPECT_NE(u0.reserved, u1.reserved);
        // One winner: both map its handle; the loser's reservation waits for compaction.
        EXPECT_EQ(u0.mapped, u1.mapped);
        const uint64_t winner = u0.mapped;
        const uint64_t loser = winner == u0.reserved ? u1.reserved : u0.reserved;
        EXPECT_TRUE(winner == u0.reserved || winner == u1.reserved);
        EXPECT_EQ(2, m.store().count(winner));
        EXPECT_EQ(-1, m.store().count(loser));
        EXPECT_EQ(static_cast<int64_t>(kSize), m.queued(loser));
        uint64_t found = 0;
        const Bytes h = round_hash(r);
        ASSERT_EQ(0, m.txn([&](DB_TXN *t) {
            return qnst_mblob_lookup(m.mgr(), t, h.data(), 32, &found);
        }));
        EXPECT_EQ(winner, found);
    }

    // Counts equal the live mappings: every version record of both inodes, recounted.
    std::map<uint64_t, uint32_t> recount, stored;
    for (qnst_inoderec *n : nodes)
        for (const BlobMaps::Record &r : m.history(n)) ++recount[r.handle];
    for (const auto &[h, c] : m.store().counts()) stored[h] = c;
    EXPECT_EQ(recount, stored);
    EXPECT_EQ(kRounds, stored.size());
    // Each round reserved twice and stored one blob.
    const int64_t rounds = kRounds;
    EXPECT_EQ((Charged{2 * rounds * kSize, rounds * kSize, 2 * rounds * kSize}), m.charged());
    EXPECT_TRUE(m.env().error_lines().empty());
}

}  // namespace
