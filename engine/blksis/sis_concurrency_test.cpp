// Several threads generating handles, storing, holding and releasing blocks at once, each in
// its own transactions retried on lock conflicts.
#include <set>
#include <thread>

#include "sis_fixture.hpp"

#if defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define QNST_TEST_UNDER_TSAN 1
#endif
#endif
#if defined(__SANITIZE_THREAD__) || defined(QNST_TEST_UNDER_TSAN)
// Berkeley DB takes its own region mutexes (process-shared pthread locks at fixed places in its
// regions) in orders that ThreadSanitizer cannot see to be safe; its lock-order reports are
// about the library, not about this code.
extern "C" __attribute__((visibility("default"))) const char *__tsan_default_suppressions() {
    return "deadlock:libdb-5.3.so\n";
}
#endif

namespace {

class Concurrent : public sistest::Partition {
protected:
    void SetUp() override {
        Partition::SetUp();
        // A hold and a release moving blocks between the same two histogram buckets lock them in
        // opposite orders: conflicts are broken at once, and the loser retries.
        ASSERT_EQ(0, dbenv()->set_lk_detect(dbenv(), DB_LOCK_YOUNGEST));
    }
};

TEST_F(Concurrent, HandlesAreUnique) {
    constexpr int kThreads = 4, kEach = 500;
    std::vector<std::vector<uint64_t>> got(kThreads);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([&, t] {
            for (int i = 0; i < kEach; ++i) {
                uint64_t h = 0;
                if (qnst_sis_gen_handle(&part, &h) == 0) got[t].push_back(h);
            }
        });
    for (auto &th : threads) th.join();
    std::set<uint64_t> all;
    for (const auto &v : got) all.insert(v.begin(), v.end());
    EXPECT_EQ(size_t{kThreads} * kEach, all.size());
}

TEST_F(Concurrent, HoldsAndReleasesKeepCountsAndHistogram) {
    constexpr int kThreads = 4, kRounds = 150;
    std::vector<uint64_t> blocks;
    for (uint32_t i = 0; i < 6; ++i) blocks.push_back(store(i));
    const uint64_t link = store(100);
    make_link(link, blocks[0]);

    // Each thread holds twice and releases once per round, on blocks chosen by its round.
    std::vector<std::thread> threads;
    std::atomic<int> failures{0};
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([&, t] {
            for (int r = 0; r < kRounds; ++r) {
                const uint64_t h = (r + t) % 7 == 6 ? link : blocks[(r + t) % 7];
                const int rc = txn([&](DB_TXN *x) {
                    uint32_t c = 0;
                    int rc2 = qnst_sis_hold(&part, x, h, &c, 0);
                    rc2 = rc2 ? rc2 : qnst_sis_hold(&part, x, h, &c, 0);
                    return rc2 ? rc2 : qnst_sis_rele(&part, x, h, &c);
                });
                if (rc) ++failures;
            }
        });
    for (auto &th : threads) th.join();
    ASSERT_EQ(0, failures.load());

    // Every round added one reference to its block; a link's rounds also count on blocks[0].
    std::vector<uint32_t> expect(7, 1);
    for (int t = 0; t < kThreads; ++t)
        for (int r = 0; r < kRounds; ++r) ++expect[(r + t) % 7];
    EXPECT_EQ(expect[6], getref(link));
    // blocks[0] also carries every reference of the link: the one merged and those taken since.
    EXPECT_EQ(expect[0] + expect[6], getref(blocks[0]));
    for (int i = 1; i < 6; ++i) EXPECT_EQ(expect[i], getref(blocks[i])) << i;
    std::vector<uint32_t> buckets(257, 0);
    for (uint64_t h : blocks) ++buckets[std::min<uint32_t>(getref(h), 256)];
    for (int b = 1; b <= 256; ++b) EXPECT_EQ(buckets[b], bucket(b)) << b;
}

}  // namespace
