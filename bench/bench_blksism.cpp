// The block store's hot paths beside the raw Berkeley DB operations they cannot avoid: storing a
// new block (uncached, and cached with its later store-queue flush), and looking a known hash up
// through the cache table and through the hash index.
#include <stdexcept>
#include <vector>

#include "qnst_bdb.h"
#include "qnst_bench.hpp"
#include "qnst_blksism.h"
#include "qnst_blksism.hpp"
#include "qnst_dfile.h"
#include "qnst_internal.hpp"
#include "qnst_testing.hpp"

namespace {

constexpr int32_t kParts = 4;
constexpr uint32_t kLength = 4096;
constexpr uint32_t kKnown = 1024;  // hashes stored before a lookup benchmark

struct Hash {
    uint8_t b[20];
};

// Distinct hashes; the first byte spreads them over the partitions like real digests.
Hash hash_of(uint64_t n, uint8_t salt) {
    Hash h{};
    uint64_t x = n * 0x9E3779B97F4A7C15ull + salt;
    for (int i = 0; i < 20; ++i) {
        x ^= x >> 29;
        x *= 0xBF58476D1CE4E5B9ull;
        h.b[i] = static_cast<uint8_t>(x >> 56);
    }
    qnst::store_be64(h.b + 12, n);  // unique whatever the mixing does
    h.b[11] = salt;
    return h;
}

using qnst::bench::check;

struct Store {
    qnst::testing::TempEnv env{qnst::testing::EnvOptions{.cache_bytes = 64u << 20}};
    qnst_dfile dfile{};
    qnst_blksism mgr{};

    Store(int64_t csize, int32_t wmark) {
        check(qnst_dfile_create(&dfile, env.dbenv(), 128), "dfile create");
        check(qnst_dfile_open(&dfile, "dfile.db", 1), "dfile open");
        check(qnst_blksism_create(&mgr, env.dbenv(), &dfile, kParts), "create");
        check(qnst_blksism_open(&mgr, "blk", 1, "", csize), "open");
        check(qnst_sism_cache_wmupdate(&mgr, wmark), "watermark");
    }
    ~Store() {
        qnst_blksism_close(&mgr);
        qnst_dfile_close(&dfile);
    }
    DB_ENV *dbenv() { return env.dbenv(); }

    template <typename Body>
    void txn(Body body) {
        qnst::bench::run_txn(dbenv(), body);
    }

