// Blob maps over the blob store beside the raw Berkeley DB operations the paths cannot avoid:
// the upload of new content (reconcile, then commit once the content is written) and the
// reconcile of content the store already holds. Each iteration maps a fresh inode.
#include <stdexcept>
#include <string>
#include <vector>

#include "qnst_bdb.h"
#include "qnst_bench.hpp"
#include "qnst_blobmap.h"
#include "qnst_blobsism.h"
#include "qnst_inode.h"
#include "qnst_internal.hpp"
#include "qnst_itab.h"
#include "qnst_testing.hpp"

namespace {

constexpr int32_t kParts = 4;
constexpr uint32_t kHashLen = 32;
constexpr uint64_t kSize = 1 << 20;
constexpr uint32_t kKnown = 1024;  // blobs stored before the known-content benchmark
constexpr uint32_t kSetNode = 1;
constexpr uint32_t kVer = 1;

struct Hash {
    uint8_t b[kHashLen];
};

// Distinct hashes whose first byte spreads them over the partitions like real digests.
Hash hash_of(uint64_t n, uint8_t salt) {
    Hash h{};
    uint64_t x = n * 0x9E3779B97F4A7C15ull + salt;
    for (uint32_t i = 0; i < kHashLen; ++i) {
        x ^= x >> 29;
        x *= 0xBF58476D1CE4E5B9ull;
        h.b[i] = static_cast<uint8_t>(x >> 56);
    }
    qnst::store_be64(h.b + 20, n);
    h.b[19] = salt;
    return h;
}

using qnst::bench::check;

struct Maps {
    qnst::testing::TempEnv env{qnst::testing::EnvOptions{.cache_bytes = 64u << 20}};
    qnst_blobsism mgr{};
    qnst_itabmrec itabm{};
    qnst_inoderec setnode{};
    qnst_inoderec inode{};
    uint32_t next_ino = 0x100;

    Maps() {
        check(qnst_blobsism_create(&mgr, env.dbenv(), kParts), "blob store create");
        check(qnst_blobsism_open(&mgr, "blob", 0), "blob store open");
        check(qnst_itabm_create(&itabm, env.env(), 1, nullptr, nullptr, &mgr, 1), "itabm create");
        check(qnst_itabm_open(&itabm, "it", 0, 1), "itabm open");
        check(qnst_inode_open(&setnode, &itabm, nullptr, kSetNode), "set node");
        txn([&](DB_TXN *t) {
            return qnst_inode_usage_set(&setnode, t, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0);
        });
    }
    ~Maps() {
        qnst_itabm_close(&itabm);
        qnst_blobsism_close(&mgr);
    }
    DB_ENV *dbenv() { return env.dbenv(); }
    DB *inodes() { return itabm.tables[0].inodes; }

    // The next inode, never mapped before.
    qnst_inoderec *fresh_inode() {
        check(qnst_inode_open(&inode, &itabm, &setnode, next_ino++), "inode open");
        return &inode;
    }

    template <typename Body>
    void txn(Body body) {
        qnst::bench::run_txn(dbenv(), body);
    }

