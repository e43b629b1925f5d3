// Benchmark harness: every engine path is measured beside its floor (the raw operations it
// cannot avoid) in the same run, and the program ends by printing the ratio of each pair.
#pragma once

#include <benchmark/benchmark.h>
#include <db.h>

#include <stdexcept>
#include <string>

#include "qnst_bdb.h"
#include "qnst_internal.hpp"

namespace qnst::bench {

// Pairs the benchmark `engine` with `floor`. Runs named engine + suffix (arguments such as
// "/4096") are paired with floor + the same suffix.
void register_ratio(const std::string &engine, const std::string &floor);

struct RatioRegistrar {
    RatioRegistrar(const char *engine, const char *floor) { register_ratio(engine, floor); }
};

// A failed set-up or benchmark step ends the program with what failed.
inline void check(int rc, const char *what) {
    if (rc) throw std::runtime_error(std::string(what) + " failed: " + std::to_string(rc));
}

// Runs `body` in a transaction of its own and commits it; a failure aborts and throws.
template <typename Body>
void run_txn(DB_ENV *dbenv, Body body) {
    DB_TXN *t = nullptr;
    check(qnst_txn_begin(dbenv, nullptr, &t), "begin");
    const int rc = body(t);
    if (rc) {
        qnst_txn_abort(t);
        check(rc, "operation");
    }
    check(qnst_txn_commit(t, 0), "commit");
}

// The raw record operations of the floors, over caller memory.
inline int raw_put(DB *db, DB_TXN *t, const void *key, uint32_t klen, const void *data,
                   uint32_t dlen, uint32_t flags) {
    DBT k = qnst::user_dbt(const_cast<void *>(key), klen);
    DBT d = qnst::user_dbt(const_cast<void *>(data), dlen);
    return db->put(db, t, &k, &d, flags);
}
inline int raw_get(DB *db, DB_TXN *t, const void *key, uint32_t klen, void *data, uint32_t dlen,
                   uint32_t flags) {
    DBT k = qnst::user_dbt(const_cast<void *>(key), klen);
    DBT d = qnst::user_dbt(data, 0, dlen);
    return db->get(db, t, &k, &d, flags);
}

}  // namespace qnst::bench

#define QNST_BENCH_CONCAT2(a, b) a##b
#define QNST_BENCH_CONCAT(a, b) QNST_BENCH_CONCAT2(a, b)
// QNST_BENCH_RATIO(BM_dfile_usage, BM_dfile_usage_floor);
#define QNST_BENCH_RATIO(engine, floor)                                                 \
    static ::qnst::bench::RatioRegistrar QNST_BENCH_CONCAT(qnst_ratio_, __LINE__)(#engine, \
                                                                                  #floor)
