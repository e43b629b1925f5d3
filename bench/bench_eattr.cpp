// Updating an extended attribute at a new version, beside the raw Berkeley DB operations it
// stands on.
//
// Every update adds a record that stays as history, and the cost of one depends on how much
// the environment has grown and on the fresh cache pages it first touches, which on this
// machine's file-backed regions cost page faults of very uneven price. An engine run and a
// floor run in environments of their own differed by 1x to 4x from one run to the next. So
// both run in every benchmark, in one environment, update for update in lockstep (which one
// goes first alternates), each on an attribute of its own: each benchmark reports its own
// side's wall-clock time as its time, and in counters the processor time per update of both
// sides (`engine_cpu_ns`, `floor_cpu_ns`) and their ratio (`paired_cpu_ratio`, the figure to
// read; the CPU column covers both sides).
#include <chrono>
#include <ctime>
#include <stdexcept>
#include <vector>

#include "qnst_bench.hpp"
#include "qnst_bdb.h"
#include "qnst_eattr.h"
#include "qnst_internal.hpp"
#include "qnst_testing.hpp"

namespace {

constexpr uint32_t kIno = 10;
constexpr uint32_t kEngineAid = 5;
constexpr uint32_t kFloorAid = 6;

struct EattrFixture {
    qnst::testing::TempEnv env{qnst::testing::EnvOptions{.cache_bytes = 64u << 20}};
    qnst_itabmrec m{};
    qnst_inoderec ino{};
    EattrFixture() {
        if (qnst_itabm_create(&m, env.env(), 1, nullptr, nullptr, nullptr, 1) ||
            qnst_itabm_open(&m, "it", 0, 1) || qnst_inode_open(&ino, &m, nullptr, kIno) ||
            qnst_inode_init(&ino, 1))
            throw std::runtime_error("inode set-up failed");
    }
    ~EattrFixture() {
        qnst_inode_close(&ino);
        qnst_itabm_close(&m);
    }
};

int engine_update(EattrFixture &f, uint32_t ver, const std::vector<uint8_t> &value) {
    DB_TXN *txn = nullptr;
    qnst_txn_begin(f.env.dbenv(), nullptr, &txn);
    const int rc = qnst_eatr_update(&f.ino, txn, kEngineAid, ver, value.data(),
                                    static_cast<uint32_t>(value.size()));
    qnst_txn_commit(txn, 0);
    return rc;
}

// What an update must do: find the current record under a write lock reading only its end
// version, change that in place, and put the new record (the value behind its end version).
int floor_update(EattrFixture &f, uint32_t ver, std::vector<uint8_t> &rec) {
    DB *db = f.ino.record_db;
    uint8_t kb[13], head[4];
    qnst::store_le32(kb, kIno);
    kb[4] = '7';
    qnst::store_be32(kb + 5, kFloorAid);
    qnst::store_neg_version(kb + 9, QNST_INODE_LIVE - 1);
    DB_TXN *txn = nullptr;
    qnst_txn_begin(f.env.dbenv(), nullptr, &txn);
    DBC *c = nullptr;
    DBT key = qnst::user_dbt(kb, sizeof kb);
    DBT data = qnst::user_dbt(head, 0, sizeof head);
    data.flags |= DB_DBT_PARTIAL;
    data.dlen = sizeof head;
    int rc = db->cursor(db, txn, &c, 0);
    if (!rc) rc = c->get(c, &key, &data, DB_SET_RANGE | DB_RMW);
    if (rc == 0 && qnst::load_be32(kb + 5) == kFloorAid) {
        qnst::store_le32(head, ver);
        DBT none{};
        rc = c->put(c, &none, &data, DB_CURRENT);
    } else if (rc == 0 || rc == DB_NOTFOUND) {
        rc = 0;  // nothing current yet
    }
    if (c) c->close(c);
    qnst::store_le32(rec.data(), QNST_INODE_LIVE);
    qnst::store_le32(kb, kIno);  // the read above may have left another record's key
    kb[4] = '7';
    qnst::store_be32(kb + 5, kFloorAid);
    qnst::store_neg_version(kb + 9, ver);
    key = qnst::user_dbt(kb, sizeof kb);
    data = qnst::user_dbt(rec.data(), static_cast<uint32_t>(rec.size()));
    if (!rc) rc = db->put(db, txn, &key, &data, 0);
    qnst_txn_commit(txn, 0);
    return rc;
}

double thread_cpu_ns() {
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) * 1e9 + static_cast<double>(ts.tv_nsec);
}

struct Side {
    double wall_ns = 0, cpu_ns = 0, last_s = 0;
    template <class Body>
    int run(Body body) {
        const double cpu0 = thread_cpu_ns();
        const auto t0 = std::chrono::steady_clock::now();
        const int rc = body();
        last_s = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
        wall_ns += last_s * 1e9;
        cpu_ns += thread_cpu_ns() - cpu0;
        return rc;
    }
};

// Each iteration writes the next version of an attribute on both sides: the value before it
// becomes history.
template <bool kEngineTimed>
void run_lockstep(benchmark::State &state) {
    EattrFixture f;
    const auto size = static_cast<size_t>(state.range(0));
    const std::vector<uint8_t> value(size, 'v');
    std::vector<uint8_t> rec(size + 4, 'v');
    Side e, fl;
    uint32_t ver = 1;
    for (auto _ : state) {
        auto engine = [&] { return engine_update(f, ver, value); };
        auto floor = [&] { return floor_update(f, ver, rec); };
        const int rc = ver % 2 ? e.run(engine) || fl.run(floor) : fl.run(floor) || e.run(engine);
        if (rc) {
            state.SkipWithError("update failed");
            break;
        }
        ++ver;
        state.SetIterationTime(kEngineTimed ? e.last_s : fl.last_s);
    }
    const double n = static_cast<double>(state.iterations() ? state.iterations() : 1);
    state.counters["engine_cpu_ns"] = e.cpu_ns / n;
    state.counters["floor_cpu_ns"] = fl.cpu_ns / n;
    state.counters["paired_cpu_ratio"] = fl.cpu_ns > 0 ? e.cpu_ns / fl.cpu_ns : 0;
}

void BM_eatr_update(benchmark::State &state) { run_lockstep<true>(state); }
void BM_eatr_update_floor(benchmark::State &state) { run_lockstep<false>(state); }

}  // namespace

BENCHMARK(BM_eatr_update)->Arg(64)->Arg(4096)->UseManualTime()->Iterations(3000);
BENCHMARK(BM_eatr_update_floor)->Arg(64)->Arg(4096)->UseManualTime()->Iterations(3000);
QNST_BENCH_RATIO(BM_eatr_update, BM_eatr_update_floor);
