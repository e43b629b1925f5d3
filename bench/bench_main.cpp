#include <cstdio>
#include <map>
#include <utility>
#include <vector>

#include "qnst_bench.hpp"

namespace qnst::bench {
namespace {

std::vector<std::pair<std::string, std::string>> &ratios() {
    static std::vector<std::pair<std::string, std::string>> pairs;
    return pairs;
}

// Wall-clock and CPU time of one operation, in nanoseconds.
struct Times {
    double real = 0, cpu = 0;
};

// Prints as the console reporter does and keeps each benchmark's time per iteration: the
// median when it is repeated (--benchmark_repetitions), else the single run's.
class RecordingReporter : public ::benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run> &runs) override {
        for (const Run &run : runs) {
            if (run.error_occurred) continue;
            const bool median = run.run_type == Run::RT_Aggregate && run.aggregate_name == "median";
            if (run.run_type != Run::RT_Iteration && !median) continue;
            const double to_ns = 1e9 / ::benchmark::GetTimeUnitMultiplier(run.time_unit);
            times_[run.run_name.str()] = {run.GetAdjustedRealTime() * to_ns,
                                          run.GetAdjustedCPUTime() * to_ns};
        }
        ConsoleReporter::ReportRuns(runs);
    }
    const std::map<std::string, Times> &times() const { return times_; }

private:
    std::map<std::string, Times> times_;
};

// Wall-clock time is what a caller waits for; CPU time leaves out the waits for the disk, which
// on a shared machine are the noisiest part, so both ratios are printed.
void print_ratios(const std::map<std::string, Times> &times) {
    // The console reporter leaves a colour reset behind its last line; start on a fresh one.
    std::fflush(stdout);
    std::printf("\n");
    for (const auto &[engine, floor] : ratios()) {
        for (const auto &[name, t] : times) {
            if (name.compare(0, engine.size(), engine) != 0) continue;
            const std::string suffix = name.substr(engine.size());
            if (!suffix.empty() && suffix[0] != '/') continue;
            const auto f = times.find(floor + suffix);
            if (f == times.end() || f->second.real <= 0 || f->second.cpu <= 0) continue;
            std::printf("ratio %s / %s = %.2f (%.0f ns / %.0f ns per operation; cpu %.2f: "
                        "%.0f ns / %.0f ns)\n",
                        name.c_str(), f->first.c_str(), t.real / f->second.real, t.real,
                        f->second.real, t.cpu / f->second.cpu, t.cpu, f->second.cpu);
        }
    }
}

}  // namespace

void register_ratio(const std::string &engine, const std::string &floor) {
    ratios().emplace_back(engine, floor);
}

}  // namespace qnst::bench

int main(int argc, char **argv) {
    ::benchmark::Initialize(&argc, argv);
    if (::benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    qnst::bench::RecordingReporter reporter;
    ::benchmark::RunSpecifiedBenchmarks(&reporter);
    ::benchmark::Shutdown();
    qnst::bench::print_ratios(reporter.times());
    return 0;
}
