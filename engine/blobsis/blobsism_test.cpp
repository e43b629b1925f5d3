// The blob store manager: routing by hash and by handle, global handles, the compaction queue
// across partitions, scans, and the refusals of what cannot be routed.
#include <filesystem>

#include "blobsis_fixture.hpp"

namespace {

using qnst::testing::blob_hash;
using qnst::testing::BlobStore;
using qnst::testing::Bytes;
using qnst::testing::expect_log_lines;
using qnst::testing::kMgrSource;
using qnst::testing::kPartSource;
using qnst::testing::record_count;
using qnst::testing::TempEnv;

constexpr uint32_t kLen = 20;

class BlobManager : public ::testing::Test {
protected:
    TempEnv env;
    BlobStore store{env, 4};
    qnst_blobsism *mgr = store.mgr();

    int txn(const std::function<int(DB_TXN *)> &body) { return store.txn(body); }
    size_t records(int32_t p) {
        qnst_blobsis *part = store.part(p);
        return record_count(part->hash_id) + record_count(part->id_ref) +
               record_count(part->id_info) + record_count(part->compactq);
    }
    size_t all_records() {
        size_t n = 0;
        for (int32_t p = 0; p < 4; ++p) n += records(p);
        return n;
    }
};

TEST_F(BlobManager, HashesAndHandlesRouteToTheSamePartition) {
    struct Case {
        uint8_t first;
        int32_t part;
    } cases[] = {{0x85, 1}, {0x05, 1}, {0x00, 0}, {0x7F, 3}, {0xFE, 2}, {0x83, 3}};
    for (const Case &c : cases) {
        const Bytes h = blob_hash(c.first, c.first);
        const uint64_t handle = store.store(h, 100);
        EXPECT_EQ(static_cast<uint64_t>(c.part), handle >> 56) << int(c.first);
        EXPECT_NE("none", qnst::testing::raw_hex(store.part(c.part)->hash_id, h.data(), kLen));
        uint64_t found = 0;
        ASSERT_EQ(0, txn([&](DB_TXN *t) { return qnst_mblob_lookup(mgr, t, h.data(), kLen, &found); }));
        EXPECT_EQ(handle, found);
        uint8_t back[64];
        uint32_t len = 0;
        ASSERT_EQ(0, txn([&](DB_TXN *t) { return qnst_mblob_hashread(mgr, t, handle, &len, back); }));
        EXPECT_EQ(Bytes(back, back + len), h);
    }
    // An absent hash gives handle 0, not a handle carrying only its partition.
    uint64_t found = 7;
    const Bytes absent = blob_hash(0x85, 999);
    ASSERT_EQ(0, txn([&](DB_TXN *t) { return qnst_mblob_lookup(mgr, t, absent.data(), kLen, &found); }));
    EXPECT_EQ(0u, found);
    expect_log_lines(env, {});
}

TEST_F(BlobManager, StoreWithAHandleOfAnotherPartitionWritesNothing) {
    const Bytes h = blob_hash(0x85, 1), other = blob_hash(0x02, 1);
    uint64_t foreign = 0;
    ASSERT_EQ(0, qnst_mblob_gen_handle(mgr, other.data(), kLen, &foreign));
    EXPECT_EQ(2u, foreign >> 56);
    EXPECT_EQ(EINVAL, txn([&](DB_TXN *t) { return qnst_mblob_store(mgr, t, h.data(), kLen, 1, foreign); }));
    EXPECT_EQ(EINVAL, txn([&](DB_TXN *t) {
                  return qnst_blobsism_store_hashid(mgr, t, foreign, h.data(), kLen);
              }));
    EXPECT_EQ(0u, all_records());
    expect_log_lines(env, {});  // a mismatch is the caller's race to settle, not logged
}

TEST_F(BlobManager, HashesThatCannotBeStoredAreRefusedBeforeAnyPartition) {
    const Bytes h65 = blob_hash(0x85, 1, 65), h64 = blob_hash(0x85, 1, 64);
    uint64_t out = 0;
    const uint64_t handle = 0x0100000000000003ull;
    struct Case {
        const void *hash;
        uint32_t len;
    } cases[] = {{h65.data(), 65}, {h64.data(), 0}, {nullptr, 20}};
    const std::vector<std::function<int(DB_TXN *, const Case &)>> calls = {
        [&](DB_TXN *, const Case &c) { return qnst_mblob_gen_handle(mgr, c.hash, c.len, &out); },
        [&](DB_TXN *t, const Case &c) { return qnst_mblob_store(mgr, t, c.hash, c.len, 1, handle); },
        [&](DB_TXN *t, const Case &c) { return qnst_mblob_lookup(mgr, t, c.hash, c.len, &out); },
        [&](DB_TXN *t, const Case &c) {
            return qnst_blobsism_store_hashid(mgr, t, handle, c.hash, c.len);
        },
        [&](DB_TXN *t, const Case &c) { return qnst_blobsism_purge_hashid(mgr, t, c.hash, c.len); },
    };
    for (const Case &c : cases) {
        for (size_t i = 0; i < calls.size(); ++i) {
            EXPECT_EQ(EINVAL, txn([&](DB_TXN *t) { return calls[i](t, c); }))
                << "call " << i << " length " << c.len;
            expect_log_lines(env, {{kMgrSource, "code 22"}});
        }
    }
    EXPECT_EQ(0u, all_records());
    // No id was taken either: the first one is still 3.
    ASSERT_EQ(0, qnst_mblob_gen_handle(mgr, h64.data(), 64, &out));
    EXPECT_EQ(handle, out);
}

TEST_F(BlobManager, HandlesBeyondThePartitionsAreRefusedBeforeAnyPartition) {
    const uint64_t real = store.store(blob_hash(1, 1), 10);
    const size_t before = all_records();
    uint64_t released = 0, u64 = 0;
    uint32_t u32 = 0;
    uint8_t buf[64];
    DBC *cursor = nullptr;
    const std::vector<std::function<int(DB_TXN *, uint64_t)>> calls = {
        [&](DB_TXN *t, uint64_t h) { return qnst_mblob_hold(mgr, t, h, 0); },
        [&](DB_TXN *t, uint64_t h) { return qnst_mblob_rele(mgr, t, h, &released); },
        [&](DB_TXN *t, uint64_t h) { return qnst_mblob_compactq(mgr, t, h, 1); },
        [&](DB_TXN *t, uint64_t h) { return qnst_mblob_del_compactq(mgr, t, h); },
        [&](DB_TXN *t, uint64_t h) { return qnst_mblob_hashread(mgr, t, h, &u32, buf); },
        [&](DB_TXN *t, uint64_t h) { return qnst_mblob_getref(mgr, t, 0, h, &u32); },
        [&](DB_TXN *t, uint64_t h) { return qnst_mblob_setref(mgr, t, 0, h, 9); },
        [&](DB_TXN *t, uint64_t h) { return qnst_blobsism_store_idref(mgr, t, h, 0); },
        [&](DB_TXN *t, uint64_t h) { return qnst_blobsism_purge_idref(mgr, t, h, 0); },
        [&](DB_TXN *t, uint64_t h) { return qnst_blobsism_purge_idinfo(mgr, t, h); },
        [&](DB_TXN *t, uint64_t h) {
            return qnst_blobsism_walk_idref(mgr, static_cast<int32_t>(h >> 56), t, 0, &cursor, &u64, &u32);
        },
    };
    const uint64_t local = real & QNST_BLOBSISM_LOCAL_MASK;
    for (uint64_t top : {4ull, 0x7Full, 0x80ull, 0xFFull}) {
        for (size_t i = 0; i < calls.size(); ++i) {
            EXPECT_EQ(EINVAL, txn([&](DB_TXN *t) { return calls[i](t, local | (top << 56)); }))
                << "call " << i << " top byte " << top;
            expect_log_lines(env, {{kMgrSource, "code 22"}});
        }
    }
    EXPECT_EQ(before, all_records());
    EXPECT_EQ(1, store.count(real));
}

TEST_F(BlobManager, CompactionQueueIsDrainedPartitionByPartition) {
    // Every queue empty: handle 0 after asking each partition, and every cursor opened on the
    // way closed again, on this path and on the paths that find an entry.
    auto open_cursors = [&] {
        size_t n = 0;
        for (int32_t p = 0; p < 4; ++p) n += qnst::testing::active_cursors(store.part(p)->compactq);
        return n;
    };
    uint64_t handle = 5, size = 5;
    ASSERT_EQ(0, txn([&](DB_TXN *t) {
        const int rc = qnst_mblob_get_compactq(mgr, t, &handle, &size);
        EXPECT_EQ(0u, open_cursors());
        return rc;
    }));
    EXPECT_EQ(0u, handle);

    const uint64_t in2[] = {(2ull << 56) | 0x103, (2ull << 56) | 0x203};
    const uint64_t in3 = (3ull << 56) | 0x303;
    for (uint64_t h : {in2[0], in2[1], in3})
        ASSERT_EQ(0, txn([&](DB_TXN *t) { return qnst_mblob_compactq(mgr, t, h, h & 0xFFF); }));

    // A read without a delete keeps returning the same entry; with deletes partition 2 drains
    // first (its entries carry top byte 0x02), then partition 3, then nothing is left.
    std::vector<uint64_t> seen;
    for (int i = 0; i < 4; ++i) {
        ASSERT_EQ(0, txn([&](DB_TXN *t) {
            uint64_t again = 0, s2 = 0;
            int rc = qnst_mblob_get_compactq(mgr, t, &handle, &size);
            if (rc == 0 && handle) rc = qnst_mblob_get_compactq(mgr, t, &again, &s2);
            EXPECT_EQ(0u, open_cursors());
            EXPECT_EQ(handle ? handle : 0, again);
            if (rc == 0 && handle) rc = qnst_mblob_del_compactq(mgr, t, handle);
            return rc;
        }));
        if (handle) {
            EXPECT_EQ(handle & 0xFFF, size);
            seen.push_back(handle);
        }
    }
    ASSERT_EQ(3u, seen.size());
    EXPECT_EQ(2u, seen[0] >> 56);
    EXPECT_EQ(2u, seen[1] >> 56);
    EXPECT_EQ(in3, seen[2]);
    EXPECT_EQ(0u, handle);
    expect_log_lines(env, {});
}

TEST_F(BlobManager, TheSharedQueueIndexLeftBeyondASmallerStoreStartsItAtZero) {
    // A store of 8 partitions leaves the process-wide index on partition 6.
    TempEnv other_env;
    BlobStore big(other_env, 8);
    const uint64_t in6 = (6ull << 56) | 0x77;
    uint64_t handle = 0, size = 0;
    ASSERT_EQ(0, big.txn([&](DB_TXN *t) { return qnst_mblob_compactq(big.mgr(), t, in6, 1); }));
    ASSERT_EQ(0, big.txn([&](DB_TXN *t) { return qnst_mblob_get_compactq(big.mgr(), t, &handle, &size); }));
    ASSERT_EQ(in6, handle);
    // This store has 4: its scan starts at 0 and finds the entry of partition 3.
    const uint64_t in3 = (3ull << 56) | 0x33;
    ASSERT_EQ(0, txn([&](DB_TXN *t) { return qnst_mblob_compactq(mgr, t, in3, 2); }));
    ASSERT_EQ(0, txn([&](DB_TXN *t) { return qnst_mblob_get_compactq(mgr, t, &handle, &size); }));
    EXPECT_EQ(in3, handle);
    EXPECT_EQ(2u, size);
}

TEST_F(BlobManager, ScansCarryThePartitionInTheirHandles) {
    // An empty partition ends at once.
    ASSERT_EQ(0, txn([&](DB_TXN *t) {
        DBC *c = nullptr;
        uint64_t h = 0x0300000000000009ull;
        uint32_t n = 0;
        int rc = qnst_blobsism_walk_idref(mgr, 3, t, 0, &c, &h, &n);
        EXPECT_EQ(0u, h);
        qnst_blobsism_done(mgr, 3, c);
        return rc;
    }));
    const Bytes a = blob_hash(0x03, 1), b = blob_hash(0x07, 2);
    const uint64_t ha = store.store(a, 10), hb = store.store(b, 20);
    std::vector<uint64_t> idref, idinfo, hashid;
    ASSERT_EQ(0, txn([&](DB_TXN *t) {
        DBC *c = nullptr;
        uint64_t h = 0xAB00000000000000ull;  // the start's top byte is ignored
        uint32_t n = 0, len = 0;
        uint64_t size = 0;
        uint8_t hash[64];
        int rc = qnst_blobsism_walk_idref(mgr, 3, t, 0, &c, &h, &n);
        while (rc == 0 && h) {
            idref.push_back(h);
            rc = qnst_blobsism_next_idref(mgr, 3, c, &h, &n);
        }
        qnst_blobsism_done(mgr, 3, c);
        h = 0;
        rc = rc ? rc : qnst_blobsism_walk_idinfo(mgr, 3, t, &c, &h, &size, &len, hash);
        while (rc == 0 && h) {
            idinfo.push_back(h);
            rc = qnst_blobsism_next_idinfo(mgr, 3, c, &h, &size, &len, hash);
        }
        qnst_blobsism_done(mgr, 3, c);
        len = sizeof hash;
        rc = rc ? rc : qnst_blobsism_walk_hashid(mgr, 3, t, &c, &h, 0, &len, hash);
        while (rc == 0 && h) {
            hashid.push_back(h);
            len = sizeof hash;
            rc = qnst_blobsism_next_hashid(mgr, 3, c, &h, &len, hash);
        }
        qnst_blobsism_done(mgr, 3, c);
        return rc;
    }));
    const std::vector<uint64_t> both = {ha, hb};
    EXPECT_EQ(both, idref);
    EXPECT_EQ(both, idinfo);
    EXPECT_EQ(both, hashid);
    EXPECT_EQ(3u, ha >> 56);
    EXPECT_EQ(EINVAL, qnst_blobsism_done(mgr, 4, nullptr));
}

TEST_F(BlobManager, RepairThroughTheCheckTables) {
    const Bytes h = blob_hash(0x21, 1);
    const uint64_t handle = store.store(h, 10);
    ASSERT_EQ(0, txn([&](DB_TXN *t) { return qnst_mblob_hold(mgr, t, handle, 0); }));
    ASSERT_EQ(0, qnst_blobsism_open_fsck(mgr, "blob", 1));
    ASSERT_EQ(0, txn([&](DB_TXN *t) {
        int rc = qnst_blobsism_store_idref(mgr, t, handle, 1);
        return rc ? rc : qnst_mblob_hold(mgr, t, handle, 1);
    }));
    uint32_t rebuilt = 0;
    ASSERT_EQ(0, txn([&](DB_TXN *t) { return qnst_mblob_getref(mgr, t, 1, handle, &rebuilt); }));
    EXPECT_EQ(1u, rebuilt);
    ASSERT_EQ(0, txn([&](DB_TXN *t) { return qnst_mblob_setref(mgr, t, 0, handle, rebuilt); }));
    EXPECT_EQ(1, store.count(handle));
    EXPECT_EQ(EINVAL, qnst_blobsism_open_fsck(mgr, "blob", 0));
    expect_log_lines(env, {{kPartSource, "code 22"}, {kMgrSource, "code 22"}});
    EXPECT_EQ(0, qnst_blobsism_close_fsck(mgr, "blob", 1));
    for (int32_t p = 0; p < 4; ++p) EXPECT_EQ(nullptr, store.part(p)->id_ref_fsck);

    // A failure inside a partition is logged once per layer.
    EXPECT_EQ(DB_NOTFOUND, txn([&](DB_TXN *t) { return qnst_blobsism_purge_hashid(mgr, t, blob_hash(0x21, 2).data(), kLen); }));
    const std::string nf = "code " + std::to_string(DB_NOTFOUND);
    expect_log_lines(env, {{kPartSource, nf}, {kMgrSource, nf}});
    ASSERT_EQ(0, txn([&](DB_TXN *t) { return qnst_blobsism_purge_hashid(mgr, t, h.data(), kLen); }));
    ASSERT_EQ(0, txn([&](DB_TXN *t) { return qnst_blobsism_store_hashid(mgr, t, handle, h.data(), kLen); }));
    uint64_t found = 0;
    ASSERT_EQ(0, txn([&](DB_TXN *t) { return qnst_mblob_lookup(mgr, t, h.data(), kLen, &found); }));
    EXPECT_EQ(handle, found);
}

void *no_memory(size_t, size_t) { return nullptr; }

TEST(BlobManagerLifecycle, CreateOpenRemoveAndTheirRefusals) {
    TempEnv env;
    qnst_blobsism mgr{};
    // Partition counts that cannot be routed, and an allocation failure: nothing is left behind.
    for (int32_t count : {0, -1, 257}) {
        EXPECT_EQ(EINVAL, qnst_blobsism_create(&mgr, env.dbenv(), count)) << count;
        EXPECT_EQ(nullptr, mgr.parts);
    }
    const auto saved = qnst::blobsism::parts_alloc;
    qnst::blobsism::parts_alloc = no_memory;
    EXPECT_EQ(ENOMEM, qnst_blobsism_create(&mgr, env.dbenv(), 4));
    qnst::blobsism::parts_alloc = saved;
    EXPECT_EQ(nullptr, mgr.parts);
    EXPECT_EQ(0, qnst_blobsism_close(&mgr));
    EXPECT_EQ(EINVAL, qnst_blobsism_open(&mgr, "blob", 0));
    expect_log_lines(env, {{kMgrSource, "code 22"}, {kMgrSource, "code 22"},
                           {kMgrSource, "code 22"}, {kMgrSource, "code 12"},
                           {kMgrSource, "code 22"}});

    // Seventeen partitions: file names in lower-case hex without padding.
    ASSERT_EQ(0, qnst_blobsism_create(&mgr, env.dbenv(), 17));
    ASSERT_EQ(0, qnst_blobsism_open(&mgr, "store", 0));
    qnst_blobsism_close(&mgr);
    EXPECT_EQ(nullptr, mgr.parts);
    namespace fs = std::filesystem;
    for (const char *name : {"store_0.db", "store_f.db", "store_10.db"})
        EXPECT_TRUE(fs::exists(env.home() / name)) << name;
    // Reopened, a partition continues its sequence after the ids it had cached.
    ASSERT_EQ(0, qnst_blobsism_create(&mgr, env.dbenv(), 17));
    ASSERT_EQ(0, qnst_blobsism_open(&mgr, "store", 0));
    uint64_t handle = 0;
    const Bytes h = blob_hash(0, 1);
    ASSERT_EQ(0, qnst_mblob_gen_handle(&mgr, h.data(), kLen, &handle));
    EXPECT_EQ(3u, handle);
    qnst_blobsism_close(&mgr);
    ASSERT_EQ(0, qnst_blobsism_create(&mgr, env.dbenv(), 17));
    ASSERT_EQ(0, qnst_blobsism_open(&mgr, "store", 0));
    ASSERT_EQ(0, qnst_mblob_gen_handle(&mgr, h.data(), kLen, &handle));
    EXPECT_EQ(3u + QNST_BLOB_SEQ_CACHE, handle);
    qnst_blobsism_close(&mgr);

    // Missing files are skipped by remove.
    fs::remove(env.home() / "store_3.db");
    EXPECT_EQ(0, qnst_blobsism_remove(env.dbenv(), "store", 17));
    EXPECT_FALSE(fs::exists(env.home() / "store_0.db"));
    EXPECT_FALSE(fs::exists(env.home() / "store_10.db"));
    expect_log_lines(env, {});
}

}  // namespace
