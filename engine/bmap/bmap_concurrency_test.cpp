// Two writers enter the same new block into two files at once, each on its own thread in its own
// transaction: one block is stored, the other writer maps that block with a reference of its
// own, and the reference counts equal the map entries.
#include <barrier>
#include <thread>

#include "bmap_fixture.hpp"

namespace {

using namespace qnst::testing;

#if defined(__SANITIZE_THREAD__)
constexpr uint32_t kRounds = 4;
#else
constexpr uint32_t kRounds = 12;
#endif

TEST(BmapConcurrency, TwoWritersOfOneNewBlockStoreItOnce) {
    MappedFile f({.nparts = 2}, 2);
    std::thread detector([&] { qnst_env_checkdlockthread(f.store().env().env()); });

    struct Writer {
        uint64_t fresh = 0;  // the handle this writer would store the block under
        int rc = -1;
        int attempts = 0;
    };
    for (uint32_t round = 0; round < kRounds; ++round) {
        const uint32_t id = 100 + round;
        const Hash h = MappedFile::hash_of(id);
        Writer w[2];
        std::barrier<> start(2);
        auto write = [&](size_t i) {
            ASSERT_EQ(0, qnst_sism_gen_handle(f.mgr(), h.data(), h.size(), &w[i].fresh));
            start.arrive_and_wait();
            w[i].rc = f.txn([&](DB_TXN *t) {
                ++w[i].attempts;
                return qnst_bmap_enter(f.file(i), t, 4096 * round, 4096, 3, w[i].fresh, h.data(),
                                       h.size(), static_cast<uint32_t>(i), 1, 0, 1000);
            });
        };
        std::thread a(write, 0), b(write, 1);
        a.join();
        b.join();
        ASSERT_EQ(w[0].rc, 0);
        ASSERT_EQ(w[1].rc, 0);

        // Both files map the block the index knows; it is one of the two handles.
        const uint64_t stored = f.store().lookup(h);
        ASSERT_TRUE(stored == w[0].fresh || stored == w[1].fresh) << "round " << round;
        const size_t loser = stored == w[0].fresh ? 1 : 0;
        for (size_t i = 0; i < 2; ++i) EXPECT_EQ(f.lookup(4096 * round, 3, i), stored);
        // The losing handle was never stored.
        uint32_t count = 0;
        EXPECT_EQ(f.txn([&](DB_TXN *t) {
                      return qnst_blksism_getref(f.mgr(), t, 0, w[loser].fresh, &count);
                  }),
                  DB_NOTFOUND);
        f.store().env().mark_log();  // that miss is logged by the store; the rest must be clean
        f.store().flush_all();
        EXPECT_EQ(f.store().count(stored), 2u) << "the store's reference and the loser's hold";
    }
    qnst_env_stopthreads(f.store().env().env());
    detector.join();

    // Both files charged their bytes; only the winners' stored bytes were charged.
    EXPECT_EQ(f.usage(), std::make_tuple(int64_t{2 * 4096 * kRounds}, int64_t{1000 * kRounds},
                                         std::get<2>(f.usage())));
    EXPECT_EQ(f.entries(0).size() + f.entries(1).size(), 2 * kRounds);
    EXPECT_TRUE(f.store().env().error_lines().empty());
}

}  // namespace
