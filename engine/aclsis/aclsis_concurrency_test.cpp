// Several threads storing, holding and releasing a few shared ACLs, each step in a transaction
// of its own that is retried after lock conflicts and lost store races: the counts left are the
// references the threads hold, and ACLs nobody holds are gone.
#include <gtest/gtest.h>

#include <random>
#include <thread>
#include <vector>

#include "inode_fixture.hpp"
#include "qnst_aclsis.h"

namespace {

using namespace qnst::testing;
using qnst::Cursor;
using qnst::load_le32;
using qnst::user_dbt;

constexpr int kThreads = 4;
constexpr int kRounds = 150;
constexpr int kHashes = 5;

// Records in a database, read raw.
size_t count_records(DB *db) {
    Cursor c;
    EXPECT_EQ(0, c.open(db, nullptr, 0));
    uint8_t buf[64];
    DBT key = user_dbt(buf, 0, sizeof buf), data = user_dbt(buf, 0, 0);
    data.flags |= DB_DBT_PARTIAL;
    size_t n = 0;
    while (c->get(c.get(), &key, &data, DB_NEXT) == 0) ++n;
    return n;
}

TEST(AclConcurrency, CountsMatchTheReferencesHeld) {
    TempEnv env;
    ASSERT_EQ(0, env.dbenv()->set_lk_detect(env.dbenv(), DB_LOCK_YOUNGEST));
    qnst_aclsisrec s{};
    ASSERT_EQ(0, qnst_aclsis_create(&s, env.dbenv()));
    ASSERT_EQ(0, qnst_aclsis_open(&s, "acl.db", 0));
    auto hash = [](int i) { return "hash-" + std::to_string(i); };

    std::vector<std::vector<int>> held(kThreads, std::vector<int>(kHashes));
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            std::mt19937 rng(100 + t);
            for (int round = 0; round < kRounds; ++round) {
                const int i = static_cast<int>(rng() % kHashes);
                const std::string h = hash(i);
                const bool take = held[t][i] == 0 || rng() % 3 != 0;
                int rc;
                // A lost race to store the same new ACL ends in DB_KEYEXIST: look it up again.
                do {
                    rc = with_txn(env.dbenv(), [&](DB_TXN *x) {
                        uint64_t handle = 0;
                        int r = qnst_acl_lookup(&s, x, h.data(), h.size(), &handle);
                        if (r) return r;
                        if (!take) return handle ? qnst_acl_rele(&s, x, handle) : EINVAL;
                        if (handle) return qnst_acl_hold(&s, x, handle);
                        return qnst_acl_store(&s, x, h.data(), h.size(), "acl", 3, &handle);
                    });
                } while (rc == DB_KEYEXIST);
                ASSERT_EQ(0, rc);
                held[t][i] += take ? 1 : -1;
            }
        });
    }
    for (auto &th : threads) th.join();

    size_t live = 0;
    for (int i = 0; i < kHashes; ++i) {
        int total = 0;
        for (const auto &v : held) total += v[i];
        const std::string h = hash(i);
        uint64_t handle = 0;
        ASSERT_EQ(0, with_txn(env.dbenv(), [&](DB_TXN *x) {
                      return qnst_acl_lookup(&s, x, h.data(), h.size(), &handle);
                  }));
        if (total == 0) {
            EXPECT_EQ(0u, handle) << h;
            continue;
        }
        ++live;
        uint8_t k[8], v[4];
        qnst::store_le64(k, handle);
        DBT key = user_dbt(k, 8), data = user_dbt(v, 0, sizeof v);
        ASSERT_EQ(0, s.refdb->get(s.refdb, nullptr, &key, &data, 0)) << h;
        EXPECT_EQ(static_cast<uint32_t>(total), load_le32(v)) << h;
    }
    // Nothing is left of the ACLs that were released to the end.
    EXPECT_EQ(live, count_records(s.refdb));
    EXPECT_EQ(live, count_records(s.objdb));
    EXPECT_EQ(live, count_records(s.hashdb));
    qnst_aclsis_close(&s);
}

}  // namespace
