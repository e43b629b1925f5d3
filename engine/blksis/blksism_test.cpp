// The block store manager: routing, handles, the road of a new block, bad input, compaction
// wrappers and the whole-store calls.
#include <regex>

#include "blksism_fixture.hpp"

namespace {

using qnst::testing::BlockStore;
using qnst::testing::Hash;
using qnst::testing::make_hash;
using qnst::testing::StoreOptions;

constexpr int64_t kMiB = 1 << 20;

TEST(BlksismCreate, RefusesPartitionCountsThatCannotBeRouted) {
    qnst::testing::TempEnv env;
    qnst_dfile dfile{};
    ASSERT_EQ(0, qnst_dfile_create(&dfile, env.dbenv(), 8));
    for (int32_t nparts : {0, -1, 257}) {
        qnst_blksism mgr;
        std::memset(&mgr, 0x5a, sizeof mgr);
        EXPECT_EQ(22, qnst_blksism_create(&mgr, env.dbenv(), &dfile, nparts)) << nparts;
        EXPECT_EQ(nullptr, mgr.parts);
        EXPECT_EQ(0, qnst_blksism_close(&mgr));
    }
    for (int32_t nparts : {1, 256}) {
        qnst_blksism mgr{};
        ASSERT_EQ(0, qnst_blksism_create(&mgr, env.dbenv(), &dfile, nparts)) << nparts;
        EXPECT_EQ(nparts, mgr.nparts);
        EXPECT_EQ(0, qnst_blksism_close(&mgr));
        EXPECT_EQ(nullptr, mgr.parts);
    }
    qnst_dfile_close(&dfile);
}

TEST(BlksismRouting, FirstHashByteWithoutItsTopBitPicksThePartition) {
    BlockStore s(StoreOptions{.nparts = 16});
    // (0x93 & 0x7f) % 16 = 19 % 16 = 3, the same as 0x13.
    for (uint8_t first : {0x93, 0x13}) {
        const Hash h = make_hash(first, first);
        const uint64_t handle = s.store(h);
        EXPECT_EQ(3u, handle >> 56) << int(first);
        EXPECT_EQ(handle, s.lookup(h));
        uint64_t local = 0;
        ASSERT_EQ(0, s.txn([&](DB_TXN *t) {
            return qnst_sis_lookup(s.part(3), t, h.data(), h.size(), &local);
        }));
        EXPECT_EQ(handle & QNST_BLKSISM_LOCAL_MASK, local);
    }
    // A walk of partition 3's hash index returns both, with the partition in their handles.
    ASSERT_EQ(0, s.txn([&](DB_TXN *t) {
        DBC *c = nullptr;
        uint64_t handle = 0;
        uint8_t hash[20] = {};
        uint32_t hashlen = sizeof hash;
        int n = 0;
        int rc = qnst_sism_walk_hashid(s.mgr(), 3, t, &c, &handle, 0, &hashlen, hash);
        while (rc == 0 && handle != 0) {
            EXPECT_EQ(3u, handle >> 56);
            ++n;
            hashlen = sizeof hash;
            rc = qnst_sism_next_hashid(s.mgr(), 3, c, &handle, &hashlen, hash);
        }
        qnst_sism_done(s.mgr(), 3, c);
        EXPECT_EQ(2, n);
        return rc;
    }));
}

TEST(BlksismRouting, ManagerHandleCarriesThePartitionAndReleasesQueueTheLocalHandle) {
    BlockStore s;
    const Hash h = make_hash(1, 0x02);  // partition 2 of 4
    uint64_t handle = 0;
    ASSERT_EQ(0, qnst_sism_gen_handle(s.mgr(), h.data(), h.size(), &handle));
    EXPECT_EQ(0x0280030000000000ull, handle);  // sequence value 3 of partition 2

    uint32_t count = 7;
    ASSERT_EQ(0, s.txn([&](DB_TXN *t) { return qnst_sism_rele(s.mgr(), t, handle, &count); }));
    EXPECT_EQ(0u, count);
    // The release waits on partition 2's hold/release queue as (local handle, -1).
    DB *hq = s.part(2)->hdqdb;
    db_recno_t recno = 1;
    uint8_t rec[12];
    DBT k = qnst::user_dbt(&recno, sizeof recno);
    DBT d = qnst::user_dbt(rec, 0, sizeof rec);
    ASSERT_EQ(0, hq->get(hq, nullptr, &k, &d, 0));
    EXPECT_EQ("0000000000038000ffffffff", qnst::testing::hex(rec, sizeof rec));
    for (int32_t p : {0, 1, 3}) EXPECT_EQ(0u, BlockStore::queued(s.part(p)->hdqdb));
}

TEST(BlksismRouting, HandlesBeyondTheStoreAndBadHashesAreRefused) {
    BlockStore s;
    const uint64_t bad = 0x0480030000000000ull;  // partition 4 of 4
    uint32_t u32 = 0;
    uint64_t u64 = 0;
    const Hash h = make_hash(1, 0x01);
    uint8_t hashbuf[20];
    const std::vector<std::pair<const char *, std::function<int(DB_TXN *)>>> calls = {
        {"hold", [&](DB_TXN *t) { return qnst_sism_hold(s.mgr(), t, bad, 0); }},
        {"hold fsck", [&](DB_TXN *t) { return qnst_sism_hold(s.mgr(), t, bad, 1); }},
        {"rele", [&](DB_TXN *t) { return qnst_sism_rele(s.mgr(), t, bad, &u32); }},
        {"read",
         [&](DB_TXN *t) {
             return qnst_sism_read(s.mgr(), t, bad, &u32, &u32, &u64, &u32, &u32, hashbuf, &u32);
         }},
        {"move", [&](DB_TXN *t) { return qnst_sism_move(s.mgr(), t, bad, 0, 2, 0, &u64); }},
        {"getref", [&](DB_TXN *t) { return qnst_blksism_getref(s.mgr(), t, 0, bad, &u32); }},
        {"setref", [&](DB_TXN *t) { return qnst_blksism_setref(s.mgr(), t, 0, bad, 3); }},
        {"store_idref", [&](DB_TXN *t) { return qnst_sism_store_idref(s.mgr(), t, bad, 0); }},
        {"purge_idref", [&](DB_TXN *t) { return qnst_sism_purge_idref(s.mgr(), t, bad, 0); }},
        {"purge_iddf", [&](DB_TXN *t) { return qnst_sism_purge_iddf(s.mgr(), t, bad); }},
        {"fsckq_put", [&](DB_TXN *t) { return qnst_sism_fsckq_put(s.mgr(), t, bad, 1); }},
        {"stqflush", [&](DB_TXN *t) { return qnst_sism_stqflush(s.mgr(), t, 4, &u32); }},
        {"hdqflush", [&](DB_TXN *t) { return qnst_sism_hdqflush(s.mgr(), t, -1, &u32, 0); }},
        {"padd", [&](DB_TXN *t) { return qnst_sism_compact_padd(s.mgr(), t, 4, 1, 0); }},
        {"refresh", [&](DB_TXN *t) { return qnst_sism_cache_refresh(s.mgr(), t, 4, 1, 0, 2); }},
        {"empty hash",
         [&](DB_TXN *t) { return qnst_sism_lookup(s.mgr(), t, h.data(), 0, 0, &u64); }},
        {"null hash", [&](DB_TXN *t) { return qnst_sism_lookup(s.mgr(), t, nullptr, 20, 0, &u64); }},
    };
    for (const auto &[name, call] : calls) EXPECT_EQ(22, s.txn(call)) << name;
    EXPECT_EQ(22, qnst_sism_compact_init(s.mgr(), 4));
    for (int32_t p = 0; p < 4; ++p) EXPECT_EQ(0u, BlockStore::queued(s.part(p)->hdqdb));
}

TEST(BlksismStore, RefusesWhatItCannotStoreBeforeWritingAnything) {
    for (int64_t csize : {int64_t{0}, 4 * kMiB}) {
        BlockStore s(StoreOptions{.csize = csize, .wmark = 2});
        const Hash h = make_hash(9, 0x01);
        uint64_t handle = 0;
        ASSERT_EQ(0, qnst_sism_gen_handle(s.mgr(), h.data(), h.size(), &handle));
        uint8_t longhash[21] = {0x01};
        const uint64_t wrong_part = (handle & QNST_BLKSISM_LOCAL_MASK) | (2ull << 56);
        struct Case {
            const char *name;
            const void *hash;
            uint32_t len;
            uint64_t handle;
        } cases[] = {
            {"21-byte hash", longhash, 21, handle},
            {"empty hash", h.data(), 0, handle},
            {"handle of another partition", h.data(), 20, wrong_part},
        };
        for (const Case &c : cases) {
            EXPECT_EQ(22, s.txn([&](DB_TXN *t) {
                return qnst_sism_store(s.mgr(), t, c.hash, c.len, 0, 1, 0, 4096, c.handle,
                                       nullptr);
            })) << c.name << " csize " << csize;
        }
        // Nothing was written: no queued record, no location record, no usage.
        EXPECT_EQ(0u, BlockStore::queued(s.part(1)->stqdb));
        uint32_t u32 = 0;
        uint64_t u64 = 0;
        EXPECT_EQ(DB_NOTFOUND, s.txn([&](DB_TXN *t) {
            return qnst_sis_read1(s.part(1), t, handle & QNST_BLKSISM_LOCAL_MASK, &u32, &u32, &u64,
                                  &u32, &u32, nullptr);
        }));
        EXPECT_EQ(0u, s.used(0));
        // The mismatch is the caller's everyday reconcile case: no log line for it.
        const auto lines = s.env().error_lines();
        EXPECT_EQ(2u, lines.size()) << csize;  // the long and the empty hash
    }
}

TEST(BlksismStore, SecondUncachedStoreOfAHashReportsItExistsWithoutALogLine) {
    BlockStore s;
    const Hash h = make_hash(1, 0x03);
    const uint64_t first = s.store(h);
    int rc = 0;
    s.store(h, 0, 4096, 4096, &rc);
    EXPECT_EQ(QNST_HASH_EXISTS, rc);
    EXPECT_EQ(first, s.lookup(h));
    EXPECT_EQ(4096u, s.used(0));
    EXPECT_TRUE(s.env().error_lines().empty());
}

// The road of one new data block, with the cache on (the hash index entry deferred to the store
// queue) and off.
class BlksismRoad : public ::testing::TestWithParam<int64_t> {};

TEST_P(BlksismRoad, NewBlockIsFoundAgainAndCountedOnce) {
    const int64_t csize = GetParam();
    BlockStore s(StoreOptions{.csize = csize, .wmark = csize ? 2 : 1});
    const Hash h = make_hash(42, 0x85);  // partition 1
    EXPECT_EQ(0u, s.lookup(h));
    const uint64_t handle = s.store(h, 5, 8192, 4000);
    EXPECT_EQ(1u, handle >> 56);
    EXPECT_EQ(csize ? 1u : 0u, BlockStore::queued(s.part(1)->stqdb));
    EXPECT_EQ(csize ? 0u : handle, s.lookup(h, 1));  // with the cache on, only its handle finds it
    s.flush_all();
    EXPECT_EQ(handle, s.lookup(h));
    EXPECT_EQ(1u, s.count(handle));
    EXPECT_EQ(1u, s.hist(1));
    uint64_t coff = 0;
    EXPECT_EQ(4000u, s.used(5, &coff));
    EXPECT_EQ(12192u, coff);

    // A second file refers to it: the hold waits in the queue until the flush.
    ASSERT_EQ(0, s.txn([&](DB_TXN *t) { return qnst_sism_hold(s.mgr(), t, handle, 0); }));
    EXPECT_EQ(1u, s.count(handle));
    s.flush_all();
    EXPECT_EQ(2u, s.count(handle));
    EXPECT_EQ(0u, s.hist(1));
    EXPECT_EQ(1u, s.hist(2));

    uint32_t dfid = 0, dfver = 0, length = 0, hashlen = 0, followed = 9;
    uint64_t offset = 0;
    uint8_t hash[20];
    ASSERT_EQ(0, s.txn([&](DB_TXN *t) {
        return qnst_sism_read(s.mgr(), t, handle, &dfid, &dfver, &offset, &length, &hashlen, hash,
                              &followed);
    }));
    EXPECT_EQ(5u, dfid);
    EXPECT_EQ(8192u, offset);
    EXPECT_EQ(4000u, length);
    EXPECT_EQ(0, std::memcmp(hash, h.data(), 20));
    EXPECT_EQ(0u, followed);
    EXPECT_TRUE(s.env().error_lines().empty());
}

INSTANTIATE_TEST_SUITE_P(CacheOffAndOn, BlksismRoad, ::testing::Values(int64_t{0}, 4 * kMiB));

TEST(BlksismLookup, WatermarksDecideBetweenCacheTableAndHashIndex) {
    BlockStore s(StoreOptions{.csize = 4 * kMiB, .wmark = 1});
    const Hash indexed = make_hash(1, 0x01);
    const Hash unknown = make_hash(2, 0x01);
    const uint64_t handle = s.store(indexed);  // watermark 1: indexed at once
    uint32_t hits = 0, misses = 0;

    // Watermark 1 counts the hash index's answers.
    EXPECT_EQ(handle, s.lookup(indexed));
    EXPECT_EQ(0u, s.lookup(unknown));
    ASSERT_EQ(0, qnst_csis_getstats(s.mgr(), &hits, &misses));
    EXPECT_EQ(1u, hits);
    EXPECT_EQ(1u, misses);

    // Watermark 2 asks the cache table; cacheonly stops at its miss.
    ASSERT_EQ(0, qnst_sism_cache_wmupdate(s.mgr(), 2));
    EXPECT_EQ(0u, s.lookup(indexed, 1));
    EXPECT_EQ(handle, s.lookup(indexed, 0));
    ASSERT_EQ(0, qnst_csis_getstats(s.mgr(), &hits, &misses));
    EXPECT_EQ(1u, hits);
    EXPECT_EQ(3u, misses);

    // Watermark 0 counts nothing.
    ASSERT_EQ(0, qnst_sism_cache_wmupdate(s.mgr(), 0));
    EXPECT_EQ(handle, s.lookup(indexed, 1));
    ASSERT_EQ(0, qnst_csis_getstats(s.mgr(), &hits, &misses));
    EXPECT_EQ(1u, hits);
    EXPECT_EQ(3u, misses);
}

TEST(BlksismWholeStore, CacheSizeHistogramAndTableCompaction) {
    BlockStore s(StoreOptions{.nparts = 2, .csize = 200 * kMiB});
    uint32_t entries = 0;
    ASSERT_EQ(0, qnst_sism_csis_size(s.mgr(), &entries));
    EXPECT_EQ(2u * 2068480u, entries);  // 100 MiB per partition in 4096-byte pages

    EXPECT_EQ(0u, s.hist(7));
    s.store(make_hash(1, 0x00));
    s.store(make_hash(1, 0x01));
    EXPECT_EQ(2u, s.hist(1));

    uint32_t freed = 9, truncated = 9;
    EXPECT_EQ(0, qnst_sism_dbcompact(s.mgr(), &freed, &truncated, 0, 2));  // endfile = nparts
    EXPECT_EQ(0u, freed);
    EXPECT_EQ(0u, truncated);
    EXPECT_EQ(0, qnst_sism_dbcompact(s.mgr(), &freed, &truncated, 0, 1));
    EXPECT_TRUE(s.env().error_lines().empty());
}

TEST(BlksismXlat, TranslatedHandlesResolveThroughTheirPartitionsTable) {
    BlockStore s;
    const uint64_t plain = 0x0280030000000000ull;
    uint64_t out = 0;
    EXPECT_EQ(0, qnst_xlat_handle(s.mgr(), nullptr, plain, &out));
    EXPECT_EQ(plain, out);

    // Key 6 lives in partition 6 % 4 = 2 and names block 0x0180030000000000.
    const uint64_t key = 6;
    const uint64_t target = s.store(make_hash(5, 0x01));
    uint8_t kb[8], db[8];
    qnst::store_le64(kb, key);
    qnst::store_le64(db, target);
    DBT k = qnst::user_dbt(kb, 8);
    DBT d = qnst::user_dbt(db, 8);
    DB *xl = s.part(2)->xlatdb;
    ASSERT_EQ(0, xl->put(xl, nullptr, &k, &d, 0));
    const uint64_t translated = key | QNST_BLKSISM_XLAT_BIT;
    EXPECT_EQ(0, qnst_xlat_handle(s.mgr(), nullptr, translated, &out));
    EXPECT_EQ(target, out);

    // A release of the translated handle is queued for the block it names.
    uint32_t count = 1;
    ASSERT_EQ(0, s.txn([&](DB_TXN *t) { return qnst_sism_rele(s.mgr(), t, translated, &count); }));
    EXPECT_EQ(1u, BlockStore::queued(s.part(1)->hdqdb));
    EXPECT_EQ(0u, BlockStore::queued(s.part(2)->hdqdb));

    EXPECT_EQ(DB_NOTFOUND, qnst_xlat_handle(s.mgr(), nullptr, 7 | QNST_BLKSISM_XLAT_BIT, &out));
    // A key read as a negative number has no partition.
    EXPECT_EQ(22, qnst_xlat_handle(s.mgr(), nullptr, 0x8000000000000001ull | QNST_BLKSISM_XLAT_BIT,
                                   &out));
}

TEST(BlksismCompaction, PassFreesUnreferencedBlocksAndSparesOnesHeldMeanwhile) {
    BlockStore s;
    const Hash gone = make_hash(1, 0x01), spared = make_hash(2, 0x01), kept = make_hash(3, 0x01);
    const uint64_t hg = s.store(gone, 0, 0, 1000);
    const uint64_t hs = s.store(spared, 0, 1000, 1000);
    const uint64_t hk = s.store(kept, 0, 2000, 1000);
    for (uint64_t h : {hg, hs}) {
        uint32_t c = 0;
        ASSERT_EQ(0, s.txn([&](DB_TXN *t) { return qnst_sism_rele(s.mgr(), t, h, &c); }));
    }
    s.flush_all();
    EXPECT_EQ(3000u, s.used(0));
    EXPECT_EQ(1u, s.hist(1));

    qnst_sis *part = s.part(1);
    ASSERT_EQ(0, qnst_sism_compact_init(s.mgr(), 1));
    EXPECT_EQ(1u, part->compacting);
    EXPECT_EQ(16, qnst_sism_compact_init(s.mgr(), 1));
    ASSERT_EQ(0, s.txn([&](DB_TXN *t) {
        DBC *c = nullptr;
        uint64_t h = 0;
        uint32_t word = 0, count = 0;
        int rc = qnst_sism_walk_idref(s.mgr(), 1, t, 0, 0, &c, &h, &word, &count);
        while (rc == 0 && h != 0) {
            EXPECT_EQ(1u, h >> 56);
            rc = qnst_sism_compact_padd(s.mgr(), t, 1, h, word);
            if (rc == 0) rc = qnst_sism_next_idref(s.mgr(), 1, c, &h, &word, &count);
        }
        qnst_sism_done(s.mgr(), 1, c);
        return rc;
    }));
    EXPECT_EQ(3u, part->added);
    EXPECT_EQ(0u, s.lookup(gone));  // no new block can be deduplicated against it any more

    // The spared block gains a reference before the purge.
    ASSERT_EQ(0, s.txn([&](DB_TXN *t) { return qnst_sism_hold(s.mgr(), t, hs, 0); }));
    uint32_t tail = 0;
    do {
        ASSERT_EQ(0, s.txn([&](DB_TXN *t) { return qnst_sism_hdqflush(s.mgr(), t, 1, &tail, 1); }));
    } while (tail);

    ASSERT_EQ(0, s.txn([&](DB_TXN *t) {
        DBC *c = nullptr;
        uint64_t h = 0;
        uint32_t word = 0, count = 0;
        int rc = qnst_sism_walk_idref(s.mgr(), 1, t, 0, 1, &c, &h, &word, &count);
        while (rc == 0 && h != 0) {
            rc = qnst_sism_compact_ppurge(s.mgr(), t, 1, h, word);
            if (rc == 0) rc = qnst_sism_next_idref(s.mgr(), 1, c, &h, &word, &count);
        }
        qnst_sism_done(s.mgr(), 1, c);
        return rc;
    }));
    EXPECT_EQ(1u, part->purged);
    ASSERT_EQ(0, qnst_sism_compact_cleanup(s.mgr(), 1));
    EXPECT_EQ(0u, part->compacting);

    uint32_t c = 0;
    EXPECT_EQ(DB_NOTFOUND,
              s.txn([&](DB_TXN *t) { return qnst_blksism_getref(s.mgr(), t, 0, hg, &c); }));
    EXPECT_EQ(1u, s.count(hs));
    EXPECT_EQ(1u, s.count(hk));
    EXPECT_EQ(hk, s.lookup(kept));
    EXPECT_EQ(2000u, s.used(0));
}

TEST(BlksismLifecycle, ReopenKeepsBlocksQueuesAndHistogram) {
    BlockStore s(StoreOptions{.csize = 4 * kMiB, .wmark = 2});
    const Hash h = make_hash(77, 0x02);
    const uint64_t handle = s.store(h);
    ASSERT_EQ(0, s.txn([&](DB_TXN *t) { return qnst_sism_hold(s.mgr(), t, handle, 0); }));
    s.reopen();
    ASSERT_EQ(0, qnst_sism_cache_wmupdate(s.mgr(), 2));
    EXPECT_EQ(1u, BlockStore::queued(s.part(2)->stqdb));
    EXPECT_EQ(1u, BlockStore::queued(s.part(2)->hdqdb));
    s.flush_all();
    EXPECT_EQ(handle, s.lookup(h));
    EXPECT_EQ(2u, s.count(handle));
    EXPECT_EQ(1u, s.hist(2));

    // Check tables open for every partition, once.
    EXPECT_EQ(0, qnst_blksism_open_fsck(s.mgr(), "blk", 1));
    EXPECT_EQ(22, qnst_blksism_open_fsck(s.mgr(), "blk", 0));
    ASSERT_EQ(0, s.txn([&](DB_TXN *t) { return qnst_sism_fsckq_put(s.mgr(), t, handle, 99); }));
    uint64_t got = 0, fset = 0;
    ASSERT_EQ(0, s.txn([&](DB_TXN *t) { return qnst_sism_fsckq_get(s.mgr(), 2, t, &got, &fset); }));
    EXPECT_EQ(handle, got);
    EXPECT_EQ(99u, fset);
    EXPECT_EQ(0, qnst_blksism_close_fsck(s.mgr(), "blk", 1));
}

TEST(BlksismLifecycle, RemoveDeletesEveryPartitionFile) {
    qnst::testing::TempEnv env;
    {
        qnst_dfile dfile{};
        qnst_blksism mgr{};
        ASSERT_EQ(0, qnst_dfile_create(&dfile, env.dbenv(), 8));
        ASSERT_EQ(0, qnst_blksism_create(&mgr, env.dbenv(), &dfile, 3));
        ASSERT_EQ(0, qnst_blksism_open(&mgr, "blk", 1, "", 0));
        qnst_blksism_close(&mgr);
        qnst_dfile_close(&dfile);
    }
    for (const char *f : {"blk_0.db", "blk_1.db", "blk_2.db"})
        EXPECT_TRUE(std::filesystem::exists(env.file(f))) << f;
    EXPECT_EQ(0, qnst_blksism_remove(env.dbenv(), "blk", 4));  // blk_3.db never existed
    for (const char *f : {"blk_0.db", "blk_1.db", "blk_2.db"})
        EXPECT_FALSE(std::filesystem::exists(env.file(f))) << f;
}

}  // namespace
