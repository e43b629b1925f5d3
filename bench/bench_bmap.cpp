// Block-map ingest beside the raw Berkeley DB operations it cannot avoid: entering a new block
// (stored in the block store, then mapped over the previous version's block at that offset) and
// reconciling a known block (looked up, held, mapped over the previous version's block).
#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

#include "qnst_bdb.h"
#include "qnst_bench.hpp"
#include "qnst_blksism.h"
#include "qnst_blksism.hpp"
#include "qnst_bmap.h"
#include "qnst_dfile.h"
#include "qnst_inode.h"
#include "qnst_internal.hpp"
#include "qnst_testing.hpp"

namespace {

using qnst::bench::check;
using qnst::bench::raw_get;
using qnst::bench::raw_put;
using qnst::bench::run_txn;

constexpr int32_t kParts = 4;
constexpr uint32_t kBlock = 4096;
constexpr uint32_t kBlocks = 1024;  // the file's size in blocks: each pass writes a new version
constexpr uint32_t kKnown = 1024;   // hashes stored before the reconcile benchmark
constexpr uint32_t kFolder = 10, kFile = 11;

struct Hash {
    uint8_t b[20];
};

// Distinct hashes whose first byte spreads them over the partitions like real digests.
Hash hash_of(uint64_t n, uint8_t salt) {
    Hash h{};
    uint64_t x = n * 0x9E3779B97F4A7C15ull + salt;
    for (int i = 0; i < 12; ++i) {
        x ^= x >> 29;
        x *= 0xBF58476D1CE4E5B9ull;
        h.b[i] = static_cast<uint8_t>(x >> 56);
    }
    qnst::store_be64(h.b + 12, n);
    h.b[11] = salt;
    return h;
}

// A block store, an inode-table set on it, a folder (the set node) and a file.
struct Fixture {
    qnst::testing::TempEnv env{qnst::testing::EnvOptions{.cache_bytes = 64u << 20}};
    qnst_dfile dfile{};
    qnst_blksism mgr{};
    qnst_itabmrec m{};
    qnst_inoderec folder{}, file{};

    Fixture() {
        check(qnst_dfile_create(&dfile, env.dbenv(), 128), "dfile create");
        check(qnst_dfile_open(&dfile, "dfile.db", 1), "dfile open");
        check(qnst_blksism_create(&mgr, env.dbenv(), &dfile, kParts), "store create");
        check(qnst_blksism_open(&mgr, "blk", 1, "", 0), "store open");
        check(qnst_itabm_create(&m, env.env(), 1, nullptr, &mgr, nullptr, 1), "set create");
        check(qnst_itabm_open(&m, "it", 0, 1), "set open");
        check(qnst_inode_open(&folder, &m, nullptr, kFolder), "folder open");
        check(qnst_inode_init(&folder, 1), "folder init");
        check(qnst_inode_open(&file, &m, &folder, kFile), "file open");
        check(qnst_inode_init(&file, 1), "file init");
        txn([&](DB_TXN *t) {
            return qnst_inode_usage_set(&folder, t, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0);
        });
    }
    ~Fixture() {
        qnst_inode_close(&file);
        qnst_inode_close(&folder);
        qnst_itabm_close(&m);
        qnst_blksism_close(&mgr);
        qnst_dfile_close(&dfile);
    }

    template <typename Body>
    void txn(Body body) {
        run_txn(env.dbenv(), body);
    }

