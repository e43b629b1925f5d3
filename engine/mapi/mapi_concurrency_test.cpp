// Two writers store the same new block of a message at once, each on its own thread in its own
// transaction: one block is stored, the other writer gets its handle charged as a hold.
#include <barrier>
#include <thread>

#include "mapi_fixture.hpp"

namespace {

using namespace qnst::testing;

#if defined(__SANITIZE_THREAD__)
constexpr uint32_t kRounds = 4;
#else
constexpr uint32_t kRounds = 12;
#endif
constexpr uint32_t kSize = 1000;

TEST_F(Mailbox, TwoWritersOfOneNewBlockStoreItOnce) {
    // Two mail stores under one folder: an inode handle serves one thread at a time.
    qnst_inoderec other{};
    open(&other, &folder_, 12);
    qnst_inoderec *boxes[2] = {&box_, &other};
    std::thread detector([&] { qnst_env_checkdlockthread(blocks_.env().env()); });
    for (uint32_t round = 0; round < kRounds; ++round) {
        const Hash h = make_hash(500 + round, static_cast<uint8_t>(round * 37));
        uint64_t fresh[2] = {}, out[2] = {};
        int rc[2] = {-1, -1};
        std::barrier<> start(2);
        auto write = [&](int i) {
            ASSERT_EQ(0, qnst_sism_gen_handle(blocks_.mgr(), h.data(), h.size(), &fresh[i]));
            start.arrive_and_wait();
            rc[i] = txn([&](DB_TXN *t) {
                return qnst_mapimsg_enterblk(boxes[i], t, h.data(), 20, static_cast<uint32_t>(i),
                                             1, uint64_t{round} * kSize, kSize, fresh[i],
                                             &out[i]);
            });
        };
        std::thread a(write, 0), b(write, 1);
        a.join();
        b.join();
        ASSERT_EQ(rc[0], 0);
        ASSERT_EQ(rc[1], 0);
        EXPECT_EQ(out[0], out[1]) << "round " << round;
        const uint64_t stored = blocks_.lookup(h);
        EXPECT_EQ(out[0], stored);
        const int loser = stored == fresh[0] ? 1 : 0;
        EXPECT_EQ(stored, fresh[1 - loser]);
        uint32_t count = 0;
        EXPECT_EQ(txn([&](DB_TXN *t) {
                      return qnst_blksism_getref(blocks_.mgr(), t, 0, fresh[loser], &count);
                  }),
                  DB_NOTFOUND);
        blocks_.env().mark_log();  // that miss is logged by the store; the rest must be clean
        blocks_.flush_all();
        EXPECT_EQ(blocks_.count(stored), 2u);
    }
    qnst_env_stopthreads(blocks_.env().env());
    detector.join();
    // Both writers charged the file bytes; the store bytes only once per block.
    const auto u = usage();
    EXPECT_EQ(u[0], int64_t{2 * kSize * kRounds});
    EXPECT_EQ(u[1], int64_t{kSize * kRounds});
    EXPECT_TRUE(log().empty());
    qnst_inode_close(&other);
}

}  // namespace
