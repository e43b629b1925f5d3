// The cache store: cache table, store queue with its merge into symbolic links, hold/release
// queue, and the cache refresh of one block.
#include <algorithm>

#include "blksism_fixture.hpp"

namespace {

using qnst::testing::BlockStore;
using qnst::testing::Hash;
using qnst::testing::make_hash;
using qnst::testing::StoreOptions;

constexpr int64_t kMiB = 1 << 20;
constexpr int32_t kP = 1;  // every hash below starts with 0x01: partition 1 of 4

// A store with the cache on: new blocks wait in the store queue for their hash-index entry.
StoreOptions cached() { return StoreOptions{.csize = 4 * kMiB, .wmark = 2}; }

int flush_stq(BlockStore &s, uint32_t *tail) {
    return s.txn([&](DB_TXN *t) { return qnst_csis_flushSTQ(s.part(kP), t, tail); });
}

uint64_t local_of(uint64_t handle) { return handle & QNST_BLKSISM_LOCAL_MASK; }

// Matches every error-log line against the expected messages of source qnst/blksis/qnst_csis.
void expect_log(BlockStore &s, const std::vector<std::string> &messages) {
    std::vector<qnst::testing::LogEntry> expected;
    for (const auto &m : messages) expected.push_back({"qnst/blksis/qnst_csis", "error:" + m});
    qnst::testing::expect_log_entries(s.env().error_lines(), expected);
}

TEST(CsisCapacity, EightyPercentOfTheEstimatedEntries) {
    struct {
        int64_t budget;
        uint32_t pagesize;
        uint32_t capacity;
    } cases[] = {
        {100 * kMiB, 4096, 2068480},  // 101 entries per page, 25600 pages
        {4095, 4096, 0},
        {8 * kMiB, 8192, 1024 * 204 * 8 / 10},
        {0, 4096, 0},
    };
    for (const auto &c : cases)
        EXPECT_EQ(c.capacity, qnst_csis_capacity(c.budget, c.pagesize)) << c.budget;
}

TEST(CsisStoreQueue, EmptyQueueEndsThePassWithoutCounting) {
    BlockStore s(cached());
    uint32_t tail = 0;
    EXPECT_EQ(0, flush_stq(s, &tail));
    EXPECT_EQ(0u, tail);
    EXPECT_EQ(0u, s.part(kP)->stq_flushed);
    EXPECT_EQ(0u, s.part(kP)->stq_failures);
    EXPECT_TRUE(s.env().error_lines().empty());
}

TEST(CsisStoreQueue, RecordsAppendedDuringAPassWaitForTheNext) {
    BlockStore s(cached());
    std::vector<uint64_t> handles;
    for (uint32_t i = 0; i < 3; ++i) handles.push_back(s.store(make_hash(i, 0x01)));

    uint32_t tail = 0;
    ASSERT_EQ(0, flush_stq(s, &tail));
    EXPECT_EQ(3u, tail);  // the last record when the pass began
    EXPECT_EQ(handles[0], s.lookup(make_hash(0, 0x01)));
    const uint64_t late = s.store(make_hash(3, 0x01));  // record 4
    ASSERT_EQ(0, flush_stq(s, &tail));
    EXPECT_EQ(3u, tail);
    ASSERT_EQ(0, flush_stq(s, &tail));
    EXPECT_EQ(0u, tail);  // record 3 done: the pass is over although record 4 is queued
    EXPECT_EQ(3u, s.part(kP)->stq_flushed);
    EXPECT_EQ(1u, BlockStore::queued(s.part(kP)->stqdb));
    for (uint32_t i = 0; i < 3; ++i) EXPECT_EQ(handles[i], s.lookup(make_hash(i, 0x01)));
    EXPECT_EQ(0u, s.lookup(make_hash(3, 0x01)));

    ASSERT_EQ(0, flush_stq(s, &tail));  // the next pass
    EXPECT_EQ(0u, tail);
    EXPECT_EQ(late, s.lookup(make_hash(3, 0x01)));
}

TEST(CsisStoreQueue, PassEndsWhenAnotherFlusherTookItsLastRecord) {
    BlockStore s(cached());
    for (uint32_t i = 0; i < 3; ++i) s.store(make_hash(20 + i, 0x01));
    uint32_t mine = 0, other = 0;
    ASSERT_EQ(0, flush_stq(s, &mine));  // record 1; this pass ends at record 3
    EXPECT_EQ(3u, mine);
    ASSERT_EQ(0, flush_stq(s, &other));  // a second flusher takes records 2 and 3
    ASSERT_EQ(0, flush_stq(s, &other));
    EXPECT_EQ(0u, other);
    s.store(make_hash(23, 0x01));  // record 4, appended after both passes began
    ASSERT_EQ(0, flush_stq(s, &mine));
    EXPECT_EQ(0u, mine);  // past its last record: the pass is over
}

TEST(CsisStoreQueue, QueuedDuplicateBecomesALinkAndHandsOverItsReferences) {
    BlockStore s(cached());
    const Hash h = make_hash(7, 0x01);
    // The first copy is indexed at once (watermark 1), the second waits in the queue.
    ASSERT_EQ(0, qnst_sism_cache_wmupdate(s.mgr(), 1));
    const uint64_t first = s.store(h, 0, 0, 3000);
    ASSERT_EQ(0, qnst_sism_cache_wmupdate(s.mgr(), 2));
    const uint64_t dup = s.store(h, 0, 3000, 3000);
    // Two more references to the duplicate arrive before the flush.
    for (int i = 0; i < 2; ++i)
        ASSERT_EQ(0, s.txn([&](DB_TXN *t) { return qnst_sism_hold(s.mgr(), t, dup, 0); }));
    uint32_t tail = 0;
    do {
        ASSERT_EQ(0, s.txn([&](DB_TXN *t) { return qnst_sism_hdqflush(s.mgr(), t, kP, &tail, 0); }));
    } while (tail);
    EXPECT_EQ(3u, s.count(dup));
    EXPECT_EQ(6000u, s.used(0));

    ASSERT_EQ(0, flush_stq(s, &tail));
    EXPECT_EQ(0u, tail);
    // The duplicate's record is a link to the first block, whose count took its 3 references.
    uint32_t dfid = 0, dfver = 9, length = 9, hashlen = 9;
    uint64_t offset = 0;
    ASSERT_EQ(0, s.txn([&](DB_TXN *t) {
        return qnst_sis_read1(s.part(kP), t, local_of(dup), &dfid, &dfver, &offset, &length,
                              &hashlen, nullptr);
    }));
    EXPECT_EQ(QNST_SIS_SYMLINK_DFID, dfid);
    EXPECT_EQ(0u, dfver);
    EXPECT_EQ(local_of(first), offset);
    EXPECT_EQ(0u, length);
    EXPECT_EQ(0u, hashlen);
    EXPECT_EQ(4u, s.count(first));
    EXPECT_EQ(3u, s.count(dup));  // the link keeps counting its own references
    EXPECT_EQ(3000u, s.used(0));  // the duplicate's bytes are garbage now
    EXPECT_EQ(0u, s.hist(1));
    EXPECT_EQ(0u, s.hist(3));
    EXPECT_EQ(1u, s.hist(4));
    EXPECT_EQ(first, s.lookup(h));
    // With 4 references the block reached the watermark: its hash is in the cache table.
    EXPECT_EQ(first, s.lookup(h, 1));
    EXPECT_EQ(1u, s.part(kP)->cached);

    // A release through the link reaches both.
    uint32_t c = 0;
    ASSERT_EQ(0, s.txn([&](DB_TXN *t) { return qnst_sism_rele(s.mgr(), t, dup, &c); }));
    s.flush_all();
    EXPECT_EQ(2u, s.count(dup));
    EXPECT_EQ(3u, s.count(first));
    EXPECT_EQ(1u, s.hist(3));
    EXPECT_TRUE(s.env().error_lines().empty());
}

TEST(CsisStoreQueue, QueuedBlockWithoutReferencesIsDroppedUnindexed) {
    BlockStore s(cached());
    const Hash h = make_hash(8, 0x01);
    const uint64_t handle = s.store(h);
    uint32_t c = 0;
    ASSERT_EQ(0, s.txn([&](DB_TXN *t) { return qnst_sis_rele(s.part(kP), t, local_of(handle), &c); }));
    uint32_t tail = 0;
    ASSERT_EQ(0, flush_stq(s, &tail));
    EXPECT_EQ(0u, BlockStore::queued(s.part(kP)->stqdb));
    uint64_t local = 1;
    ASSERT_EQ(0, s.txn([&](DB_TXN *t) {
        return qnst_sis_lookup(s.part(kP), t, h.data(), h.size(), &local);
    }));
    EXPECT_EQ(0u, local);
    EXPECT_EQ(1u, s.part(kP)->stq_flushed);
}

TEST(CsisStoreQueue, RecordsFlushedTwiceAreReported) {
    BlockStore s(cached());
    const Hash h = make_hash(9, 0x01);
    const uint64_t handle = s.store(h);
    // Indexed by hand before the flush: the queued record finds its own handle.
    ASSERT_EQ(0, s.txn([&](DB_TXN *t) {
        return qnst_sism_store_hashid(s.mgr(), t, handle, h.data(), h.size());
    }));
    uint32_t tail = 0;
    ASSERT_EQ(0, flush_stq(s, &tail));
    expect_log(s, {"Handle already flushed " + std::to_string(local_of(handle))});
    EXPECT_EQ(0u, BlockStore::queued(s.part(kP)->stqdb));

    // A merged duplicate queued again (as after a crash that lost the consumption but not the
    // merge): the hash is handed to the link, which leads to the same data.
    const uint64_t dup = s.store(h);
    ASSERT_EQ(0, flush_stq(s, &tail));
    s.env().mark_log();
    uint8_t rec[32];
    qnst::store_le64(rec, local_of(dup));
    qnst::store_le32(rec + 8, 20);
    std::memcpy(rec + 12, h.data(), 20);
    db_recno_t recno = 0;
    DBT k = qnst::user_dbt(&recno, 0, sizeof recno);
    DBT d = qnst::user_dbt(rec, 32);
    DB *sq = s.part(kP)->stqdb;
    ASSERT_EQ(0, sq->put(sq, nullptr, &k, &d, DB_APPEND));
    tail = 0;
    do ASSERT_EQ(0, flush_stq(s, &tail));
    while (tail);
    expect_log(s, {"Handle " + std::to_string(local_of(handle)) + " is already a symlink"});
    EXPECT_EQ(dup, s.lookup(h));
    uint32_t dfid = 0, dfver = 0, length = 0, hashlen = 0, followed = 0;
    uint64_t offset = 0;
    ASSERT_EQ(0, s.txn([&](DB_TXN *t) {
        return qnst_sism_read(s.mgr(), t, dup, &dfid, &dfver, &offset, &length, &hashlen, nullptr,
                              &followed);
    }));
    EXPECT_EQ(1u, followed);
}

TEST(CsisStoreQueue, DamagedRecordIsReportedAndConsumedWithoutBlockingTheQueue) {
    BlockStore s(cached());
    const Hash stuck = make_hash(10, 0x01), behind = make_hash(11, 0x01);
    const uint64_t first = s.store(stuck);
    const uint64_t second = s.store(behind);
    // Damage the first record's hash length in place: 21 cannot fit the record.
    DB *sq = s.part(kP)->stqdb;
    db_recno_t recno = 1;
    uint8_t rec[32];
    DBT k = qnst::user_dbt(&recno, sizeof recno);
    DBT d = qnst::user_dbt(rec, 0, sizeof rec);
    ASSERT_EQ(0, sq->get(sq, nullptr, &k, &d, 0));
    qnst::store_le32(rec + 8, 21);
    d = qnst::user_dbt(rec, sizeof rec);
    ASSERT_EQ(0, sq->put(sq, nullptr, &k, &d, 0));

    uint32_t tail = 0;
    ASSERT_EQ(0, flush_stq(s, &tail));
    EXPECT_EQ(2u, tail);
    char handle_hex[17];
    std::snprintf(handle_hex, sizeof handle_hex, "%llx",
                  static_cast<unsigned long long>(local_of(first)));
    expect_log(s, {std::string("Damaged store queue record 1: hash length 21, handle 0x") +
                   handle_hex});
    ASSERT_EQ(0, flush_stq(s, &tail));
    EXPECT_EQ(0u, tail);
    EXPECT_EQ(0u, BlockStore::queued(sq));
    EXPECT_EQ(2u, s.part(kP)->stq_flushed);
    EXPECT_EQ(0u, s.part(kP)->stq_failures);
    // The record behind it was indexed; the damaged one's block is still there by its handle.
    EXPECT_EQ(second, s.lookup(behind));
    EXPECT_EQ(0u, s.lookup(stuck));
    EXPECT_EQ(1u, s.count(first));
}

TEST(CsisStoreQueue, ShortReferenceWordOrCacheEntryIsReportedAsDamaged) {
    BlockStore s(cached());
    const Hash h = make_hash(12, 0x01);
    const uint64_t handle = s.store(h);
    // A 2-byte reference word: the flush must not read a count out of it.
    uint8_t key[8], shortrec[2] = {1, 0};
    qnst::store_le64(key, local_of(handle));
    DBT k = qnst::user_dbt(key, sizeof key);
    DBT d = qnst::user_dbt(shortrec, sizeof shortrec);
    DB *ref = s.part(kP)->refdb;
    ASSERT_EQ(0, ref->put(ref, nullptr, &k, &d, 0));
    uint32_t tail = 0;
    EXPECT_EQ(5, flush_stq(s, &tail));
    EXPECT_EQ(1u, s.part(kP)->stq_failures);
    EXPECT_EQ(1u, BlockStore::queued(s.part(kP)->stqdb));

    // A cache entry that is not 8 bytes long is not taken for a handle.
    DB *cache = s.part(kP)->cachedb;
    DBT hk = qnst::user_dbt(const_cast<uint8_t *>(h.data()), h.size());
    ASSERT_EQ(0, cache->put(cache, nullptr, &hk, &d, 0));
    uint64_t local = 9;
    EXPECT_EQ(5, s.txn([&](DB_TXN *t) {
        return qnst_csis_lookup(s.part(kP), t, h.data(), h.size(), &local);
    }));
    EXPECT_EQ(0u, local);
}

TEST(CsisStoreQueue, OverlongHashIsRefusedBeforeAnythingIsQueued) {
    BlockStore s(cached());
    uint8_t longhash[21] = {0x01, 2, 3};
    EXPECT_EQ(22, s.txn([&](DB_TXN *t) {
        return qnst_csis_store(s.part(kP), t, longhash, 21, 0, 1, 0, 4096, 0x0080090000000000ull,
                               nullptr);
    }));
    EXPECT_EQ(0u, BlockStore::queued(s.part(kP)->stqdb));
    EXPECT_EQ(0u, s.used(0));
}

TEST(CsisHoldQueue, CompactorFlushWithoutPurgeListKeepsTheRecord) {
    BlockStore s;
    const uint64_t handle = s.store(make_hash(1, 0x01));
    ASSERT_EQ(0, s.txn([&](DB_TXN *t) { return qnst_sism_hold(s.mgr(), t, handle, 0); }));
    uint32_t tail = 0;
    EXPECT_EQ(22, s.txn([&](DB_TXN *t) { return qnst_sism_hdqflush(s.mgr(), t, kP, &tail, 1); }));
    EXPECT_EQ(1u, s.part(kP)->hdq_failures);
    EXPECT_EQ(1u, BlockStore::queued(s.part(kP)->hdqdb));
    EXPECT_EQ(1u, s.count(handle));
    tail = 0;
    ASSERT_EQ(0, s.txn([&](DB_TXN *t) { return qnst_sism_hdqflush(s.mgr(), t, kP, &tail, 0); }));
    EXPECT_EQ(0u, tail);
    EXPECT_EQ(2u, s.count(handle));
    EXPECT_EQ(1u, s.part(kP)->hdq_flushed);
}

TEST(CsisCacheTable, WithoutBudgetEverythingMissesSilently) {
    BlockStore s(StoreOptions{.csize = 0});
    qnst_sis *part = s.part(kP);
    EXPECT_EQ(nullptr, part->cachedb);
    const Hash h = make_hash(1, 0x01);
    uint64_t local = 5;
    EXPECT_EQ(0, qnst_csis_lookup(part, nullptr, h.data(), 20, &local));
    EXPECT_EQ(0u, local);
    EXPECT_EQ(0, qnst_csis_cache(part, nullptr, h.data(), 20, 9, 3));
    EXPECT_EQ(0, qnst_csis_uncache(part, nullptr, h.data(), 20));
    EXPECT_EQ(0u, part->hits + part->misses + part->cached + part->uncached);
}

TEST(CsisCacheTable, DropRemovesTheFilesAndLeavesTheStoreWorking) {
    BlockStore s(cached());
    const Hash h = make_hash(1, 0x01);
    ASSERT_EQ(0, s.txn([&](DB_TXN *t) {
        return qnst_csis_cache(s.part(kP), t, h.data(), 20, 0x0080030000000000ull, 2);
    }));
    EXPECT_EQ(0x0180030000000000ull, s.lookup(h, 1));
    ASSERT_EQ(0, qnst_csism_drop(s.mgr(), "blk", ""));
    for (int p = 0; p < 4; ++p) {
        EXPECT_EQ(nullptr, s.part(p)->cachedb);
        EXPECT_FALSE(std::filesystem::exists(s.env().file("C_blksis_" + std::to_string(p) + ".db")));
    }
    EXPECT_EQ(0u, s.lookup(h, 1));
    s.reopen();  // recreated empty
    EXPECT_TRUE(std::filesystem::exists(s.env().file("C_blksis_1.db")));
    ASSERT_EQ(0, qnst_sism_cache_wmupdate(s.mgr(), 2));
    EXPECT_EQ(0u, s.lookup(h, 1));
}

TEST(CsisCacheRefresh, WatermarkAndAgeDecideAndLegacyWordsEnterTheHistogram) {
    BlockStore s(cached());
    const int32_t wmark = 3;
    struct Case {
        const char *name;
        uint32_t count;
        uint32_t age;
        bool cached;
    } cases[] = {
        {"above", 4, 100, true},
        {"equal, fresh", 3, 1, true},
        {"equal, stale", 3, 2, false},
        {"below", 2, 0, false},
    };
    const uint32_t today = qnst_sis_today();
    uint32_t id = 0;
    for (const Case &c : cases) {
        const Hash h = make_hash(++id, 0x01);
        const uint64_t handle = s.store(h);
        // Pre-cache the ones that must go, so that the refresh visibly removes them.
        if (!c.cached) {
            ASSERT_EQ(0, s.txn([&](DB_TXN *t) {
                return qnst_csis_cache(s.part(kP), t, h.data(), 20, local_of(handle), 0);
            }));
        }
        const uint32_t word = QNST_SIS_REF_STAMPED |
                              (((today - c.age) & QNST_SIS_REF_DAYMASK) << QNST_SIS_REF_DAYSHIFT) |
                              c.count;
        ASSERT_EQ(0, s.txn([&](DB_TXN *t) {
            return qnst_sism_cache_refresh(s.mgr(), t, kP, handle, word, wmark);
        })) << c.name;
        uint64_t local = 0;
        ASSERT_EQ(0, s.txn([&](DB_TXN *t) {
            return qnst_csis_lookup(s.part(kP), t, h.data(), 20, &local);
        }));
        EXPECT_EQ(c.cached ? local_of(handle) : 0u, local) << c.name;
    }
    EXPECT_EQ(wmark, s.part(kP)->wmark);

    // A legacy word 5 is restamped with the same count and counted in bucket 5.
    const uint64_t legacy = s.store(make_hash(50, 0x01));
    ASSERT_EQ(0, s.txn([&](DB_TXN *t) {
        uint8_t kb[8], db[4];
        qnst::store_le64(kb, local_of(legacy));
        qnst::store_le32(db, 5);
        DBT k = qnst::user_dbt(kb, 8);
        DBT d = qnst::user_dbt(db, 4);
        return s.part(kP)->refdb->put(s.part(kP)->refdb, t, &k, &d, 0);
    }));
    ASSERT_EQ(0, s.txn([&](DB_TXN *t) {
        return qnst_sism_cache_refresh(s.mgr(), t, kP, legacy, 5, wmark);
    }));
    EXPECT_EQ(1u, s.hist(5));
    uint32_t word = 0;
    ASSERT_EQ(0, s.txn([&](DB_TXN *t) {
        DBC *c = nullptr;
        uint64_t h = legacy;
        uint32_t count = 0;
        const int rc = qnst_sism_walk_idref(s.mgr(), kP, t, 0, 0, &c, &h, &word, &count);
        qnst_sism_done(s.mgr(), kP, c);
        return rc;
    }));
    EXPECT_NE(0u, word & QNST_SIS_REF_STAMPED);
    EXPECT_EQ(5u, qnst_sis_ref_count(word));
    EXPECT_EQ(0u, qnst_sis_ref_age(word));
}

}  // namespace

