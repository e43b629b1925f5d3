// Several threads changing one folder through handles of their own, each in transactions that
// are retried after lock conflicts, while another lists it.
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "inode_fixture.hpp"
#include "qnst_folder.h"

namespace {

using namespace qnst::testing;

constexpr uint32_t kDir = 0x10000020;
constexpr int kThreads = 4;
constexpr uint32_t kRounds = 60;

using FolderConcurrencyTest = ConcurrentItabmFixture;

// Each thread adds its names at rising versions, renames every third and deletes every other
// one; the folder ends holding exactly what each thread's own sequence leaves.
TEST_F(FolderConcurrencyTest, ConcurrentChangesLeaveEachThreadsEntries) {
    qnst_inoderec dirs[kThreads + 1] = {};
    for (auto &d : dirs) ASSERT_EQ(0, qnst_inode_open(&d, &m_, nullptr, kDir));
    auto name = [](int t, uint32_t r) { return "t" + std::to_string(t) + "-" + std::to_string(r); };
    std::atomic<bool> done{false};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            qnst_inoderec *d = &dirs[t];
            for (uint32_t r = 1; r <= kRounds; ++r) {
                const std::string n = name(t, r);
                const auto len = uint32_t(n.size());
                const int rc = txn([&](DB_TXN *x) {
                    int e = qnst_dir_add(d, x, n.data(), len, r, 1, 1000 * uint32_t(t) + r);
                    uint32_t cv, dv, type, cino = 0;
                    if (!e) e = qnst_dir_lookup(d, x, n.data(), len, r, &cv, &dv, &type, &cino);
                    if (!e && r % 3 == 0) {
                        const std::string renamed = n + "r";
                        e = qnst_dir_rename(d, x, n.data(), len, renamed.data(), len + 1, 0);
                    } else if (!e && r % 2 == 0) {
                        e = qnst_dir_del(d, x, n.data(), len, r + 1, 0);
                    }
                    return e;
                });
                ASSERT_EQ(0, rc);
            }
        });
    }
    std::thread lister([&] {
        while (!done.load()) {
            const int rc = txn([&](DB_TXN *x) {
                DBC *c = nullptr;
                char buf[QNST_DIR_MAXNAME];
                uint32_t cv = 0, dv, len, type, cino;
                int e = qnst_dir_walk(&dirs[kThreads], x, 0, &c, &cv, &dv, buf, &len, &type, &cino);
                while (e == 0 && cv)
                    e = qnst_dir_next(&dirs[kThreads], c, 0, &cv, &dv, buf, &len, &type, &cino);
                qnst_dir_done(&dirs[kThreads], c);
                return e;
            });
            ASSERT_EQ(0, rc);
        }
    });
    for (auto &th : threads) th.join();
    done = true;
    lister.join();

    size_t expected = 0, found = 0;
    ASSERT_EQ(0,
              txn([&](DB_TXN *x) {
                  for (int t = 0; t < kThreads; ++t) {
                      for (uint32_t r = 1; r <= kRounds; ++r) {
                          const std::string n = name(t, r) + (r % 3 == 0 ? "r" : "");
                          uint32_t cv, dv, type, cino = 0;
                          const int rc = qnst_dir_lookup(&dirs[0], x, n.data(), uint32_t(n.size()),
                                                         r, &cv, &dv, &type, &cino);
                          EXPECT_EQ(rc, 0) << n;
                          EXPECT_EQ(cino, 1000 * uint32_t(t) + r) << n;
                          const bool deleted = r % 3 != 0 && r % 2 == 0;
                          EXPECT_EQ(dv, deleted ? r + 1 : uint32_t(QNST_INODE_LIVE)) << n;
                          ++expected;
                      }
                  }
                  DBC *c = nullptr;
                  char buf[QNST_DIR_MAXNAME];
                  uint32_t cv = 0, dv, len, type, cino;
                  int e = qnst_dir_walk(&dirs[0], x, 0, &c, &cv, &dv, buf, &len, &type, &cino);
                  for (; e == 0 && cv; ++found)
                      e = qnst_dir_next(&dirs[0], c, 0, &cv, &dv, buf, &len, &type, &cino);
                  qnst_dir_done(&dirs[0], c);
                  return e;
              }));
    EXPECT_EQ(expected, found);
    EXPECT_TRUE(env_.error_lines().empty());
}

}  // namespace