    qnst_sis *part_of(const Hash &h) { return &mgr.parts[(h.b[0] & 0x7F) % kParts]; }
};

// ---- Raw operations of the floors ---------------------------------------------------------

// Read-modify-write of a record of at most 80 bytes under a write lock.
int rmw(DB *db, DB_TXN *t, const void *key, uint32_t klen, uint32_t size) {
    uint8_t buf[80];
    int rc = raw_get(db, t, key, klen, buf, size, DB_RMW);
    if (rc) return rc;
    buf[0] ^= 1;
    return raw_put(db, t, key, klen, buf, size, 0);
}

// The map's part of an ingest: find the newest entry at the offset under a write lock, close it
// (both indexes), write the new entry (both indexes), and charge the folder's usage record.
int raw_map(Fixture &f, DB_TXN *t, uint64_t offset, uint32_t ver, uint64_t handle) {
    DB *db = f.file.own_db;
    qnst::Cursor c;
    int rc = c.open(db, t, 0);
    if (rc) return rc;
    uint8_t kb[13], vb[16];
    kb[0] = '1';
    qnst::store_be64(kb + 1, offset);
    qnst::store_neg_version(kb + 9, QNST_INODE_LIVE);
    DBT k = qnst::user_dbt(kb, 13, 13);
    DBT d = qnst::user_dbt(vb, 0, 16);
    rc = c->get(c.get(), &k, &d, DB_SET_RANGE | DB_RMW);
    if (rc == 0 && qnst::load_be64(kb + 1) == offset) {
        const uint32_t cver = qnst::load_neg_version(kb + 9);
        qnst::store_le32(vb, ver);
        if ((rc = raw_put(db, t, kb, 13, vb, 16, 0))) return rc;
        uint8_t vk[13];
        vk[0] = '0';
        qnst::store_neg_version(vk + 1, cver);
        qnst::store_be64(vk + 5, offset);
        if ((rc = raw_put(db, t, vk, 13, vb, 4, 0))) return rc;
    } else if (rc && rc != DB_NOTFOUND) {
        return rc;
    }
    if ((rc = c.close())) return rc;
    uint8_t ok[13], vk[13], od[16];
    ok[0] = '1';
    qnst::store_be64(ok + 1, offset);
    qnst::store_neg_version(ok + 9, ver);
    vk[0] = '0';
    qnst::store_neg_version(vk + 1, ver);
    qnst::store_be64(vk + 5, offset);
    qnst::store_le32(od, QNST_INODE_LIVE);
    qnst::store_le32(od + 4, kBlock);
    qnst::store_le64(od + 8, handle);
    if ((rc = raw_put(db, t, ok, 13, od, 16, 0)) || (rc = raw_put(db, t, vk, 13, od, 4, 0)))
        return rc;
    uint8_t uk[5];
    qnst::store_le32(uk, kFolder);
    uk[4] = '3';
    return rmw(f.folder.record_db, t, uk, 5, 80);
}

// The block store's part of storing a new block: hash index, location record, reference word,
// histogram bucket and the data file's usage.
int raw_store(Fixture &f, DB_TXN *t, const Hash &h, uint64_t handle) {
    qnst_sis *part = f.part_of(h);
    uint8_t key[8], loc[44], word[4] = {1, 0, 0, 0x80};
    qnst::store_le64(key, handle & QNST_BLKSISM_LOCAL_MASK);
    int rc = raw_put(part->hashdb, t, h.b, 20, key, 8, DB_NOOVERWRITE);
    if (rc) return rc;
    std::memset(loc, 0, sizeof loc);
    std::memcpy(loc + 24, h.b, 20);
    db_recno_t one = 1;
    if ((rc = raw_put(part->dfdb, t, key, 8, loc, 44, DB_NOOVERWRITE)) ||
        (rc = raw_put(part->refdb, t, key, 8, word, 4, DB_NOOVERWRITE)) ||
        (rc = rmw(part->histdb, t, &one, sizeof one, 4)))
        return rc;
    db_recno_t dfrec = 1;  // data file 0
    return rmw(f.dfile.db, t, &dfrec, sizeof dfrec, 32);
}

// The block store's part of reconciling a known block: the hash index read and the queued hold.
int raw_hold(Fixture &f, DB_TXN *t, const Hash &h, uint64_t *handle) {
    qnst_sis *part = f.part_of(h);
    uint8_t data[8];
    int rc = raw_get(part->hashdb, t, h.b, 20, data, sizeof data, 0);
    if (rc) return rc;
    *handle = qnst::load_le64(data);
    uint8_t rec[12];
    qnst::store_le64(rec, *handle);
    qnst::store_le32(rec + 8, 1);
    db_recno_t recno = 0;
    DBT rk = qnst::user_dbt(&recno, 0, sizeof recno);
    DBT rd = qnst::user_dbt(rec, sizeof rec);
    return part->hdqdb->put(part->hdqdb, t, &rk, &rd, DB_APPEND);
}

// Runs one transaction per iteration: body(fixture, txn, n) for iteration n.
template <typename F, typename Body>
void per_iteration(benchmark::State &state, Body body) {
    F f;
    uint64_t n = 0;
    for (auto _ : state) {
        f.txn([&](DB_TXN *t) { return body(f, t, n); });
        ++n;
    }
}

// Iteration n's place in the file: block (n * stride) % kBlocks of version 1 + n / kBlocks, so
// that from the second pass on every write also closes the previous version's entry there.
uint64_t offset_of(uint64_t n, uint64_t stride) { return ((n * stride) % kBlocks) * kBlock; }
uint32_t version_of(uint64_t n) { return static_cast<uint32_t>(1 + n / kBlocks); }

// ---- Enter of a new block -----------------------------------------------------------------

// The new block of iteration n and the handle it is written under.
struct NewBlock {
    Hash h;
    uint64_t handle = 0;
    NewBlock(Fixture &f, uint64_t n) : h(hash_of(n, 1)) {
        check(qnst_sism_gen_handle(&f.mgr, h.b, 20, &handle), "gen_handle");
    }
};

void BM_bmap_enter(benchmark::State &state) {
    per_iteration<Fixture>(state, [](Fixture &f, DB_TXN *t, uint64_t n) {
        const NewBlock b(f, n);
        return qnst_bmap_enter(&f.file, t, offset_of(n, 1), kBlock, version_of(n), b.handle, b.h.b,
                               20, 0, 1, n * kBlock, kBlock);
    });
}

void BM_bmap_enter_floor(benchmark::State &state) {
    per_iteration<Fixture>(state, [](Fixture &f, DB_TXN *t, uint64_t n) {
        const NewBlock b(f, n);
        int rc = raw_store(f, t, b.h, b.handle);
        return rc ? rc : raw_map(f, t, offset_of(n, 1), version_of(n), b.handle);
    });
}

// ---- Reconcile of a known block -----------------------------------------------------------

struct KnownFixture : Fixture {
    std::vector<Hash> hashes;
    KnownFixture() {
        for (uint32_t i = 0; i < kKnown; ++i) {
            hashes.push_back(hash_of(i, 2));
            uint64_t handle = 0;
            check(qnst_sism_gen_handle(&mgr, hashes.back().b, 20, &handle), "gen_handle");
            txn([&](DB_TXN *t) {
                return qnst_sism_store(&mgr, t, hashes.back().b, 20, 0, 1, uint64_t{i} * kBlock,
                                       kBlock, handle, nullptr);
            });
        }
    }
    // The known block of iteration n: a different one at each place from one pass to the next,
    // so that every reconcile replaces an entry.
    const Hash &known(uint64_t n) const { return hashes[(n + n / kBlocks) % kKnown]; }
};

void BM_bmap_reconcile(benchmark::State &state) {
    per_iteration<KnownFixture>(state, [&](KnownFixture &f, DB_TXN *t, uint64_t n) {
        uint64_t handle = 0;
        int rc = qnst_bmap_reconcile(&f.file, t, offset_of(n, 7), kBlock, version_of(n),
                                     f.known(n).b, 20, &handle, 0);
        if (rc == 0 && handle == 0) state.SkipWithError("known hash not found");
        return rc;
    });
}

void BM_bmap_reconcile_floor(benchmark::State &state) {
    per_iteration<KnownFixture>(state, [](KnownFixture &f, DB_TXN *t, uint64_t n) {
        uint64_t handle = 0;
        int rc = raw_hold(f, t, f.known(n), &handle);
        return rc ? rc : raw_map(f, t, offset_of(n, 7), version_of(n), handle);
    });
}

}  // namespace

BENCHMARK(BM_bmap_enter);
BENCHMARK(BM_bmap_enter_floor);
BENCHMARK(BM_bmap_reconcile);
BENCHMARK(BM_bmap_reconcile_floor);
QNST_BENCH_RATIO(BM_bmap_enter, BM_bmap_enter_floor);
QNST_BENCH_RATIO(BM_bmap_reconcile, BM_bmap_reconcile_floor);