namespace {

// A table whose file cannot be opened is reported with its name rather than a bare code.
TEST(CsisOpen, FailuresNameTheFileThatCouldNotBeOpened) {
    struct Case {
        const char *blocked;  // made a directory, so that the table cannot be opened there
        std::string message;  // expected entry of qnst/blksis/qnst_csis
    } cases[] = {
        {"cC_blksis_0.db", "cC_blksis_0.db c"},
        {"cSQ_blksis_0.db", "-?\\d+ cSQ_blksis_0.db"},
        {"cHQ_blksis_0.db", "-?\\d+ cHQ_blksis_0.db"},
    };
    for (const Case &c : cases) {
        qnst::testing::TempEnv env;
        std::filesystem::create_directory(env.file(c.blocked));
        qnst_dfile dfile{};
        qnst_blksism mgr{};
        ASSERT_EQ(0, qnst_dfile_create(&dfile, env.dbenv(), 8));
        ASSERT_EQ(0, qnst_blksism_create(&mgr, env.dbenv(), &dfile, 1));
        env.mark_log();
        EXPECT_NE(0, qnst_blksism_open(&mgr, "blk", 1, "c", 1 << 20)) << c.blocked;
        EXPECT_EQ(0, qnst_blksism_close(&mgr));
        qnst_dfile_close(&dfile);
        EXPECT_LT(0u, qnst::testing::count_log_entries(
                          env.error_lines(), {"qnst/blksis/qnst_csis", "error:" + c.message}))
            << c.blocked;
    }
}

}  // namespace
