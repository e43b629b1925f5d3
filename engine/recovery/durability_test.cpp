// Committed records live in the database files themselves once the environment has been closed
// cleanly: the region files may vanish (regions in system memory do at a reboot) and a recovery
// open must still find every record.
#include <gtest/gtest.h>

#include <array>
#include <map>
#include <vector>

#include "qnst_internal.hpp"
#include "qnst_testing.hpp"
#include "stores_fixture.hpp"

namespace {

using namespace qnst::testing;


// Everything a caller can read back about the committed work, through the engine.
struct Snapshot {
    std::map<uint64_t, std::array<uint64_t, 5>> blocks;  // handle -> count, dfid, offset, length, found-by-hash
    std::array<uint32_t, 4> hist{};
    std::vector<uint64_t> dfile_used;
    std::map<uint32_t, std::pair<uint32_t, uint32_t>> inodes;  // number -> cver, dver
    std::array<int64_t, 10> usage{};
    bool operator==(const Snapshot &) const = default;
};

Snapshot take(Stores &s, DB_ENV *dbenv, const std::map<uint64_t, uint32_t> &hash_of, uint32_t ino) {
    Snapshot snap;
    for (const auto &[handle, k] : hash_of) {
        auto &b = snap.blocks[handle];
        EXPECT_EQ(with_txn(dbenv, [&](DB_TXN *t) {
                      uint32_t count = 0, dfid = 0, dfver = 0, length = 0, hashlen = 0, followed = 0;
                      uint64_t offset = 0, found = 0;
                      const Hash h = make_hash(k, static_cast<uint8_t>(k * 37));
                      int rc = qnst_blksism_getref(&s.mgr, t, 0, handle, &count);
                      if (!rc) rc = qnst_sism_read(&s.mgr, t, handle, &dfid, &dfver, &offset,
                                                   &length, &hashlen, nullptr, &followed);
                      if (!rc) rc = qnst_sism_lookup(&s.mgr, t, h.data(), h.size(), 0, &found);
                      b = {count, dfid, offset, length, found};
                      return rc;
                  }),
                  0)
            << "block " << handle;
    }
    for (int32_t bucket = 1; bucket <= 4; ++bucket)
        EXPECT_EQ(qnst_sism_histget(&s.mgr, bucket, &snap.hist[bucket - 1]), 0);
    for (uint32_t d = 0; d < 2; ++d) {
        uint32_t ver = 0, over = 0;
        uint64_t coff = 0, ooff = 0, used = 0;
        EXPECT_EQ(qnst_dfile_get(&s.dfile, nullptr, d, &ver, &over, &coff, &ooff, &used, 0), 0);
        snap.dfile_used.push_back(used);
    }
    snap.inodes = s.allocated_inodes();
    qnst_inoderec node{};
    EXPECT_EQ(qnst_inode_open(&node, &s.itabm, nullptr, ino), 0);
    EXPECT_EQ(qnst_inode_chk(&node), 0);
    auto &u = snap.usage;
    EXPECT_EQ(with_txn(dbenv, [&](DB_TXN *t) {
                  return qnst_inode_usage_get(&node, t, &u[0], &u[1], &u[2], &u[3], &u[4], &u[5],
                                              &u[6], &u[7], &u[8], &u[9]);
              }),
              0);
    qnst_inode_close(&node);
    return snap;
}

std::string error_log(const std::string &home) {
    std::string text;
    for (const auto &line : read_lines(home + "/error.log")) text += line + "\n";
    return text;
}

class DurabilityTest : public ::testing::TestWithParam<int64_t> {};

TEST_P(DurabilityTest, CleanCloseKeepsEveryCommittedRecordWithoutTheRegions) {
    TempDir dir;
    const std::string home = dir.path().string();
    qnst_envrec env{};
    ASSERT_EQ(open_server_env(&env, home), 0);
    Stores s;
    ASSERT_EQ(s.open(&env, GetParam()), 0);
    DB_ENV *dbenv = env.dbenv;

    ASSERT_EQ(qnst_itabm_extend(&s.itabm, 64, 1), 0);
    std::map<uint64_t, uint32_t> hash_of;
    for (uint32_t k = 0; k < 24; ++k) {
        const Hash h = make_hash(k, static_cast<uint8_t>(k * 37));
        uint64_t handle = 0;
        ASSERT_EQ(qnst_sism_gen_handle(&s.mgr, h.data(), h.size(), &handle), 0);
        ASSERT_EQ(with_txn(dbenv, [&](DB_TXN *t) {
                      int rc = qnst_sism_store(&s.mgr, t, h.data(), h.size(), k % 2, 1, k * 4096,
                                               4096, handle, nullptr);
                      // Every third block gets a second reference.
                      if (!rc && k % 3 == 0) rc = qnst_sism_hold(&s.mgr, t, handle, 0);
                      return rc;
                  }),
                  0);
        hash_of[handle] = k;
    }
    uint32_t ino = 0;
    for (int i = 0; i < 10; ++i)
        ASSERT_EQ(with_txn(dbenv, [&](DB_TXN *t) { return qnst_inodem_alloc(&s.itabm, t, 3, &ino); }), 0);
    qnst_inoderec node{};
    ASSERT_EQ(qnst_inode_open(&node, &s.itabm, nullptr, ino), 0);
    ASSERT_EQ(qnst_inode_init(&node, 9), 0);
    ASSERT_EQ(with_txn(dbenv, [&](DB_TXN *t) {
                  return qnst_inode_usage_set(&node, t, 0, 11, 0, 12, 0, 13, 0, 14, 15, 16);
              }),
              0);
    qnst_inode_close(&node);

    const Snapshot before = take(s, dbenv, hash_of, ino);
    ASSERT_EQ(before.inodes.size(), 10u);
    ASSERT_EQ(before.usage[9], 16);

    s.close();
    qnst_env_close(&env);
    ASSERT_GT(remove_regions(home), 0);

    ASSERT_EQ(open_server_env(&env, home), 0) << error_log(home);
    Stores again;
    ASSERT_EQ(again.open(&env, GetParam()), 0);
    EXPECT_EQ(take(again, env.dbenv, hash_of, ino), before);
    again.close();
    qnst_env_close(&env);
}

INSTANTIATE_TEST_SUITE_P(CacheOffAndOn, DurabilityTest, ::testing::Values(0, 1 << 20));

}  // namespace
