// Concurrent load on one block store manager: 1, 2, 4 and 8 server threads run mixed
// transactions (look a hash up; hold the block found, or store a new one; release a reference
// taken earlier) while the checkpoint, cache-trickle and deadlock threads run. Every iteration
// commits the same number of transactions, split over the threads, so the time per iteration of
// N threads against that of one thread is the scaling: below 1, N threads commit more per second.
// Commits are synchronous (durable) or not, the server's two ways of committing; the store runs
// with or without its cache tables. The store holds blocks before the load begins, so that
// lookups spread over the hash index as in a server that has run for a while.
#include <atomic>
#include <random>
#include <stdexcept>
#include <string>
#include <thread>
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
constexpr int kTxnsPerIteration = 48;  // divisible by 1, 2, 4 and 8
constexpr int kOpsPerTxn = 4;
constexpr uint32_t kStored = 8192;     // blocks in the store before the load begins
constexpr uint32_t kHashes = 16384;    // hashes of the load: half of them stored already
constexpr uint32_t kDataFiles = 4;     // data files written at once

void check(int rc, const char *what) {
    if (rc) throw std::runtime_error(std::string(what) + " failed: " + std::to_string(rc));
}

struct Hash {
    uint8_t b[20];
};

Hash hash_of(uint32_t n) {
    Hash h{};
    uint64_t x = n * 0x9E3779B97F4A7C15ull + 1;
    for (int i = 0; i < 20; ++i) {
        x ^= x >> 29;
        x *= 0xBF58476D1CE4E5B9ull;
        h.b[i] = static_cast<uint8_t>(x >> 56);
    }
    qnst::store_be32(h.b + 16, n);
    return h;
}

// One manager with the server's maintenance threads running beside the load.
struct Server {
    qnst::testing::TempEnv env{qnst::testing::EnvOptions{.cache_bytes = 64u << 20}};
    qnst_dfile dfile{};
    qnst_blksism mgr{};
    std::vector<std::thread> maintenance;

    explicit Server(int64_t csize) {
        check(qnst_dfile_create(&dfile, env.dbenv(), 128), "dfile create");
        check(qnst_dfile_open(&dfile, "dfile.db", 1), "dfile open");
        check(qnst_blksism_create(&mgr, env.dbenv(), &dfile, kParts), "create");
        check(qnst_blksism_open(&mgr, "blk", 1, "", csize), "open");
        check(qnst_sism_cache_wmupdate(&mgr, csize ? 2 : 1), "watermark");
        prefill();
        qnst_envrec *e = env.env();
        maintenance.emplace_back([e] { qnst_env_checkpointthread(e, 5, ""); });
        maintenance.emplace_back([e] { qnst_env_flushcachethread(e, 20); });
        maintenance.emplace_back([e] { qnst_env_checkdlockthread(e); });
    }
    // A store in use: blocks indexed (the store queues flushed), spread over the hash index's
    // pages, as the load's lookups find them in a server that has run for a while.
    void prefill() {
        constexpr uint32_t kBatch = 128;
        for (uint32_t first = 0; first < kStored; first += kBatch) {
            DB_TXN *t = nullptr;
            check(qnst_txn_begin(env.dbenv(), nullptr, &t), "begin");
            for (uint32_t n = first; n < first + kBatch; ++n) {
                const Hash h = hash_of(n);
                uint64_t handle = 0;
                check(qnst_sism_gen_handle(&mgr, h.b, 20, &handle), "gen_handle");
                check(qnst_sism_store(&mgr, t, h.b, 20, n % kDataFiles, 1, uint64_t{n} * kLength,
                                      kLength, handle, nullptr),
                      "store");
            }
            check(qnst_txn_commit(t, 0), "commit");
        }
        for (int32_t p = 0; p < kParts; ++p) {
            uint32_t tail = 0;
            do {
                DB_TXN *t = nullptr;
                check(qnst_txn_begin(env.dbenv(), nullptr, &t), "begin");
                check(qnst_sism_stqflush(&mgr, t, p, &tail), "flush");
                check(qnst_txn_commit(t, 0), "commit");
            } while (tail != 0);
        }
    }

    ~Server() {
        qnst_env_stopthreads(env.env());
        for (auto &t : maintenance) t.join();
        qnst_blksism_close(&mgr);
        qnst_dfile_close(&dfile);
    }
};