    uint64_t upload(const Hash &h) {
        qnst_inoderec *n = fresh_inode();
        uint32_t stale = 0, upload = 0, isnew = 0;
        uint64_t handle = 0;
        txn([&](DB_TXN *t) {
            return qnst_blobmap_reconcile(n, t, kSize, h.b, kHashLen, kVer, &stale, &upload,
                                          &isnew, &handle);
        });
        if (!isnew) throw std::runtime_error("content was not new");
        txn([&](DB_TXN *t) {
            return qnst_blobmap_commit(n, t, h.b, kHashLen, kSize, kVer, &stale, &handle);
        });
        return handle;
    }
};

// ---- Raw operations of the floors ---------------------------------------------------------

constexpr auto put = qnst::bench::raw_put;

// A get whose miss is expected as often as a hit.
int get(DB *db, DB_TXN *t, const void *key, uint32_t klen, void *data, uint32_t dlen,
        uint32_t flags) {
    const int rc = qnst::bench::raw_get(db, t, key, klen, data, dlen, flags);
    return rc == DB_NOTFOUND ? 0 : rc;
}

void record_key(uint8_t *key, uint32_t ino, char letter) {
    qnst::store_le32(key, ino);
    key[4] = static_cast<uint8_t>(letter);
}

// The set node's usage record: read with a write lock, written back.
int usage_rmw(Maps &m, DB_TXN *t) {
    uint8_t key[5], rec[80];
    record_key(key, kSetNode, '3');
    int rc = get(m.inodes(), t, key, 5, rec, sizeof rec, DB_RMW);
    return rc ? rc : put(m.inodes(), t, key, 5, rec, sizeof rec, 0);
}

// Looking for the inode's current mapping: one positioned cursor read.
int find_current(Maps &m, DB_TXN *t, uint32_t ino) {
    qnst::Cursor c;
    int rc = c.open(m.inodes(), t, 0);
    if (rc) return rc;
    uint8_t key[9], data[20];
    record_key(key, ino, '4');
    qnst::store_neg_version(key + 5, QNST_INODE_LIVE);
    DBT k = qnst::user_dbt(key, 9, 9);
    DBT d = qnst::user_dbt(data, 0, sizeof data);
    rc = c->get(c.get(), &k, &d, DB_SET_RANGE | DB_RMW);
    if (rc == DB_NOTFOUND || rc == DB_BUFFER_SMALL) rc = 0;
    return rc ? rc : c.close();
}

int put_version(Maps &m, DB_TXN *t, uint32_t ino, uint64_t handle) {
    uint8_t key[9], data[20];
    record_key(key, ino, '4');
    qnst::store_neg_version(key + 5, kVer);
    qnst::store_le32(data, QNST_INODE_LIVE);
    qnst::store_le64(data + 4, handle);
    qnst::store_le64(data + 12, kSize);
    return put(m.inodes(), t, key, 9, data, 20, 0);
}

qnst_blobsis *part_of(Maps &m, const Hash &h) { return &m.mgr.parts[(h.b[0] & 0x7F) % kParts]; }

// ---- Upload of new content ----------------------------------------------------------------

void BM_blob_upload_new(benchmark::State &state) {
    Maps m;
    uint64_t n = 0;
    for (auto _ : state) m.upload(hash_of(n++, 1));
}

void BM_blob_upload_new_floor(benchmark::State &state) {
    Maps m;
    uint64_t n = 0;
    for (auto _ : state) {
        const Hash h = hash_of(n++, 1);
        const uint32_t ino = m.next_ino++;
        qnst_blobsis *part = part_of(m, h);
        uint8_t pkey[5], pending[20 + kHashLen], idbuf[8];
        record_key(pkey, ino, '5');
        db_seq_t local = 0;
        // Reconcile: no pending upload, unknown hash, a reserved id, the pending record, usage.
        m.txn([&](DB_TXN *t) {
            int rc = get(m.inodes(), t, pkey, 5, pending, sizeof pending, DB_RMW);
            if (rc == 0) rc = get(part->hash_id, t, h.b, kHashLen, idbuf, 8, DB_RMW);
            if (rc == 0) rc = part->seq->get(part->seq, nullptr, 1, &local, DB_TXN_NOSYNC);
            qnst::store_le64(pending, static_cast<uint64_t>(local));
            qnst::store_le64(pending + 8, kSize);
            qnst::store_le32(pending + 16, kHashLen);
            std::memcpy(pending + 20, h.b, kHashLen);
            if (rc == 0) rc = put(m.inodes(), t, pkey, 5, pending, sizeof pending, DB_NOOVERWRITE);
            return rc ? rc : usage_rmw(m, t);
        });
        // Commit: the pending record, the blob's three records, the mapping, usage.
        m.txn([&](DB_TXN *t) {
            int rc = get(m.inodes(), t, pkey, 5, pending, sizeof pending, DB_RMW);
            uint8_t id[8], count[4] = {1, 0, 0, 0}, info[12 + kHashLen];
            qnst::store_le64(id, static_cast<uint64_t>(local));
            qnst::store_le64(info, kSize);
            qnst::store_le32(info + 8, kHashLen);
            std::memcpy(info + 12, h.b, kHashLen);
            if (rc == 0) rc = put(part->hash_id, t, h.b, kHashLen, id, 8, DB_NOOVERWRITE);
            if (rc == 0) rc = put(part->id_ref, t, id, 8, count, 4, DB_NOOVERWRITE);
            if (rc == 0) rc = put(part->id_info, t, id, 8, info, sizeof info, DB_NOOVERWRITE);
            if (rc == 0) rc = find_current(m, t, ino);
            if (rc == 0) rc = put_version(m, t, ino, static_cast<uint64_t>(local));
            DBT k = qnst::user_dbt(pkey, 5);
            if (rc == 0) rc = m.inodes()->del(m.inodes(), t, &k, 0);
            return rc ? rc : usage_rmw(m, t);
        });
    }
}

// ---- Reconcile of known content -----------------------------------------------------------

struct KnownMaps : Maps {
    std::vector<Hash> hashes;
    std::vector<uint64_t> handles;
    KnownMaps() {
        for (uint32_t i = 0; i < kKnown; ++i) {
            hashes.push_back(hash_of(i, 2));
            handles.push_back(upload(hashes.back()));
        }
    }
};

void BM_blob_reconcile_known(benchmark::State &state) {
    KnownMaps m;
    uint32_t i = 0;
    for (auto _ : state) {
        const Hash &h = m.hashes[i++ % kKnown];
        qnst_inoderec *n = m.fresh_inode();
        uint32_t stale = 0, upload = 1, isnew = 0;
        uint64_t handle = 0;
        m.txn([&](DB_TXN *t) {
            return qnst_blobmap_reconcile(n, t, kSize, h.b, kHashLen, kVer, &stale, &upload,
                                          &isnew, &handle);
        });
        if (upload) state.SkipWithError("known content was not found");
    }
}

void BM_blob_reconcile_known_floor(benchmark::State &state) {
    KnownMaps m;
    uint32_t i = 0;
    for (auto _ : state) {
        const uint32_t k = i++ % kKnown;
        const Hash &h = m.hashes[k];
        const uint32_t ino = m.next_ino++;
        qnst_blobsis *part = part_of(m, h);
        // No pending upload, the hash's id, one more reference, the mapping, usage.
        m.txn([&](DB_TXN *t) {
            uint8_t pkey[5], pending[20 + kHashLen], id[8], count[4];
            record_key(pkey, ino, '5');
            int rc = get(m.inodes(), t, pkey, 5, pending, sizeof pending, DB_RMW);
            if (rc == 0) rc = get(part->hash_id, t, h.b, kHashLen, id, 8, DB_RMW);
            if (rc == 0) rc = get(part->id_ref, t, id, 8, count, 4, DB_RMW);
            qnst::store_le32(count, qnst::load_le32(count) + 1);
            if (rc == 0) rc = put(part->id_ref, t, id, 8, count, 4, 0);
            if (rc == 0) rc = find_current(m, t, ino);
            if (rc == 0) rc = put_version(m, t, ino, m.handles[k]);
            return rc ? rc : usage_rmw(m, t);
        });
    }
}

}  // namespace

BENCHMARK(BM_blob_upload_new);
BENCHMARK(BM_blob_upload_new_floor);
BENCHMARK(BM_blob_reconcile_known);
BENCHMARK(BM_blob_reconcile_known_floor);
QNST_BENCH_RATIO(BM_blob_upload_new, BM_blob_upload_new_floor);
QNST_BENCH_RATIO(BM_blob_reconcile_known, BM_blob_reconcile_known_floor);
