// Benchmark harness: every engine path is measured beside its floor (the raw operations it
// cannot avoid) in the same run, and the program ends by printing the ratio of each pair.
#pragma once

#include <benchmark/benchmark.h>

#include <string>

namespace qnst::bench {

// Pairs the benchmark `engine` with `floor`. Runs named engine + suffix (arguments such as
// "/4096") are paired with floor + the same suffix.
void register_ratio(const std::string &engine, const std::string &floor);

struct RatioRegistrar {
    RatioRegistrar(const char *engine, const char *floor) { register_ratio(engine, floor); }
};

}  // namespace qnst::bench

#define QNST_BENCH_CONCAT2(a, b) a##b
#define QNST_BENCH_CONCAT(a, b) QNST_BENCH_CONCAT2(a, b)
// QNST_BENCH_RATIO(BM_dfile_usage, BM_dfile_usage_floor);
#define QNST_BENCH_RATIO(engine, floor)                                                 \
    static ::qnst::bench::RatioRegistrar QNST_BENCH_CONCAT(qnst_ratio_, __LINE__)(#engine, \
                                                                                  #floor)
