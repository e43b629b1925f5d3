// Several threads allocating from one set of tables and charging one set-node chain, each in
// transactions of its own that are retried after lock conflicts.
#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "inode_fixture.hpp"

namespace {

using namespace qnst::testing;

constexpr int kThreads = 4;
constexpr int kRounds = 150;

using InodeConcurrencyTest = ConcurrentItabmFixture;

TEST_F(InodeConcurrencyTest, ConcurrentAllocationsNeverShareANumber) {
    std::vector<std::vector<uint32_t>> got(kThreads);
    std::vector<std::thread> threads;
    for (int i = 0; i < kThreads; ++i) {
        threads.emplace_back([this, i, &got] {
            while (got[i].size() < kRounds) {
                uint32_t ino = 0;
                const int rc = txn([&](DB_TXN *x) { return qnst_inodem_alloc(&m_, x, 1, &ino); });
                if (rc == 0) {
                    got[i].push_back(ino);
                } else if (rc == QNST_ENOINODE) {
                    int e;
                    while ((e = qnst_itabm_extend(&m_, 40, 0)) == DB_LOCK_DEADLOCK) {
                    }
                    ASSERT_EQ(0, e);
                } else {
                    ASSERT_EQ(0, rc);
                }
            }
        });
    }
    for (auto &t : threads) t.join();

    std::set<uint32_t> all;
    for (const auto &v : got) all.insert(v.begin(), v.end());
    ASSERT_EQ(all.size(), size_t{kThreads} * kRounds);
    size_t allocated = 0;
    for (int32_t t = 0; t < 2; ++t) {
        const TableState s = table(t);
        allocated += s.itab.size();
        for (const auto &[n, life] : s.itab) {
            EXPECT_EQ(1u, all.count(static_cast<uint32_t>(t) << 28 | n));
            EXPECT_EQ(0u, s.ifree.count(n));
        }
        EXPECT_EQ(s.itab.size() + s.ifree.size(), s.seq - 10);
    }
    EXPECT_EQ(allocated, all.size());
}

TEST_F(InodeConcurrencyTest, ConcurrentChargesAddUpAtTheTop) {
    // One top and one folder shared by every thread, a file of its own for each.
    auto make = [&](qnst_inoderec *n, uint32_t ino, qnst_inoderec *setnode) {
        ASSERT_EQ(0, qnst_inode_open(n, &m_, setnode, ino));
        ASSERT_EQ(0, qnst_inode_init(n, 1));
    };
    qnst_inoderec top[kThreads], mid[kThreads], leaf[kThreads];
    for (int i = 0; i < kThreads; ++i) {
        make(&top[i], 10, nullptr);
        make(&mid[i], 0x1000000b, &top[i]);
        make(&leaf[i], 20 + i, &mid[i]);
        for (qnst_inoderec *n : {&top[i], &mid[i], &leaf[i]})
            ASSERT_EQ(0, txn([&](DB_TXN *x) {
                          return qnst_inode_usage_set(n, x, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0);
                      }));
        qnst_inode_setquota(&top[i], 0, 0, 0, int64_t{kThreads} * kRounds);
    }
    std::vector<std::thread> threads;
    for (int i = 0; i < kThreads; ++i) {
        threads.emplace_back([&, i] {
            for (int r = 0; r < kRounds; ++r)
                ASSERT_EQ(0, txn([&](DB_TXN *x) {
                              return qnst_inode_usg(&leaf[i], x, 1, 2, 3, 1, 1, 1);
                          }));
        });
    }
    for (auto &t : threads) t.join();
    // The top's limit is now reached exactly.
    EXPECT_EQ(QNST_QUOTA_STTOTAL,
              txn([&](DB_TXN *x) { return qnst_inode_usg(&leaf[0], x, 0, 0, 0, 1, 0, 0); }));

    int64_t c[10];
    ASSERT_EQ(0, txn([&](DB_TXN *x) {
                  return qnst_inode_usage_get(&top[0], x, &c[0], &c[1], &c[2], &c[3], &c[4],
                                              &c[5], &c[6], &c[7], &c[8], &c[9]);
              }));
    const int64_t n = int64_t{kThreads} * kRounds;
    EXPECT_EQ(c[1], n);
    EXPECT_EQ(c[3], 2 * n);
    EXPECT_EQ(c[5], 3 * n);
    EXPECT_EQ(c[7], n);
    EXPECT_EQ(c[9], n);
    for (int i = 0; i < kThreads; ++i)
        for (qnst_inoderec *h : {&leaf[i], &mid[i], &top[i]}) qnst_inode_close(h);
}

}  // namespace
