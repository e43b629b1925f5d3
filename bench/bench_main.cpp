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

// Prints as the console reporter does and keeps each benchmark's time per iteration: the
// median when it is repeated (--benchmark_repetitions), else the single run's.
class RecordingReporter : public ::benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run> &runs) override {
        for (const Run &run : runs) {
            if (run.error_occurred) continue;
            const bool median = run.run_type == Run::RT_Aggregate && run.aggregate_name == "median";
            if (run.run_type != Run::RT_Iteration && !median) continue;
            const double ns = run.GetAdjustedRealTime() *
                              (1e9 / ::benchmark::GetTimeUnitMultiplier(run.time_unit));
            times_[run.run_name.str()] = ns;
        }
        ConsoleReporter::ReportRuns(runs);
    }
    const std::map<std::string, double> &times() const { return times_; }

private:
    std::map<std::string, double> times_;
};

void print_ratios(const std::map<std::string, double> &times) {
    // The console reporter leaves a colour reset behind its last line; start on a fresh one.
    std::fflush(stdout);
    std::printf("\n");
    for (const auto &[engine, floor] : ratios()) {
        for (const auto &[name, ns] : times) {
            if (name.compare(0, engine.size(), engine) != 0) continue;
            const std::string suffix = name.substr(engine.size());
            if (!suffix.empty() && suffix[0] != '/') continue;
            const auto f = times.find(floor + suffix);
            if (f == times.end() || f->second <= 0) continue;
            std::printf("ratio %s / %s = %.2f (%.0f ns / %.0f ns per operation)\n", name.c_str(),
                        f->first.c_str(), ns / f->second, ns, f->second);
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
