// A server process killed at random moments: a child drives the block store (with and without
// cache tables) and the inode store in durable transactions and writes down what each one did;
// the parent kills it with SIGKILL, recovers the environment (sometimes without its region files)
// and checks that every committed transaction is there in full and nothing else is.
//
// QNST_CRASH_CYCLES sets the number of kills per store mode (default 3) and QNST_CRASH_SEED the
// seed of the kill times and of the children's work.
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <array>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <map>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "qnst_internal.hpp"
#include "qnst_testing.hpp"
#include "stores_fixture.hpp"

namespace {

using namespace qnst::testing;

constexpr uint32_t kMarkerFile = 100;  // dfile record whose `ver` is the last committed txn id
constexpr uint32_t kUsageIno = 1;      // inode that receives every transaction's usage
constexpr uint32_t kHashes = 300;
constexpr uint32_t kDataFiles = 4;

uint64_t env_number(const char *name, uint64_t fallback) {
    const char *v = std::getenv(name);
    return v && *v ? std::strtoull(v, nullptr, 10) : fallback;
}


// A stored block as its transaction recorded it.
struct Block {
    uint32_t hash = 0, dfid = 0, length = 0;
    uint64_t offset = 0;
};

// The state that the committed transactions of the ledger add up to.
struct Model {
    uint64_t last_txn = 0;                       // highest committed id in the ledger
    uint64_t reported = 0;                       // highest id whose commit returned 0
    std::map<uint64_t, Block> blocks;            // handle -> block
    std::map<uint32_t, std::set<uint64_t>> handles_of;  // hash -> its blocks
    std::map<uint64_t, int64_t> refs;            // handle -> references
    std::vector<uint32_t> inodes;                // allocated numbers, in order
    std::array<int64_t, 2> usage{};              // fscurrentu, filescurrent added
    std::vector<std::string> faults;             // what the ledger itself contradicts
};

// Ledger lines: "T <id>" opens a transaction's record (a retried one is recorded again), then
// "S <hash> <handle> <dfid> <offset> <length>", "H <handle>", "R <handle>", "I <ino>",
// "U <bytes> <files>"; "C <id>" follows once the commit returned. Transactions up to `marker`
// committed, later ones did not.
Model replay(const std::string &ledger, uint64_t marker) {
    std::map<uint64_t, std::vector<std::string>> txns;
    Model m;
    std::ifstream in(ledger);
    std::string line;
    uint64_t current = 0;
    while (std::getline(in, line)) {
        if (in.eof()) break;  // a line cut short by the kill
        std::istringstream f(line);
        char kind = 0;
        f >> kind;
        if (kind == 'T') {
            f >> current;
            txns[current].clear();
        } else if (kind == 'C') {
            uint64_t id = 0;
            f >> id;
            m.reported = std::max(m.reported, id);
        } else {
            txns[current].push_back(line);
        }
    }
    for (const auto &[id, ops] : txns) {
        if (id > marker) continue;
        m.last_txn = id;
        for (const std::string &op : ops) {
            std::istringstream f(op);
            char kind = 0;
            f >> kind;
            uint64_t handle = 0;
            if (kind == 'S') {
                Block b;
                f >> b.hash >> handle >> b.dfid >> b.offset >> b.length;
                if (m.blocks.count(handle)) m.faults.push_back("handle issued twice: " + op);
                m.blocks[handle] = b;
                m.handles_of[b.hash].insert(handle);
                m.refs[handle] = 1;
            } else if (kind == 'H' || kind == 'R') {
                f >> handle;
                m.refs[handle] += kind == 'H' ? 1 : -1;
            } else if (kind == 'I') {
                uint32_t ino = 0;
                f >> ino;
                m.inodes.push_back(ino);
            } else if (kind == 'U') {
                int64_t bytes = 0, files = 0;
                f >> bytes >> files;
                m.usage[0] += bytes;
                m.usage[1] += files;
            }
        }
    }
    return m;
}

uint64_t read_marker(Stores &s) {
    uint32_t ver = 0, over = 0;
    uint64_t coff = 0, ooff = 0, used = 0;
    if (qnst_dfile_get(&s.dfile, nullptr, kMarkerFile, &ver, &over, &coff, &ooff, &used, 0))
        return ~0ull;
    return ver == 1 && over == 1 ? 0 : ver;  // a fresh record: nothing committed yet
}

// ---- The child: a server that works until it is killed ----------------------------------

class Server {
public:
    Server(const std::string &home, int64_t csize, uint64_t seed) : home_(home), rng_(seed) {
        if (open_server_env(&env_, home) || s_.open(&env_, csize)) std::_Exit(10);
        qnst_envrec *e = &env_;
        maintenance_.emplace_back([e] { qnst_env_checkpointthread(e, 1, ""); });
        maintenance_.emplace_back([e] { qnst_env_checkdlockthread(e); });
        if (qnst_inode_open(&node_, &s_.itabm, nullptr, kUsageIno) || qnst_inode_init(&node_, 1))
            std::_Exit(11);
        int64_t u[10];
        const int rc = durable([&](DB_TXN *t) {
            if (qnst_inode_usage_get(&node_, t, &u[0], &u[1], &u[2], &u[3], &u[4], &u[5], &u[6],
                                     &u[7], &u[8], &u[9]) == 0)
                return 0;
            return qnst_inode_usage_set(&node_, t, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0);
        });
        if (rc) std::_Exit(12);
        model_ = replay(ledger(), read_marker(s_));
        next_ = model_.last_txn + 1;
        fd_ = ::open(ledger().c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
        if (fd_ < 0) std::_Exit(13);
    }

    [[noreturn]] void run(int ready) {
        const char byte = 1;
        if (::write(ready, &byte, 1) != 1) std::_Exit(14);
        for (;;) {
            const uint32_t dice = rng_() % 16;
            if (dice == 0) {
                (void)qnst_env_checkpoint(&env_);  // a failure shows in the parent's checks
            } else if (dice == 1) {
                flush_some();
            } else if (int rc = transaction()) {
                std::_Exit(20 + (rc & 0x3F));
            }
        }
    }

private:
    std::string ledger() const { return home_ + "/ledger"; }

    template <typename Body>
    int durable(Body body) {
        for (;;) {
            DB_TXN *t = nullptr;
            if (int rc = qnst_txn_begin(env_.dbenv, nullptr, &t)) return rc;
            int rc = body(t);
            if (rc == 0) rc = qnst_txn_commit(t, 1);
            else (void)qnst_txn_abort(t);
            if (rc != DB_LOCK_DEADLOCK && rc != DB_LOCK_NOTGRANTED) return rc;
        }
    }

    void note(const std::string &text) {
        if (::write(fd_, text.data(), text.size()) != static_cast<ssize_t>(text.size()))
            std::_Exit(15);
    }

    void flush_some() {
        const auto p = static_cast<int32_t>(rng_() % kStorePartsUsed);
        uint32_t tail = 0;
        (void)durable([&](DB_TXN *t) { return qnst_sism_hdqflush(&s_.mgr, t, p, &tail, 0); });
        (void)durable([&](DB_TXN *t) { return qnst_sism_stqflush(&s_.mgr, t, p, &tail); });
    }

    // One server transaction: a few block references, perhaps a release and an inode, the
    // usage they cost and the commit marker.
    int transaction() {
        std::vector<uint32_t> hashes(1 + rng_() % 4);
        for (auto &n : hashes) n = static_cast<uint32_t>(rng_() % kHashes);
        uint64_t release = 0;
        if (rng_() % 3 == 0) {
            for (const auto &[h, r] : model_.refs)
                if (r > 0 && rng_() % 4 == 0) release = h;
        }
        const bool inode = rng_() % 4 == 0;
        const uint64_t id = next_;
        std::string ops;
        std::map<uint64_t, int64_t> refs;
        std::vector<std::pair<uint64_t, Block>> stored;
        std::vector<uint32_t> inodes;
        int64_t bytes = 0;
        auto body = [&](DB_TXN *t) {
            ops = "T " + std::to_string(id) + "\n";
            refs.clear();
            stored.clear();
            inodes.clear();
            bytes = 0;
            for (uint32_t n : hashes) {
                if (int r = reference(t, n, ops, refs, stored, &bytes)) return r;
            }
            if (release) {
                uint32_t count = 0;
                if (int r = qnst_sism_rele(&s_.mgr, t, release, &count)) return r;
                ops += "R " + std::to_string(release) + "\n";
                refs[release] -= 1;
            }
            if (inode) {
                uint32_t ino = 0;
                int r = qnst_inodem_alloc(&s_.itabm, t, static_cast<uint32_t>(id), &ino);
                if (r) return r;  // QNST_ENOINODE: grown below, outside the transaction
                ops += "I " + std::to_string(ino) + "\n";
                inodes.push_back(ino);
            }
            const int64_t files = static_cast<int64_t>(inodes.size());
            if (int r = qnst_inode_usg(&node_, t, bytes, 0, 0, 0, files, 0)) return r;
            ops += "U " + std::to_string(bytes) + " " + std::to_string(files) + "\n";
            if (int r = qnst_dfile_set(&s_.dfile, t, kMarkerFile, static_cast<uint32_t>(id), 0, 0,
                                       0, 0))
                return r;
            note(ops);  // written before the commit: a kill may come between the two
            return 0;
        };
        int rc = durable(body);
        if (rc == QNST_ENOINODE) {
            // The table grows in a transaction of its own, so this one had to end first.
            if ((rc = qnst_itabm_extend(&s_.itabm, 64, 0))) return rc;
            rc = durable(body);
        }
        if (rc) return rc;
        note("C " + std::to_string(id) + "\n");
        ++next_;
        for (const auto &[h, d] : refs) model_.refs[h] += d;
        return 0;
    }

    int reference(DB_TXN *t, uint32_t n, std::string &ops, std::map<uint64_t, int64_t> &refs,
                  std::vector<std::pair<uint64_t, Block>> &stored, int64_t *bytes) {
        const auto h = make_hash(n, static_cast<uint8_t>(n * 61));
        uint64_t handle = 0;
        if (int r = qnst_sism_lookup(&s_.mgr, t, h.data(), h.size(), 0, &handle)) return r;
        if (handle == 0) {
            for (const auto &[k, b] : stored)
                if (b.hash == n) handle = k;  // stored earlier in this transaction
        }
        if (handle == 0) {
            if (int r = qnst_sism_gen_handle(&s_.mgr, h.data(), h.size(), &handle)) return r;
            Block b{n, n % kDataFiles, 4096 + (n % 7) * 512, uint64_t{n} * 8192};
            if (int r = qnst_sism_store(&s_.mgr, t, h.data(), h.size(), b.dfid, 1, b.offset,
                                        b.length, handle, nullptr))
                return r;
            ops += "S " + std::to_string(n) + " " + std::to_string(handle) + " " +
                   std::to_string(b.dfid) + " " + std::to_string(b.offset) + " " +
                   std::to_string(b.length) + "\n";
            stored.emplace_back(handle, b);
            refs[handle] += 1;
            *bytes += b.length;
            return 0;
        }
        if (int r = qnst_sism_hold(&s_.mgr, t, handle, 0)) return r;
        ops += "H " + std::to_string(handle) + "\n";
        refs[handle] += 1;
        return 0;
    }

    static constexpr int32_t kStorePartsUsed = kStoreParts;
    std::string home_;
    std::mt19937_64 rng_;
    qnst_envrec env_{};
    Stores s_;
    qnst_inoderec node_{};
    std::vector<std::thread> maintenance_;
    Model model_;
    uint64_t next_ = 1;
    int fd_ = -1;
};

// ---- The parent: recover and compare --------------------------------------------------------

void flush_all(Stores &s, DB_ENV *dbenv) {
    for (int32_t p = 0; p < kStoreParts; ++p) {
        for (int pass = 0; pass < 2; ++pass) {
            uint32_t tail = 0;
            do {
                ASSERT_EQ(with_txn(dbenv, [&](DB_TXN *t) {
                              return pass == 0 ? qnst_sism_hdqflush(&s.mgr, t, p, &tail, 0)
                                               : qnst_sism_stqflush(&s.mgr, t, p, &tail);
                          }),
                          0);
            } while (tail != 0);
        }
    }
}

// Recovers the environment in `home` and checks it against the ledger; *committed receives the
// number of committed transactions.
void check_recovered(const std::string &home, int64_t csize, const std::string &where,
                     uint64_t *committed) {
    SCOPED_TRACE(where);
    qnst_envrec env{};
    ASSERT_EQ(open_server_env(&env, home), 0);
    Stores s;
    ASSERT_EQ(s.open(&env, csize), 0);
    DB_ENV *dbenv = env.dbenv;
    const uint64_t marker = read_marker(s);
    *committed = marker;
    const Model m = replay(home + "/ledger", marker);
    EXPECT_EQ(m.faults, std::vector<std::string>{});
    // Every transaction whose commit returned is there.
    EXPECT_LE(m.reported, marker);
    EXPECT_EQ(m.last_txn, marker);

    flush_all(s, dbenv);
    // A hash stored twice (the cache store indexes new blocks only when its queue is flushed)
    // ends as one block: the flush turns the later ones into links to the indexed one, which
    // takes over their references. A block whose references were all released before its
    // flush is never indexed; it stays as it was, with count 0, until compaction.
    std::map<uint32_t, uint32_t> hist_model;
    std::array<uint64_t, kDataFiles> used{};
    std::set<uint64_t> links;
    for (const auto &[n, handles] : m.handles_of) {
        const auto h = make_hash(n, static_cast<uint8_t>(n * 61));
        uint64_t found = 0;
        ASSERT_EQ(with_txn(dbenv, [&](DB_TXN *t) {
                      return qnst_sism_lookup(&s.mgr, t, h.data(), h.size(), 0, &found);
                  }),
                  0);
        ASSERT_TRUE(found == 0 || handles.count(found)) << "hash " << n << " finds " << found;
        int64_t refs = 0;
        for (uint64_t handle : handles) {
            const Block &own = m.blocks.at(handle);
            uint32_t dfid = 0, dfver = 0, length = 0, hashlen = 0, followed = 0;
            uint64_t offset = 0;
            EXPECT_EQ(with_txn(dbenv, [&](DB_TXN *t) {
                          return qnst_sism_read(&s.mgr, t, handle, &dfid, &dfver, &offset,
                                                &length, &hashlen, nullptr, &followed);
                      }),
                      0)
                << "block " << handle;
            const auto read = std::make_tuple(dfid, offset, length);
            if (followed == 0) {
                EXPECT_EQ(read, std::make_tuple(own.dfid, own.offset, own.length));
                used[own.dfid] += own.length;
                if (handle == found) refs += m.refs.at(handle);
                else EXPECT_EQ(m.refs.at(handle), 0) << "unindexed block " << handle;
            } else {
                ASSERT_NE(found, 0u) << "link " << handle << " of an unindexed hash";
                const Block &target = m.blocks.at(found);
                EXPECT_EQ(read, std::make_tuple(target.dfid, target.offset, target.length))
                    << "link " << handle;
                links.insert(handle);
                refs += m.refs.at(handle);
            }
        }
        if (found == 0) continue;
        uint32_t count = 0;
        EXPECT_EQ(with_txn(dbenv, [&](DB_TXN *t) {
                      return qnst_blksism_getref(&s.mgr, t, 0, found, &count);
                  }),
                  0);
        EXPECT_EQ(int64_t{count}, refs) << "block " << found << " of hash " << n;
        if (count) ++hist_model[std::min<uint32_t>(count, 256)];
    }
    // The histogram against a recount of the reference words of the blocks that are no links.
    std::map<uint32_t, uint32_t> recount;
    for (int32_t p = 0; p < kStoreParts; ++p) {
        ASSERT_EQ(with_txn(dbenv, [&](DB_TXN *t) {
                      DBC *c = nullptr;
                      uint64_t handle = 0;
                      uint32_t word = 0, count = 0;
                      int rc = qnst_sism_walk_idref(&s.mgr, p, t, 0, 0, &c, &handle, &word, &count);
                      while (rc == 0 && handle != 0) {
                          if (count && !links.count(handle)) ++recount[std::min<uint32_t>(count, 256)];
                          rc = qnst_sism_next_idref(&s.mgr, p, c, &handle, &word, &count);
                      }
                      const int done = qnst_sism_done(&s.mgr, p, c);
                      return rc ? rc : done;
                  }),
                  0);
    }
    EXPECT_EQ(recount, hist_model);
    for (int32_t bucket = 1; bucket <= 256; ++bucket) {
        uint32_t sum = 0;
        ASSERT_EQ(qnst_sism_histget(&s.mgr, bucket, &sum), 0);
        EXPECT_EQ(sum, recount.count(bucket) ? recount[bucket] : 0u) << "bucket " << bucket;
    }
    // Data-file usage against the blocks.
    for (uint32_t d = 0; d < kDataFiles; ++d) {
        uint32_t ver = 0, over = 0;
        uint64_t coff = 0, ooff = 0, u = 0;
        ASSERT_EQ(qnst_dfile_get(&s.dfile, nullptr, d, &ver, &over, &coff, &ooff, &u, 0), 0);
        EXPECT_EQ(u, used[d]) << "data file " << d;
    }
    // Inode numbers: each issued once, all of them allocated, nothing else.
    EXPECT_EQ(std::set<uint32_t>(m.inodes.begin(), m.inodes.end()).size(), m.inodes.size());
    std::set<uint32_t> allocated;
    for (const auto &entry : s.allocated_inodes()) allocated.insert(entry.first);
    EXPECT_EQ(allocated, std::set<uint32_t>(m.inodes.begin(), m.inodes.end()));
    // Usage of the inode every transaction charged.
    qnst_inoderec node{};
    ASSERT_EQ(qnst_inode_open(&node, &s.itabm, nullptr, kUsageIno), 0);
    ASSERT_EQ(qnst_inode_chk(&node), 0);
    int64_t u[10] = {};
    EXPECT_EQ(with_txn(dbenv, [&](DB_TXN *t) {
                  return qnst_inode_usage_get(&node, t, &u[0], &u[1], &u[2], &u[3], &u[4], &u[5],
                                              &u[6], &u[7], &u[8], &u[9]);
              }),
              0);
    EXPECT_EQ(u[1], m.usage[0]);
    EXPECT_EQ(u[8], m.usage[1]);
    qnst_inode_close(&node);
    s.close();
    qnst_env_close(&env);
}

class CrashTest : public ::testing::TestWithParam<int64_t> {};

TEST_P(CrashTest, CommittedWorkSurvivesKillsAtRandomMoments) {
    const int64_t csize = GetParam();
    const uint64_t cycles = env_number("QNST_CRASH_CYCLES", 3);
    const uint64_t seed = env_number("QNST_CRASH_SEED", 20261210);
    std::mt19937_64 rng(seed + static_cast<uint64_t>(csize));
    TempDir dir;
    const std::string home = dir.path().string();
    uint64_t committed = 0;
    for (uint64_t cycle = 0; cycle < cycles; ++cycle) {
        const std::string where = "seed " + std::to_string(seed) + ", cycle " +
                                  std::to_string(cycle);
        int ready[2];
        ASSERT_EQ(::pipe(ready), 0);
        const uint64_t child_seed = rng();
        const pid_t pid = ::fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            ::close(ready[0]);
            Server(home, csize, child_seed).run(ready[1]);
        }
        ::close(ready[1]);
        char byte = 0;
        const bool started = ::read(ready[0], &byte, 1) == 1;
        ::close(ready[0]);
        if (started)
            std::this_thread::sleep_for(std::chrono::milliseconds(50 + rng() % 500));
        ::kill(pid, SIGKILL);
        int status = 0;
        ASSERT_EQ(::waitpid(pid, &status, 0), pid);
        ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL)
            << where << ": the server stopped by itself, status " << status;
        // Regions in system memory are gone after a reboot; half of the recoveries do without.
        if (cycle % 2 == 1) remove_regions(home);
        check_recovered(home, csize, where, &committed);
        if (HasFatalFailure() || HasFailure()) return;
    }
    EXPECT_GT(committed, cycles) << "the server hardly worked between the kills";
}

INSTANTIATE_TEST_SUITE_P(CacheOffAndOn, CrashTest, ::testing::Values(0, 1 << 20));

}  // namespace
