// Blob maps: the two-phase upload, the version history, purge and clear, with the records and
// the usage charges read back.
#include <cstring>

#include "blobmap_fixture.hpp"

namespace {

using namespace qnst::testing;

constexpr const char *kSource = "qnst/blobmap/qnst_blobmap";
constexpr uint32_t kLive = QNST_INODE_LIVE;
const std::string kNotFound = "code " + std::to_string(DB_NOTFOUND);

class BlobMapTest : public ::testing::Test {
protected:
    BlobMaps m;
    qnst_inoderec *a = m.inode(0x21);
    qnst_inoderec *b = m.inode(0x22);

    struct Found {
        int rc;
        BlobMaps::Record r;
    };
    Found lookup(qnst_inoderec *n, uint32_t ver) {
        Found f{};
        f.rc = m.txn([&](DB_TXN *t) {
            return qnst_blobmap_lookup(n, t, ver, &f.r.cver, &f.r.dver, &f.r.handle, &f.r.size);
        });
        return f;
    }
    // Uploads new or known content for `ver` to its end; the handle mapped.
    uint64_t upload(qnst_inoderec *n, const Bytes &h, uint64_t size, uint32_t ver) {
        const Reconciled r = reconcile(m, n, h, size, ver);
        EXPECT_EQ(0, r.rc);
        if (!r.upload) return r.handle;
        const Committed c = commit(m, n, h, size, ver);
        EXPECT_EQ(0, c.rc);
        return c.handle;
    }
    static std::string hx64(uint64_t v) {
        uint8_t b[8];
        qnst::store_le64(b, v);
        return hex(b, 8);
    }
    static std::string hx32(uint32_t v) {
        uint8_t b[4];
        qnst::store_le32(b, v);
        return hex(b, 4);
    }
};

TEST_F(BlobMapTest, NewContentIsReservedThenCommittedAndKnownContentMapsAtOnce) {
    const Bytes h = blob_hash(0x85, 1, 32);
    const Reconciled r = reconcile(m, a, h, 1000, 5);
    ASSERT_EQ(0, r.rc);
    EXPECT_EQ(0u, r.stale);
    EXPECT_EQ(1u, r.upload);
    EXPECT_EQ(1u, r.isnew);
    EXPECT_EQ(1u, r.handle >> 56);  // the hash's partition
    // Pending: reserved handle, size, hash length, hash; nothing stored or mapped yet.
    EXPECT_EQ(hx64(r.handle) + hx64(1000) + hx32(32) + hex(h.data(), 32), m.pending_record(0x21));
    EXPECT_EQ("none", m.version_record(0x21, 5));
    EXPECT_EQ(-1, m.store().count(r.handle));
    EXPECT_EQ((Charged{1000, 1000, 1000}), m.charged());

    // An interrupted upload resumes with the same handle and changes nothing.
    const Reconciled again = reconcile(m, a, h, 1000, 5);
    EXPECT_EQ(r.handle, again.handle);
    EXPECT_EQ(1u, again.upload);
    EXPECT_EQ(0u, again.isnew);
    EXPECT_EQ((Charged{1000, 1000, 1000}), m.charged());

    // The server wrote 600 bytes (compressed): the blob is stored with them, mapped with 1000.
    const Committed c = commit(m, a, h, 600, 5);
    ASSERT_EQ(0, c.rc);
    EXPECT_EQ(0u, c.stale);
    EXPECT_EQ(r.handle, c.handle);
    EXPECT_EQ("none", m.pending_record(0x21));
    // Key 21 00 00 00 '4' fffffffb; data dver, handle, size.
    uint8_t key[9];
    qnst::store_le32(key, 0x21);
    key[4] = '4';
    qnst::store_be32(key + 5, 0u - 5u);
    EXPECT_EQ("2100000034fffffffb", hex(key, 9));
    EXPECT_EQ(hx32(kLive) + hx64(r.handle) + hx64(1000), m.version_record(0x21, 5));
    EXPECT_EQ(1, m.store().count(r.handle));
    EXPECT_EQ((Charged{1000, 600, 600}), m.charged());

    // Known content: mapped at once with a second reference, no upload.
    const Reconciled known = reconcile(m, b, h, 1000, 7);
    ASSERT_EQ(0, known.rc);
    EXPECT_EQ(0u, known.upload);
    EXPECT_EQ(0u, known.isnew);
    EXPECT_EQ(r.handle, known.handle);
    EXPECT_EQ("none", m.pending_record(0x22));
    EXPECT_EQ(hx32(kLive) + hx64(r.handle) + hx64(1000), m.version_record(0x22, 7));
    EXPECT_EQ(2, m.store().count(r.handle));
    EXPECT_EQ((Charged{2000, 600, 600}), m.charged());

    // A commit without a pending upload: 2, not logged.
    EXPECT_EQ(ENOENT, commit(m, b, h, 1000, 7).rc);
    expect_log_lines(m.env(), {});
}

TEST_F(BlobMapTest, AnUploadOfOtherContentIsDroppedAsStale) {
    const Bytes h1 = blob_hash(0x10, 1), h2 = blob_hash(0x11, 2);
    const Reconciled first = reconcile(m, a, h1, 300, 2);
    ASSERT_EQ(1u, first.isnew);
    // Commit of other content changes nothing.
    const Committed c = commit(m, a, h2, 300, 2);
    EXPECT_EQ(0, c.rc);
    EXPECT_EQ(1u, c.stale);
    EXPECT_NE("none", m.pending_record(0x21));
    // Reconcile of other content drops the pending upload and queues its handle.
    const Reconciled stale = reconcile(m, a, h2, 500, 2);
    ASSERT_EQ(0, stale.rc);
    EXPECT_EQ(1u, stale.stale);
    EXPECT_EQ(first.handle, stale.handle);
    EXPECT_EQ("none", m.pending_record(0x21));
    EXPECT_EQ(300, m.queued(first.handle));
    EXPECT_EQ((Charged{0, 0, 300}), m.charged());
    const Reconciled fresh = reconcile(m, a, h2, 500, 2);
    EXPECT_EQ(1u, fresh.isnew);
    EXPECT_NE(first.handle, fresh.handle);
    // Purging the pending upload ends it the same way.
    ASSERT_EQ(0, m.txn([&](DB_TXN *t) { return qnst_blobmap_purge(a, t, kLive, 0); }));
    EXPECT_EQ(500, m.queued(fresh.handle));
    EXPECT_EQ((Charged{0, 0, 800}), m.charged());
    // With nothing pending it charges nothing.
    ASSERT_EQ(0, m.txn([&](DB_TXN *t) { return qnst_blobmap_purge(a, t, kLive, 0); }));
    EXPECT_EQ((Charged{0, 0, 800}), m.charged());
    expect_log_lines(m.env(), {});
}

TEST_F(BlobMapTest, TheSecondCommitOfTheSameNewContentMapsTheFirstBlob) {
    const Bytes h = blob_hash(0x33, 9);
    const Reconciled ra = reconcile(m, a, h, 400, 3), rb = reconcile(m, b, h, 400, 3);
    ASSERT_EQ(1u, ra.isnew);
    ASSERT_EQ(1u, rb.isnew);
    EXPECT_NE(ra.handle, rb.handle);
    ASSERT_EQ(ra.handle, commit(m, a, h, 400, 3).handle);
    const Committed cb = commit(m, b, h, 400, 3);
    ASSERT_EQ(0, cb.rc);
    EXPECT_EQ(ra.handle, cb.handle);
    EXPECT_EQ(2, m.store().count(ra.handle));
    EXPECT_EQ(-1, m.store().count(rb.handle));
    EXPECT_EQ(400, m.queued(rb.handle));
    EXPECT_EQ(hx32(kLive) + hx64(ra.handle) + hx64(400), m.version_record(0x22, 3));
    EXPECT_EQ("none", m.pending_record(0x22));
    // Both reserved 400; one blob of 400 is held.
    EXPECT_EQ((Charged{800, 400, 800}), m.charged());
    expect_log_lines(m.env(), {});
}

TEST_F(BlobMapTest, HistoryAcrossVersions) {
    const Bytes h1 = blob_hash(1, 1), h2 = blob_hash(2, 2), h3 = blob_hash(3, 3);
    const uint64_t b1 = upload(a, h1, 100, 10);
    const uint64_t b2 = upload(a, h2, 200, 20);
    // Replaced in a later version: the old record stays as history, with its reference.
    EXPECT_EQ((BlobMaps::Record{10, 20, b1, 100}), lookup(a, 15).r);
    EXPECT_EQ(1, m.store().count(b1));
    // Replaced twice in one version: one record, the first blob released and freed.
    const uint64_t b3 = upload(a, h3, 300, 30);
    const uint64_t b3again = upload(a, h1, 100, 30);
    EXPECT_EQ(b1, b3again);
    EXPECT_EQ(-1, m.store().count(b3));
    EXPECT_EQ(300, m.queued(b3));
    EXPECT_EQ(2, m.store().count(b1));

    struct Case {
        uint32_t ver;
        int rc;
        BlobMaps::Record r;
    } cases[] = {
        {0, DB_NOTFOUND, {}},  {9, DB_NOTFOUND, {}},          {10, 0, {10, 20, b1, 100}},
        {19, 0, {10, 20, b1, 100}}, {20, 0, {20, 30, b2, 200}}, {30, 0, {30, kLive, b1, 100}},
        {kLive - 1, 0, {30, kLive, b1, 100}},
    };
    for (const Case &c : cases) {
        const Found f = lookup(a, c.ver);
        EXPECT_EQ(c.rc, f.rc) << c.ver;
        if (c.rc == 0) {
            EXPECT_EQ(c.r, f.r) << c.ver;
        }
    }
    expect_log_lines(m.env(), {{kSource, kNotFound}, {kSource, kNotFound}});

    // The walk lists the history in ascending cver, from 0 or from any version.
    const std::vector<BlobMaps::Record> all = {
        {10, 20, b1, 100}, {20, 30, b2, 200}, {30, kLive, b1, 100}};
    EXPECT_EQ(all, m.history(a, 1));
    EXPECT_EQ(all, m.history(a, 9));
    // The key of version 0 sorts before every stored version: a walk from 0 finds nothing.
    EXPECT_EQ(std::vector<BlobMaps::Record>{}, m.history(a, 0));
    EXPECT_EQ(std::vector<BlobMaps::Record>(all.begin() + 1, all.end()), m.history(a, 10));
    EXPECT_EQ(std::vector<BlobMaps::Record>(all.begin() + 1, all.end()), m.history(a, 15));
    EXPECT_EQ(std::vector<BlobMaps::Record>{}, m.history(a, 30));
    EXPECT_EQ(std::vector<BlobMaps::Record>{}, m.history(b, 1));  // another inode's records

    // Cleared in a later version: the current mapping ends there; lookups from then on miss.
    ASSERT_EQ(0, m.txn([&](DB_TXN *t) { return qnst_blobmap_clear(a, t, 40); }));
    EXPECT_EQ((BlobMaps::Record{30, 40, b1, 100}), lookup(a, 39).r);
    EXPECT_EQ(DB_NOTFOUND, lookup(a, 40).rc);
    EXPECT_EQ(2, m.store().count(b1));
    expect_log_lines(m.env(), {{kSource, kNotFound}});

    // Purge with fsck deletes the record and leaves the count to the checker; without, releases.
    ASSERT_EQ(0, m.txn([&](DB_TXN *t) { return qnst_blobmap_purge(a, t, 30, 1); }));
    EXPECT_EQ(2, m.store().count(b1));
    ASSERT_EQ(0, m.txn([&](DB_TXN *t) { return qnst_blobmap_purge(a, t, 10, 0); }));
    EXPECT_EQ(1, m.store().count(b1));
    ASSERT_EQ(0, m.txn([&](DB_TXN *t) { return qnst_blobmap_purge(a, t, 20, 0); }));
    EXPECT_EQ(-1, m.store().count(b2));
    EXPECT_EQ(DB_NOTFOUND, m.txn([&](DB_TXN *t) { return qnst_blobmap_purge(a, t, 20, 0); }));
    expect_log_lines(m.env(), {{kSource, kNotFound}});
    EXPECT_EQ(std::vector<BlobMaps::Record>{}, m.history(a, 1));
}

TEST_F(BlobMapTest, ClearInTheVersionThatMadeTheMappingRemovesIt) {
    const uint64_t h = upload(a, blob_hash(5, 5), 700, 8);
    const Reconciled pending = reconcile(m, a, blob_hash(6, 6), 50, 9);
    ASSERT_EQ(1u, pending.isnew);
    const Charged before = m.charged();
    ASSERT_EQ(0, m.txn([&](DB_TXN *t) { return qnst_blobmap_clear(a, t, 8); }));
    EXPECT_EQ("none", m.version_record(0x21, 8));
    EXPECT_EQ("none", m.pending_record(0x21));
    EXPECT_EQ(-1, m.store().count(h));
    EXPECT_EQ(700, m.queued(h));
    EXPECT_EQ(50, m.queued(pending.handle));
    // closed 700 and psize 50 leave the total; released 700 and psize 50 leave the store.
    EXPECT_EQ((Charged{before[0] - 750, before[1] - 750, before[2]}), m.charged());
}

TEST_F(BlobMapTest, RefusalsWriteNothing) {
    qnst_inoderec *orphan = m.inode(0x23, nullptr);
    const Bytes h = blob_hash(1, 1), h65 = blob_hash(1, 1, 65);
    uint32_t s = 0, u = 0, n = 0;
    uint64_t handle = 0;
    struct Case {
        const char *what;
        std::function<int(DB_TXN *)> call;
    } cases[] = {
        {"no set node", [&](DB_TXN *t) { return qnst_blobmap_reconcile(orphan, t, 1, h.data(), 20, 1, &s, &u, &n, &handle); }},
        {"no transaction", [&](DB_TXN *) { return qnst_blobmap_reconcile(a, nullptr, 1, h.data(), 20, 1, &s, &u, &n, &handle); }},
        {"version 0", [&](DB_TXN *t) { return qnst_blobmap_reconcile(a, t, 1, h.data(), 20, 0, &s, &u, &n, &handle); }},
        {"live version", [&](DB_TXN *t) { return qnst_blobmap_reconcile(a, t, 1, h.data(), 20, kLive, &s, &u, &n, &handle); }},
        {"65-byte hash", [&](DB_TXN *t) { return qnst_blobmap_reconcile(a, t, 1, h65.data(), 65, 1, &s, &u, &n, &handle); }},
        {"empty hash", [&](DB_TXN *t) { return qnst_blobmap_reconcile(a, t, 1, h.data(), 0, 1, &s, &u, &n, &handle); }},
        {"commit 65-byte hash", [&](DB_TXN *t) { return qnst_blobmap_commit(a, t, h65.data(), 65, 1, 1, &s, &handle); }},
        {"clear version 0", [&](DB_TXN *t) { return qnst_blobmap_clear(a, t, 0); }},
        {"purge without set node", [&](DB_TXN *t) { return qnst_blobmap_purge(orphan, t, 1, 0); }},
    };
    for (const Case &c : cases) {
        EXPECT_EQ(EINVAL, m.txn(c.call)) << c.what;
        expect_log_lines(m.env(), {{kSource, "code 22"}});
    }
    EXPECT_EQ(0u, record_count(m.store().part(1)->hash_id));
    EXPECT_EQ("none", m.pending_record(0x21));
    EXPECT_EQ((Charged{0, 0, 0}), m.charged());
}

TEST_F(BlobMapTest, AQuotaRefusalIsLoggedAndTheTransactionUndoesTheUpload) {
    const uint64_t known = upload(a, blob_hash(7, 7), 100, 1);
    qnst_inode_setquota(m.setnode(), 0, 150, 0, 0);
    EXPECT_EQ(QNST_QUOTA_FSTOTAL, reconcile(m, b, blob_hash(7, 7), 100, 1).rc);
    expect_log_lines(m.env(), {{kSource, "code " + std::to_string(QNST_QUOTA_FSTOTAL)}});
    EXPECT_EQ(1, m.store().count(known));
    EXPECT_EQ("none", m.version_record(0x22, 1));
    EXPECT_EQ((Charged{100, 100, 100}), m.charged());
}

}  // namespace