// One server thread: its own random stream and the references it may release.
struct Worker {
    std::mt19937 rng;
    std::vector<uint64_t> held;
    uint64_t deadlocks = 0;

    // Looks a hash up and holds what it finds, else stores it as a new block (or holds the
    // block another transaction stored first).
    int reference(qnst_blksism *mgr, DB_TXN *t, uint32_t n, std::vector<uint64_t> &taken) {
        const Hash h = hash_of(n);
        uint64_t handle = 0;
        int rc = qnst_sism_lookup(mgr, t, h.b, 20, 0, &handle);
        if (rc) return rc;
        if (handle == 0) {
            if ((rc = qnst_sism_gen_handle(mgr, h.b, 20, &handle))) return rc;
            rc = qnst_sism_store(mgr, t, h.b, 20, n % kDataFiles, 1, uint64_t{n} * kLength,
                                 kLength, handle, nullptr);
            if (rc == 0) {
                taken.push_back(handle);
                return 0;
            }
            if (rc != QNST_HASH_EXISTS) return rc;
            if ((rc = qnst_sism_lookup(mgr, t, h.b, 20, 0, &handle))) return rc;
            if (handle == 0) return QNST_RETRY;
        }
        if ((rc = qnst_sism_hold(mgr, t, handle, 0))) return rc;
        taken.push_back(handle);
        return 0;
    }

    void transaction(Server &s, uint32_t sync) {
        std::vector<uint32_t> plan(kOpsPerTxn);
        for (auto &n : plan) n = static_cast<uint32_t>(rng() % kHashes);
        const bool release = held.size() > 8 && rng() % 2 == 0;
        for (;;) {
            std::vector<uint64_t> taken;
            DB_TXN *t = nullptr;
            check(qnst_txn_begin(s.env.dbenv(), nullptr, &t), "begin");
            int rc = 0;
            for (uint32_t n : plan)
                if ((rc = reference(&s.mgr, t, n, taken))) break;
            uint32_t count = 0;
            if (rc == 0 && release) rc = qnst_sism_rele(&s.mgr, t, held.back(), &count);
            if (rc == 0) rc = qnst_txn_commit(t, sync);
            else qnst_txn_abort(t);
            if (rc == 0) {
                if (release) held.pop_back();
                held.insert(held.end(), taken.begin(), taken.end());
                return;
            }
            if (rc != DB_LOCK_DEADLOCK && rc != DB_LOCK_NOTGRANTED && rc != QNST_RETRY)
                check(rc, "transaction");
            ++deadlocks;
        }
    }
};

// Arguments: threads, synchronous commits, cache tables.
void BM_mixed_load(benchmark::State &state) {
    const int threads = static_cast<int>(state.range(0));
    const auto sync = static_cast<uint32_t>(state.range(1));
    Server s(state.range(2) ? 16 << 20 : 0);
    std::vector<Worker> workers(threads);
    for (int i = 0; i < threads; ++i) workers[i].rng.seed(1000 + i);
    for (auto _ : state) {
        std::vector<std::thread> running;
        for (int i = 0; i < threads; ++i)
            running.emplace_back([&, i] {
                for (int k = 0; k < kTxnsPerIteration / threads; ++k) workers[i].transaction(s, sync);
            });
        for (auto &t : running) t.join();
    }
    uint64_t deadlocks = 0;
    for (const auto &w : workers) deadlocks += w.deadlocks;
    state.counters["commits/s"] = benchmark::Counter(
        static_cast<double>(state.iterations()) * kTxnsPerIteration, benchmark::Counter::kIsRate);
    state.counters["retries/commit"] =
        static_cast<double>(deadlocks) / (static_cast<double>(state.iterations()) * kTxnsPerIteration);
}

BENCHMARK(BM_mixed_load)
    ->ArgsProduct({{1, 2, 4, 8}, {0, 1}, {0, 1}})
    ->ArgNames({"threads", "sync", "cache"})
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);
QNST_BENCH_RATIO(BM_mixed_load/threads:2, BM_mixed_load/threads:1);
QNST_BENCH_RATIO(BM_mixed_load/threads:4, BM_mixed_load/threads:1);
QNST_BENCH_RATIO(BM_mixed_load/threads:8, BM_mixed_load/threads:1);

}  // namespace