    uint64_t store(const Hash &h, uint64_t offset) {
        uint64_t handle = 0;
        check(qnst_sism_gen_handle(&mgr, h.b, 20, &handle), "gen_handle");
        txn([&](DB_TXN *t) {
            return qnst_sism_store(&mgr, t, h.b, 20, 0, 1, offset, kLength, handle, nullptr);
        });
        return handle;
    }
};

// ---- Raw operations of the floors ---------------------------------------------------------

constexpr auto put = qnst::bench::raw_put;
constexpr auto get = qnst::bench::raw_get;

// Read-modify-write of a fixed-size record (histogram bucket, dfile record).
int rmw(DB *db, DB_TXN *t, db_recno_t recno, uint32_t size) {
    uint8_t buf[32];
    int rc = get(db, t, &recno, sizeof recno, buf, size, DB_RMW);
    if (rc) return rc;
    buf[0] ^= 1;
    return put(db, t, &recno, sizeof recno, buf, size, 0);
}

// What every new block costs: its location record, reference word, histogram bucket and dfile
// usage, in the partition of its hash.
int raw_block_records(qnst_blksism *mgr, DB_TXN *t, const Hash &h, uint64_t local) {
    qnst_sis *part = &mgr->parts[(h.b[0] & 0x7F) % kParts];
    uint8_t key[8], loc[44], word[4] = {1, 0, 0, 0x80};
    qnst::store_le64(key, local);
    std::memset(loc, 0, 24);
    qnst::store_le32(loc + 20, 20);
    std::memcpy(loc + 24, h.b, 20);
    int rc = put(part->dfdb, t, key, 8, loc, 44, DB_NOOVERWRITE);
    if (rc == 0) rc = put(part->refdb, t, key, 8, word, 4, DB_NOOVERWRITE);
    if (rc == 0) rc = rmw(part->histdb, t, 1, 4);
    if (rc == 0) rc = rmw(mgr->dfile->db, t, 1, 32);
    return rc;
}

// ---- Uncached store of a new block --------------------------------------------------------

void BM_store_uncached(benchmark::State &state) {
    Store s(0, 1);
    uint64_t n = 0;
    for (auto _ : state) {
        const Hash h = hash_of(n, 1);
        s.store(h, n * kLength);
        ++n;
    }
}

void BM_store_uncached_floor(benchmark::State &state) {
    Store s(0, 1);
    uint64_t n = 0;
    for (auto _ : state) {
        const Hash h = hash_of(n, 1);
        uint64_t handle = 0;
        check(qnst_sism_gen_handle(&s.mgr, h.b, 20, &handle), "gen_handle");
        const uint64_t local = handle & QNST_BLKSISM_LOCAL_MASK;
        s.txn([&](DB_TXN *t) {
            qnst_sis *part = &s.mgr.parts[handle >> 56];
            uint8_t data[8];
            qnst::store_le64(data, local);
            int rc = put(part->hashdb, t, h.b, 20, data, 8, DB_NOOVERWRITE);
            return rc ? rc : raw_block_records(&s.mgr, t, h, local);
        });
        ++n;
    }
}

// ---- Cached store, with the store-queue flush that later indexes the block ----------------

void BM_store_cached_with_flush(benchmark::State &state) {
    Store s(16 << 20, 2);
    uint64_t n = 0;
    for (auto _ : state) {
        const Hash h = hash_of(n, 2);
        const uint64_t handle = s.store(h, n * kLength);
        uint32_t tail = 0;
        s.txn([&](DB_TXN *t) {
            return qnst_sism_stqflush(&s.mgr, t, static_cast<int32_t>(handle >> 56), &tail);
        });
        ++n;
    }
}

void BM_store_cached_with_flush_floor(benchmark::State &state) {
    Store s(16 << 20, 2);
    uint64_t n = 0;
    for (auto _ : state) {
        const Hash h = hash_of(n, 2);
        uint64_t handle = 0;
        check(qnst_sism_gen_handle(&s.mgr, h.b, 20, &handle), "gen_handle");
        const uint64_t local = handle & QNST_BLKSISM_LOCAL_MASK;
        qnst_sis *part = &s.mgr.parts[handle >> 56];
        uint8_t rec[32];
        qnst::store_le64(rec, local);
        qnst::store_le32(rec + 8, 20);
        std::memcpy(rec + 12, h.b, 20);
        s.txn([&](DB_TXN *t) {
            db_recno_t recno = 0;
            DBT k = qnst::user_dbt(&recno, 0, sizeof recno);
            DBT d = qnst::user_dbt(rec, 32);
            int rc = part->stqdb->put(part->stqdb, t, &k, &d, DB_APPEND);
            return rc ? rc : raw_block_records(&s.mgr, t, h, local);
        });
        // The flush: first queued record, the block's reference word, the index entry, consume.
        s.txn([&](DB_TXN *t) {
            qnst::Cursor c;
            int rc = c.open(part->stqdb, t, DB_READ_COMMITTED);
            if (rc) return rc;
            db_recno_t recno = 0;
            uint8_t buf[32];
            DBT k = qnst::user_dbt(&recno, 0, sizeof recno);
            DBT d = qnst::user_dbt(buf, 0, sizeof buf);
            if ((rc = c->get(c.get(), &k, &d, DB_FIRST)) != 0) return rc;
            uint8_t key[8], word[4], data[8];
            qnst::store_le64(key, local);
            if ((rc = get(part->refdb, t, key, 8, word, 4, DB_RMW)) != 0) return rc;
            qnst::store_le64(data, local);
            if ((rc = put(part->hashdb, t, h.b, 20, data, 8, DB_NOOVERWRITE)) != 0) return rc;
            DBT rk = qnst::user_dbt(&recno, sizeof recno);
            if ((rc = part->stqdb->del(part->stqdb, t, &rk, DB_CONSUME)) != 0) return rc;
            return c.close();
        });
        ++n;
    }
}

// ---- Lookups of known hashes --------------------------------------------------------------

// A store with kKnown blocks; with `cached`, their hashes are in the cache tables and lookups use
// them (watermark 2), otherwise the hash index answers (watermark 1).
struct KnownStore : Store {
    std::vector<Hash> hashes;
    explicit KnownStore(bool cached) : Store(16 << 20, 1) {
        for (uint32_t i = 0; i < kKnown; ++i) {
            hashes.push_back(hash_of(i, 3));
            const uint64_t handle = store(hashes.back(), uint64_t{i} * kLength);
            if (cached) {
                txn([&](DB_TXN *t) {
                    return qnst_csis_cache(&mgr.parts[handle >> 56], t, hashes.back().b, 20,
                                           handle & QNST_BLKSISM_LOCAL_MASK, 2);
                });
            }
        }
        check(qnst_sism_cache_wmupdate(&mgr, cached ? 2 : 1), "watermark");
    }
};

void lookup_bench(benchmark::State &state, bool cached) {
    KnownStore s(cached);
    uint32_t i = 0;
    for (auto _ : state) {
        const Hash &h = s.hashes[i++ % kKnown];
        uint64_t handle = 0;
        s.txn([&](DB_TXN *t) { return qnst_sism_lookup(&s.mgr, t, h.b, 20, 1, &handle); });
        if (handle == 0) state.SkipWithError("known hash not found");
    }
}

void lookup_floor(benchmark::State &state, bool cached) {
    KnownStore s(cached);
    uint32_t i = 0;
    for (auto _ : state) {
        const Hash &h = s.hashes[i++ % kKnown];
        qnst_sis *part = &s.mgr.parts[(h.b[0] & 0x7F) % kParts];
        DB *db = cached ? part->cachedb : part->hashdb;
        uint8_t data[8];
        s.txn([&](DB_TXN *t) { return get(db, t, h.b, 20, data, 8, DB_RMW); });
    }
}

void BM_lookup_cache_hit(benchmark::State &state) { lookup_bench(state, true); }
void BM_lookup_cache_hit_floor(benchmark::State &state) { lookup_floor(state, true); }
void BM_lookup_index_hit(benchmark::State &state) { lookup_bench(state, false); }
void BM_lookup_index_hit_floor(benchmark::State &state) { lookup_floor(state, false); }

}  // namespace

BENCHMARK(BM_store_uncached);
BENCHMARK(BM_store_uncached_floor);
BENCHMARK(BM_store_cached_with_flush);
BENCHMARK(BM_store_cached_with_flush_floor);
BENCHMARK(BM_lookup_cache_hit);
BENCHMARK(BM_lookup_cache_hit_floor);
BENCHMARK(BM_lookup_index_hit);
BENCHMARK(BM_lookup_index_hit_floor);
QNST_BENCH_RATIO(BM_store_uncached, BM_store_uncached_floor);
QNST_BENCH_RATIO(BM_store_cached_with_flush, BM_store_cached_with_flush_floor);
QNST_BENCH_RATIO(BM_lookup_cache_hit, BM_lookup_cache_hit_floor);
QNST_BENCH_RATIO(BM_lookup_index_hit, BM_lookup_index_hit_floor);
