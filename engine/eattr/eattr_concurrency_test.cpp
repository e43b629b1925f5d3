// Several threads updating attributes of one inode through handles of their own, each in
// transactions that are retried after lock conflicts, while another walks them.
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "inode_fixture.hpp"
#include "qnst_eattr.h"

namespace {

using namespace qnst::testing;

constexpr uint32_t kIno = 0x1000001f;
constexpr int kThreads = 4;
constexpr uint32_t kRounds = 60;

using EattrConcurrencyTest = ConcurrentItabmFixture;

std::string value_of(int t, uint32_t v) { return std::string(v * 7 % 300, char('a' + t)); }

// Each thread writes a new version of its own attribute per round and clears it every fifth;
// every attribute ends with the exact history of its thread.
TEST_F(EattrConcurrencyTest, ConcurrentUpdatesKeepEachHistoryWhole) {
    qnst_inoderec inos[kThreads + 1] = {};
    for (auto &n : inos) ASSERT_EQ(0, qnst_inode_open(&n, &m_, nullptr, kIno));
    std::atomic<bool> done{false};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            for (uint32_t v = 1; v <= kRounds; ++v) {
                const std::string value = value_of(t, v);
                const int rc = txn([&](DB_TXN *x) {
                    int e = qnst_eatr_update(&inos[t], x, uint32_t(t), v, value.data(),
                                             uint32_t(value.size()));
                    if (!e && v % 5 == 0) e = qnst_eatr_clear(&inos[t], x, uint32_t(t), v);
                    return e;
                });
                ASSERT_EQ(0, rc);
            }
        });
    }
    std::thread walker([&] {
        qnst_inoderec *n = &inos[kThreads];
        while (!done.load()) {
            for (uint32_t aid = 0; aid < kThreads; ++aid) {
                const int rc = txn([&](DB_TXN *x) {
                    DBC *c = nullptr;
                    uint32_t cv = 0, dv, size;
                    void *value, *buf = nullptr;
                    int e = qnst_eatr_walk(n, x, aid, 1, &c, &cv, &dv, &value, &size, &buf);
                    while (e == 0 && cv) {
                        qnst_eatr_free(buf);
                        e = qnst_eatr_next(n, c, aid, &cv, &dv, &value, &size, &buf);
                    }
                    qnst_eatr_done(n, c);
                    return e;
                });
                ASSERT_EQ(0, rc);
            }
        }
    });
    for (auto &th : threads) th.join();
    done = true;
    walker.join();

    ASSERT_EQ(0,
              txn([&](DB_TXN *x) {
                  for (int t = 0; t < kThreads; ++t) {
                      for (uint32_t v = 1; v <= kRounds; ++v) {
                          uint32_t cv = 0, dv = 0, size = 0;
                          void *value = nullptr, *buf = nullptr;
                          const int rc = qnst_eatr_lookup(&inos[0], x, uint32_t(t), v, &cv, &dv,
                                                          &value, &size, &buf);
                          if (v % 5 == 0) {  // written and cleared in one version
                              EXPECT_EQ(rc, DB_NOTFOUND) << t << "@" << v;
                              continue;
                          }
                          EXPECT_EQ(rc, 0) << t << "@" << v;
                          EXPECT_EQ(cv, v);
                          EXPECT_EQ(dv, v + 1);
                          EXPECT_EQ(std::string(static_cast<char *>(value), size),
                                    value_of(t, v));
                          qnst_eatr_free(buf);
                      }
                  }
                  return 0;
              }));
    EXPECT_TRUE(env_.error_lines().empty());
}

}  // namespace
