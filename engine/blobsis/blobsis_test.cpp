// The blob store partition, reached through its manager's array: ids, references, freeing,
// the compaction queue, walks and the check table, with the records read back raw.
#include <cstring>

#include "blobsis_fixture.hpp"
#include "qnst_blobsis.hpp"

namespace {

using qnst::testing::blob_hash;
using qnst::testing::BlobStore;
using qnst::testing::Bytes;
using qnst::testing::expect_log_lines;
using qnst::testing::hex;
using qnst::testing::kPartSource;
using qnst::testing::raw_hex;
using qnst::testing::raw_hex_id;
using qnst::testing::record_count;
using qnst::testing::TempEnv;

class BlobPartition : public ::testing::Test {
protected:
    TempEnv env;
    BlobStore store{env, 1};
    qnst_blobsis *part = store.part(0);

    int txn(const std::function<int(DB_TXN *)> &body) { return store.txn(body); }
    uint64_t gen() {
        uint64_t id = 0;
        EXPECT_EQ(0, qnst_blob_gen_handle(part, &id));
        return id;
    }
    int store_hold(const Bytes &h, uint64_t size, uint64_t id, uint32_t count = 1) {
        return txn([&](DB_TXN *t) {
            return qnst_blob_store_hold(part, t, h.data(), static_cast<uint32_t>(h.size()), size,
                                        id, count);
        });
    }
    int rele(uint64_t id, uint64_t *released) {
        return txn([&](DB_TXN *t) { return qnst_blob_rele(part, t, id, released); });
    }
    size_t records() {
        return record_count(part->hash_id) + record_count(part->id_ref) +
               record_count(part->id_info) + record_count(part->compactq);
    }
};

TEST_F(BlobPartition, IdsStartAtThreeAndRecordsAreLaidOutLittleEndian) {
    const uint64_t id = gen();
    EXPECT_EQ(3u, id);
    EXPECT_EQ(4u, gen());
    const Bytes h = blob_hash(0x41, 7, 5);
    ASSERT_EQ(0, store_hold(h, 0x0102030405ull, id, 2));

    EXPECT_EQ("0300000000000000", raw_hex(part->hash_id, h.data(), 5));
    EXPECT_EQ("02000000", raw_hex_id(part->id_ref, id));
    EXPECT_EQ("0504030201000000" "05000000" + hex(h.data(), h.size()),
              raw_hex_id(part->id_info, id));
    // The sequence's record lives under the 4-byte key 1.
    const uint8_t seqkey[4] = {1, 0, 0, 0};
    EXPECT_NE("none", raw_hex(part->seq_db, seqkey, 4));

    uint64_t released = 0;
    ASSERT_EQ(0, rele(id, &released));
    ASSERT_EQ(0, rele(id, &released));
    EXPECT_EQ("0504030201000000", raw_hex_id(part->compactq, id));
    expect_log_lines(env, {});
}

TEST_F(BlobPartition, SecondStoreOfAHashChangesNothing) {
    const Bytes h = blob_hash(1, 1);
    const uint64_t id = gen();
    ASSERT_EQ(0, store_hold(h, 100, id));
    const size_t before = records();
    EXPECT_EQ(QNST_HASH_EXISTS, store_hold(h, 200, gen()));
    EXPECT_EQ(before, records());
    EXPECT_EQ("01000000", raw_hex_id(part->id_ref, id));
    // An id already stored under another hash is an error of the caller: logged.
    EXPECT_EQ(DB_KEYEXIST, store_hold(blob_hash(1, 2), 100, id));
    expect_log_lines(env, {{kPartSource, "code " + std::to_string(DB_KEYEXIST)}});
}

TEST_F(BlobPartition, LastReleaseFreesTheBlobAndQueuesItOnce) {
    const Bytes h = blob_hash(1, 3, 64);
    const uint64_t id = gen();
    ASSERT_EQ(0, store_hold(h, 4096, id));
    ASSERT_EQ(0, txn([&](DB_TXN *t) { return qnst_blob_hold(part, t, id, 0); }));
    ASSERT_EQ(0, txn([&](DB_TXN *t) { return qnst_blob_hold(part, t, id, 0); }));
    EXPECT_EQ("03000000", raw_hex_id(part->id_ref, id));

    uint64_t released = 10;
    for (const char *left : {"02000000", "01000000", "none"}) {
        ASSERT_EQ(0, rele(id, &released));
        EXPECT_EQ(left, raw_hex_id(part->id_ref, id));
    }
    EXPECT_EQ(10u + 4096u, released);
    EXPECT_EQ("none", raw_hex_id(part->id_info, id));
    EXPECT_EQ("none", raw_hex(part->hash_id, h.data(), 64));
    EXPECT_EQ("0010000000000000", raw_hex_id(part->compactq, id));

    // The content is unknown now: the same hash gets a new id.
    uint64_t found = 1;
    ASSERT_EQ(0, txn([&](DB_TXN *t) { return qnst_blob_lookup(part, t, h.data(), 64, &found); }));
    EXPECT_EQ(0u, found);
    expect_log_lines(env, {});
}

TEST_F(BlobPartition, ReleasesThatFindNothingToTakeLeaveAMessage) {
    const uint64_t id = gen();
    ASSERT_EQ(0, store_hold(blob_hash(2, 1), 50, id));
    ASSERT_EQ(0, txn([&](DB_TXN *t) { return qnst_blob_setref(part, t, 0, id, 0); }));

    struct Case {
        uint64_t id;
        const char *message;
    } cases[] = {
        {999, "error:qnst_blob_rele: Unable to find id-ref for handle 0x3e7"},
        {id, "error:qnst_blob_rele: Reference count of handle 0x3 is already 0"},
    };
    for (const Case &c : cases) {
        uint64_t released = 0;
        EXPECT_EQ(0, rele(c.id, &released));
        EXPECT_EQ(0u, released);
        expect_log_lines(env, {{kPartSource, c.message}});
    }
    // A zero count stays zero: the blob is neither wrapped to 2^32 - 1 nor freed.
    EXPECT_EQ("00000000", raw_hex_id(part->id_ref, id));
    EXPECT_NE("none", raw_hex_id(part->id_info, id));
    EXPECT_EQ(0u, record_count(part->compactq));
}

TEST_F(BlobPartition, HashesOutsideOneToSixtyFourBytesAreRefusedBeforeAnyWrite) {
    const Bytes h64 = blob_hash(3, 1, 64), h65 = blob_hash(3, 1, 65);
    struct Case {
        const void *hash;
        uint32_t len;
        int expect;
    } cases[] = {{h64.data(), 64, 0}, {h65.data(), 65, EINVAL}, {h64.data(), 0, EINVAL},
                 {nullptr, 20, EINVAL}};
    for (const Case &c : cases) {
        const uint64_t id = gen();
        EXPECT_EQ(c.expect, txn([&](DB_TXN *t) {
                      return qnst_blob_store_hold(part, t, c.hash, c.len, 1, id, 1);
                  })) << c.len;
        uint64_t found = 0;
        EXPECT_EQ(c.expect, txn([&](DB_TXN *t) {
                      return qnst_blob_lookup(part, t, c.hash, c.len, &found);
                  }));
        EXPECT_EQ(c.expect ? 0u : id, found);
        if (c.expect) expect_log_lines(env, {{kPartSource, "code 22"}, {kPartSource, "code 22"}});
    }
    EXPECT_EQ(3u, records());  // the 64-byte blob's three records

    // The 64-byte hash reads back whole.
    uint8_t out[QNST_BLOB_MAX_HASH] = {};
    uint32_t len = 0;
    ASSERT_EQ(0, txn([&](DB_TXN *t) { return qnst_blob_hashread(part, t, 3, &len, out); }));
    EXPECT_EQ(64u, len);
    EXPECT_EQ(0, std::memcmp(out, h64.data(), 64));
}

TEST_F(BlobPartition, UnknownIdsAndDamagedRecords) {
    EXPECT_EQ(DB_NOTFOUND, txn([&](DB_TXN *t) { return qnst_blob_hold(part, t, 77, 0); }));
    uint8_t out[64];
    uint32_t len = 9;
    EXPECT_EQ(DB_NOTFOUND, txn([&](DB_TXN *t) { return qnst_blob_hashread(part, t, 77, &len, out); }));
    EXPECT_EQ(0u, len);
    // An info record whose hash length disagrees with its size is not read as garbage.
    uint8_t key[8], rec[20] = {};
    qnst::store_le64(key, 78);
    qnst::store_le32(rec + 8, 200);
    DBT k = qnst::user_dbt(key, 8), d = qnst::user_dbt(rec, 20);
    ASSERT_EQ(0, part->id_info->put(part->id_info, nullptr, &k, &d, 0));
    EXPECT_EQ(EIO, txn([&](DB_TXN *t) { return qnst_blob_hashread(part, t, 78, &len, out); }));
    // A count at its ceiling is not wrapped to 0 (the next release would free the blob).
    uint64_t full = gen();
    ASSERT_EQ(0, store_hold(blob_hash(9, 1), 10, full, UINT32_MAX));
    EXPECT_EQ(ENOSPC, txn([&](DB_TXN *t) { return qnst_blob_hold(part, t, full, 0); }));
    uint64_t released = 0, found = 0;
    ASSERT_EQ(0, rele(full, &released));
    const Bytes h = blob_hash(9, 1);
    ASSERT_EQ(0, txn([&](DB_TXN *t) {
                  return qnst_blob_lookup(part, t, h.data(), static_cast<uint32_t>(h.size()), &found);
              }));
    EXPECT_EQ(full, found);
    EXPECT_EQ(0u, released);
    const std::string nf = "code " + std::to_string(DB_NOTFOUND);
    expect_log_lines(env, {{kPartSource, nf},
                           {kPartSource, nf},
                           {kPartSource, "code 5"},
                           {kPartSource, "code " + std::to_string(ENOSPC)}});
}

TEST_F(BlobPartition, CompactionQueueReadsTheFirstEntryUntilItIsDeleted) {
    uint64_t id = 1, size = 1;
    ASSERT_EQ(0, txn([&](DB_TXN *t) { return qnst_blob_get_compactq(part, t, &id, &size); }));
    EXPECT_EQ(0u, id);
    ASSERT_EQ(0, txn([&](DB_TXN *t) { return qnst_blob_compactq(part, t, 0x200, 7); }));
    ASSERT_EQ(0, txn([&](DB_TXN *t) { return qnst_blob_compactq(part, t, 0x101, 8); }));
    EXPECT_EQ(DB_KEYEXIST, txn([&](DB_TXN *t) { return qnst_blob_compactq(part, t, 0x200, 9); }));
    expect_log_lines(env, {{kPartSource, "code " + std::to_string(DB_KEYEXIST)}});
    // Little-endian keys: 0x101 (01 01 ...) sorts before 0x200 (00 02 ...) only bytewise.
    for (uint64_t want : {0x200ull, 0x200ull}) {
        ASSERT_EQ(0, txn([&](DB_TXN *t) { return qnst_blob_get_compactq(part, t, &id, &size); }));
        EXPECT_EQ(want, id);
        EXPECT_EQ(7u, size);
    }
    EXPECT_EQ(0, txn([&](DB_TXN *t) { return qnst_blob_del_compactq(part, t, 0x200); }));
    EXPECT_EQ(DB_NOTFOUND, txn([&](DB_TXN *t) { return qnst_blob_del_compactq(part, t, 0x200); }));
    ASSERT_EQ(0, txn([&](DB_TXN *t) { return qnst_blob_get_compactq(part, t, &id, &size); }));
    EXPECT_EQ(0x101u, id);
    expect_log_lines(env, {});  // deletes and queue reads log nothing
}

TEST_F(BlobPartition, WalksVisitEveryTableAndEndWithIdZero) {
    // Empty tables end at once.
    struct Walk {
        const char *name;
        std::function<int(DB_TXN *, DBC **, uint64_t *)> start;
    };
    uint32_t count = 0, hashlen = 0;
    uint64_t size = 0;
    uint8_t hash[64];
    const std::vector<Walk> walks = {
        {"idref", [&](DB_TXN *t, DBC **c, uint64_t *id) {
             return qnst_blob_walk_idref(part, t, 0, c, id, &count);
         }},
        {"idinfo", [&](DB_TXN *t, DBC **c, uint64_t *id) {
             return qnst_blob_walk_idinfo(part, t, c, id, &size, &hashlen, hash);
         }},
        {"hashid", [&](DB_TXN *t, DBC **c, uint64_t *id) {
             hashlen = sizeof hash;
             return qnst_blob_walk_hashid(part, t, c, id, 0, &hashlen, hash);
         }},
    };
    for (const Walk &w : walks) {
        uint64_t id = 5;
        ASSERT_EQ(0, txn([&](DB_TXN *t) {
                      DBC *c = nullptr;
                      int rc = w.start(t, &c, &id);
                      EXPECT_NE(nullptr, c) << w.name;
                      qnst_blob_done(part, c);
                      return rc;
                  })) << w.name;
        EXPECT_EQ(0u, id) << w.name;
    }

    const Bytes a = blob_hash(4, 1, 3), b = blob_hash(4, 2, 40);
    const uint64_t ida = gen(), idb = gen();
    ASSERT_EQ(0, store_hold(a, 11, ida, 1));
    ASSERT_EQ(0, store_hold(b, 22, idb, 5));
    ASSERT_EQ(0, txn([&](DB_TXN *t) {
        DBC *c = nullptr;
        uint64_t id = 0;
        int rc = qnst_blob_walk_idinfo(part, t, &c, &id, &size, &hashlen, hash);
        EXPECT_EQ(ida, id);
        EXPECT_EQ(11u, size);
        EXPECT_EQ(hex(a.data(), 3), hex(hash, hashlen));
        rc = rc ? rc : qnst_blob_next_idinfo(part, c, &id, &size, &hashlen, hash);
        EXPECT_EQ(idb, id);
        EXPECT_EQ(hex(b.data(), 40), hex(hash, hashlen));
        rc = rc ? rc : qnst_blob_next_idinfo(part, c, &id, &size, &hashlen, hash);
        EXPECT_EQ(0u, id);
        qnst_blob_done(part, c);
        // From b's hash on: b only.
        std::memcpy(hash, b.data(), 40);
        hashlen = sizeof hash;
        rc = rc ? rc : qnst_blob_walk_hashid(part, t, &c, &id, 40, &hashlen, hash);
        EXPECT_EQ(idb, id);
        EXPECT_EQ(40u, hashlen);
        hashlen = sizeof hash;
        rc = rc ? rc : qnst_blob_next_hashid(part, c, &id, &hashlen, hash);
        EXPECT_EQ(0u, id);
        qnst_blob_done(part, c);
        // From idb on: idb with its count.
        id = idb;
        rc = rc ? rc : qnst_blob_walk_idref(part, t, 0, &c, &id, &count);
        EXPECT_EQ(idb, id);
        EXPECT_EQ(5u, count);
        qnst_blob_done(part, c);
        return rc;
    }));
    expect_log_lines(env, {});
}

TEST_F(BlobPartition, CheckTableIsRebuiltFromZeroCounts) {
    const std::string file = "blob_0.db";
    const uint64_t id = gen();
    ASSERT_EQ(0, store_hold(blob_hash(5, 1), 10, id, 3));
    // Without the check table open, the check calls are refused.
    EXPECT_EQ(EINVAL, txn([&](DB_TXN *t) { return qnst_blob_hold(part, t, id, 1); }));
    expect_log_lines(env, {{kPartSource, "code 22"}});

    ASSERT_EQ(0, qnst_blobsis_open_fsck(part, file.c_str(), 1));
    EXPECT_EQ(EINVAL, qnst_blobsis_open_fsck(part, file.c_str(), 1));
    expect_log_lines(env, {{kPartSource, "code 22"}});
    ASSERT_EQ(0, txn([&](DB_TXN *t) { return qnst_blob_store_idref(part, t, id, 1); }));
    for (int i = 0; i < 2; ++i)
        ASSERT_EQ(0, txn([&](DB_TXN *t) { return qnst_blob_hold(part, t, id, 1); }));
    uint32_t n = 0;
    ASSERT_EQ(0, txn([&](DB_TXN *t) { return qnst_blob_getref(part, t, 1, id, &n); }));
    EXPECT_EQ(2u, n);
    ASSERT_EQ(0, txn([&](DB_TXN *t) { return qnst_blob_getref(part, t, 0, id, &n); }));
    EXPECT_EQ(3u, n);
    EXPECT_EQ(DB_KEYEXIST, txn([&](DB_TXN *t) { return qnst_blob_store_idref(part, t, id, 1); }));
    env.mark_log();

    // Closed and opened again without a reset the rebuilt counts are kept; a reset empties them.
    qnst_blobsis_close_fsck(part, file.c_str(), 0);
    ASSERT_EQ(0, qnst_blobsis_open_fsck(part, file.c_str(), 0));
    EXPECT_EQ(1u, record_count(part->id_ref_fsck));
    qnst_blobsis_close_fsck(part, nullptr, 0);
    ASSERT_EQ(0, qnst_blobsis_open_fsck(part, file.c_str(), 1));
    EXPECT_EQ(0u, record_count(part->id_ref_fsck));
    // Repair: the live count takes the rebuilt value; then the index and info records go.
    ASSERT_EQ(0, txn([&](DB_TXN *t) { return qnst_blob_setref(part, t, 0, id, 2); }));
    ASSERT_EQ(0, txn([&](DB_TXN *t) { return qnst_blob_purge_idref(part, t, id, 0); }));
    const Bytes h = blob_hash(5, 1);
    ASSERT_EQ(0, txn([&](DB_TXN *t) { return qnst_blob_purge_hashid(part, t, h.data(), 20); }));
    ASSERT_EQ(0, txn([&](DB_TXN *t) { return qnst_blob_purge_idinfo(part, t, id); }));
    EXPECT_EQ(0u, records());
    qnst_blobsis_close_fsck(part, file.c_str(), 1);
    EXPECT_EQ(nullptr, part->id_ref_fsck);
    expect_log_lines(env, {});
}

}  // namespace
