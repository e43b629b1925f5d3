// Several server threads storing, holding and releasing an overlapping set of blocks through the
// manager, each operation in a transaction of its own, while the deadlock detector runs. After
// the queues are flushed the store must agree with what the committed transactions did.
#include <algorithm>
#include <atomic>
#include <barrier>
#include <map>
#include <mutex>
#include <random>
#include <set>
#include <thread>

#include "blksism_fixture.hpp"

namespace {

using qnst::testing::BlockStore;
using qnst::testing::Hash;
using qnst::testing::make_hash;
using qnst::testing::StoreOptions;

#if defined(__SANITIZE_THREAD__)
constexpr int kTxnsPerThread = 50;
#else
constexpr int kTxnsPerThread = 150;
#endif
constexpr int kThreads = 4;
constexpr uint32_t kHashes = 24;
constexpr uint32_t kLength = 1000;

// Transactions run and attempts made (a retried transaction makes several).
std::atomic<int> g_attempts{0}, g_transactions{0};
Hash hash_no(uint32_t k) { return make_hash(k, static_cast<uint8_t>(k * 37)); }

// What one thread's committed transactions did.
struct Ledger {
    std::map<uint64_t, int64_t> net;         // references taken minus released, per handle
    std::map<uint64_t, uint32_t> hash_of;    // handle -> hash number, for blocks it stored
    std::vector<uint64_t> held;              // references it may still release
};

// One operation of a server transaction: reference a hash (look it up; hold what is found, else
// store a new block, and when another transaction stored it first, hold that one), or release a
// reference the thread holds.
struct Op {
    bool release = false;
    uint32_t hash = 0;    // referenced hash number
    uint64_t handle = 0;  // released handle; the referenced one once done
    uint32_t dfid = 0;    // data file of a new block: the thread's own
    bool stored = false;
};

int run_op(qnst_blksism *mgr, DB_TXN *t, Op &op) {
    if (op.release) {
        uint32_t count = 0;
        return qnst_sism_rele(mgr, t, op.handle, &count);
    }
    const Hash h = hash_no(op.hash);
    op.stored = false;
    int r = qnst_sism_lookup(mgr, t, h.data(), h.size(), 0, &op.handle);
    if (r) return r;
    if (op.handle == 0) {
        r = qnst_sism_gen_handle(mgr, h.data(), h.size(), &op.handle);
        if (r) return r;
        r = qnst_sism_store(mgr, t, h.data(), h.size(), op.dfid, 1, 0, kLength, op.handle,
                            nullptr);
        if (r == 0) {
            op.stored = true;
            return 0;
        }
        if (r != QNST_HASH_EXISTS) return r;
        // Stored first by another transaction: reconcile with that block.
        r = qnst_sism_lookup(mgr, t, h.data(), h.size(), 0, &op.handle);
        if (r) return r;
        if (op.handle == 0) return EAGAIN;
    }
    return qnst_sism_hold(mgr, t, op.handle, 0);
}

// The first hash number that lands in partition p of 4.
uint32_t hash_in(int32_t p) {
    for (uint32_t k = 0;; ++k)
        if ((hash_no(k)[0] & 0x7F) % 4 == static_cast<uint32_t>(p)) return k;
}

// Runs one server transaction of `ops` and enters what it did into the ledger once it commits.
// `before_second` runs between the first and the second operation of the first attempt.
int transaction(BlockStore &s, std::vector<Op> &ops, Ledger &ledger,
                const std::function<void()> &before_second = {}) {
    bool first_attempt = true;
    const int rc = s.txn([&](DB_TXN *t) {
        g_attempts++;
        for (size_t i = 0; i < ops.size(); ++i) {
            if (i == 1 && first_attempt && before_second) {
                first_attempt = false;
                before_second();
            }
            if (int r = run_op(s.mgr(), t, ops[i])) return r;
        }
        return 0;
    });
    g_transactions++;
    if (rc) return rc;
    for (const Op &op : ops) {
        if (op.release) {
            --ledger.net[op.handle];
            ledger.held.erase(std::find(ledger.held.begin(), ledger.held.end(), op.handle));
            continue;
        }
        if (op.stored) ledger.hash_of[op.handle] = op.hash;
        ++ledger.net[op.handle];
        ledger.held.push_back(op.handle);
    }
    return 0;
}

// Two transactions reference a hash of partition 0 and one of partition 1 in opposite orders and
// meet after their first reference, so that each then waits for the other's lock: the deadlock
// detector fails one of them, which is retried.
void crossing_transaction(BlockStore &s, int id, std::barrier<> &meet, Ledger &ledger,
                          int &failures) {
    std::vector<Op> ops(2);
    ops[0].hash = hash_in(id);
    ops[1].hash = hash_in(1 - id);
    // Each writes its own data file: the pair must meet only in the partitions.
    ops[0].dfid = ops[1].dfid = static_cast<uint32_t>(id);
    if (transaction(s, ops, ledger, [&] { meet.arrive_and_wait(); })) ++failures;
}

// One server thread: transactions of one operation each on random hashes of a small shared set.
void server_thread(BlockStore &s, int id, Ledger &ledger, int &failures) {
    std::mt19937 rng(1000u + static_cast<uint32_t>(id));
    for (int txn = 0; txn < kTxnsPerThread; ++txn) {
        std::vector<Op> ops(1);
        ops[0].dfid = static_cast<uint32_t>(id);
        if (!ledger.held.empty() && rng() % 10 < 3) {
            ops[0].release = true;
            ops[0].handle = ledger.held[rng() % ledger.held.size()];
        } else {
            ops[0].hash = rng() % kHashes;
        }
        if (transaction(s, ops, ledger)) ++failures;
    }
}

struct Block {
    bool link = false;
    uint64_t target = 0;  // of a link
    uint32_t hash = ~0u;  // hash number
    uint32_t dfid = 0;
    uint32_t word = 0;
};

void check_store(BlockStore &s, const std::vector<Ledger> &ledgers) {
    std::map<uint64_t, int64_t> net;
    std::map<uint64_t, uint32_t> hash_of;
    for (const Ledger &l : ledgers) {
        for (const auto &[h, n] : l.net) net[h] += n;
        for (const auto &[h, k] : l.hash_of) hash_of[h] = k;
    }
    std::map<std::vector<uint8_t>, uint32_t> hash_no_of;
    for (uint32_t k = 0; k < kHashes; ++k) {
        const Hash h = hash_no(k);
        hash_no_of[std::vector<uint8_t>(h.begin(), h.end())] = k;
    }

    // Every block of every partition, from the location and reference tables.
    std::map<uint64_t, Block> blocks;
    qnst_blksism *mgr = s.mgr();
    for (int32_t p = 0; p < mgr->nparts; ++p) {
        ASSERT_EQ(0, s.txn([&](DB_TXN *t) {
            DBC *c = nullptr;
            uint64_t h = 0, offset = 0;
            uint32_t dfid = 0, dfver = 0, length = 0, hashlen = 0;
            uint8_t hash[20];
            int rc = qnst_sism_walk_iddf(mgr, p, t, &c, &h, &dfid, &dfver, &offset, &length,
                                         &hashlen, hash);
            while (rc == 0 && h) {
                Block &b = blocks[h];
                b.link = dfid == QNST_SIS_SYMLINK_DFID;
                b.target = b.link ? (offset | (static_cast<uint64_t>(p) << 56)) : 0;
                b.dfid = dfid;
                if (!b.link) b.hash = hash_no_of.at(std::vector<uint8_t>(hash, hash + hashlen));
                rc = qnst_sism_next_iddf(mgr, p, c, &h, &dfid, &dfver, &offset, &length,
                                         &hashlen, hash);
            }
            qnst_sism_done(mgr, p, c);
            if (rc) return rc;
            h = 0;
            uint32_t word = 0, count = 0;
            rc = qnst_sism_walk_idref(mgr, p, t, 0, 0, &c, &h, &word, &count);
            while (rc == 0 && h) {
                blocks.at(h).word = word;
                rc = qnst_sism_next_idref(mgr, p, c, &h, &word, &count);
            }
            qnst_sism_done(mgr, p, c);
            return rc;
        }));
    }
    ASSERT_EQ(hash_of.size(), blocks.size());

    // Counts: a link counts its own references, a block its own and those of its links.
    std::map<uint64_t, int64_t> expected;
    for (const auto &[h, b] : blocks) {
        expected[h] += net[h];
        if (b.link) expected[b.target] += net[h];
    }
    std::map<uint32_t, uint64_t> used;
    std::map<uint32_t, int> live_per_hash;
    std::vector<std::map<uint32_t, uint32_t>> recount(static_cast<size_t>(mgr->nparts));
    for (const auto &[h, b] : blocks) {
        const uint32_t count = qnst_sis_ref_count(b.word);
        EXPECT_EQ(expected[h], static_cast<int64_t>(count)) << std::hex << h;
        if (b.link) {
            EXPECT_FALSE(blocks.at(b.target).link);
            EXPECT_EQ(hash_of.at(h), blocks.at(b.target).hash);
            continue;
        }
        used[b.dfid] += kLength;
        if (count > 0) {
            ++live_per_hash[b.hash];
            ++recount[h >> 56][std::min(count, 256u)];
        }
        EXPECT_NE(0u, b.word & QNST_SIS_REF_STAMPED);
    }
    for (const auto &[k, n] : live_per_hash) EXPECT_EQ(1, n) << "hash " << k;
    for (uint32_t d = 0; d < kThreads; ++d) EXPECT_EQ(used[d], s.used(d)) << "data file " << d;

    for (int32_t p = 0; p < mgr->nparts; ++p) {
        for (int32_t bucket = 1; bucket <= 256; ++bucket) {
            uint32_t n = 0;
            ASSERT_EQ(0, qnst_csis_histget(s.part(p), bucket, &n));
            EXPECT_EQ(recount[p][static_cast<uint32_t>(bucket)], n)
                << "partition " << p << " bucket " << bucket;
        }
    }
}

class BlksismConcurrency : public ::testing::TestWithParam<int64_t> {};

TEST_P(BlksismConcurrency, CountsHistogramAndIndexAgreeWithCommittedWork) {
    const int64_t csize = GetParam();
    BlockStore s(StoreOptions{.nparts = 4, .csize = csize, .wmark = csize ? 2 : 1});
    std::thread detector([&] { qnst_env_checkdlockthread(s.env().env()); });

    std::vector<Ledger> ledgers(kThreads);
    std::vector<int> failures(kThreads, 0);
    g_attempts = 0;
    g_transactions = 0;
    {
        std::barrier<> meet(2);
        std::thread a(crossing_transaction, std::ref(s), 0, std::ref(meet), std::ref(ledgers[0]),
                      std::ref(failures[0]));
        std::thread b(crossing_transaction, std::ref(s), 1, std::ref(meet), std::ref(ledgers[1]),
                      std::ref(failures[1]));
        a.join();
        b.join();
    }
    EXPECT_GT(g_attempts.load(), g_transactions.load());  // one of the pair was retried

    std::vector<std::thread> threads;
    for (int i = 0; i < kThreads; ++i)
        threads.emplace_back(server_thread, std::ref(s), i, std::ref(ledgers[static_cast<size_t>(i)]),
                             std::ref(failures[static_cast<size_t>(i)]));
    for (auto &t : threads) t.join();
    qnst_env_stopthreads(s.env().env());
    detector.join();
    for (int f : failures) EXPECT_EQ(0, f);

    s.flush_all();
    for (int32_t p = 0; p < 4; ++p) {
        EXPECT_EQ(0u, BlockStore::queued(s.part(p)->stqdb));
        EXPECT_EQ(0u, BlockStore::queued(s.part(p)->hdqdb));
    }
    check_store(s, ledgers);
    EXPECT_TRUE(s.env().error_lines().empty());
}

INSTANTIATE_TEST_SUITE_P(CacheOffAndOn, BlksismConcurrency,
                         ::testing::Values(int64_t{0}, int64_t{4} << 20));

}  // namespace
