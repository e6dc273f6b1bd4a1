// vmd_bench: runs the benchmarks, then sets the whole run and its platform
// part beside their floors measured in the same process.
//
//   vmd_bench [Google Benchmark flags]
//   vmd_bench --trace=run|floor   one run or one floor between two marker
//                                 calls, for comparing their system calls
#include <benchmark/benchmark.h>
#include <malloc.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "fixtures.h"
#include "floor.h"
#include "vm_detection.h"

namespace {

// Times of one benchmark per call, in nanoseconds.
struct Times {
    double real = 0;
    double cpu = 0;
    double ratio = 0;  // of a paired benchmark: call over floor
};

double median(std::vector<double> v) {
    if (v.empty()) return 0;
    std::sort(v.begin(), v.end());
    const std::size_t n = v.size();
    return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

// Whether a run ended without times: Google Benchmark 1.8 replaced the flag
// error_occurred of 1.7 with skipped, which also tells a run skipped on purpose.
template <class Run>
bool without_times(const Run& run) {
    if constexpr (requires { run.skipped; })
        return static_cast<bool>(run.skipped);
    else
        return run.error_occurred;
}

// Prints as the console reporter does and keeps every benchmark's times per
// call for the summary.
class Collector : public benchmark::ConsoleReporter {
public:
    explicit Collector(OutputOptions options) : ConsoleReporter(options) {}

    void ReportRuns(const std::vector<Run>& runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const Run& run : runs) {
            if (without_times(run)) continue;
            const double unit = 1e9 / benchmark::GetTimeUnitMultiplier(run.time_unit);
            Times t{run.GetAdjustedRealTime() * unit, run.GetAdjustedCPUTime() * unit};
            if (auto r = run.counters.find("ratio"); r != run.counters.end()) t.ratio = r->second;
            const std::string& name = run.run_name.function_name;
            repetitions_ = std::max<std::int64_t>(repetitions_, run.repetitions);
            if (run.run_type == Run::RT_Iteration) {
                samples_[name].push_back(t);
            } else if (run.aggregate_name == "median") {
                medians_[name] = t;
            }
        }
    }

    // The median over the repetitions; zeros when the benchmark did not run.
    Times median_of(const std::string& name) const {
        if (auto m = medians_.find(name); m != medians_.end()) return m->second;
        std::vector<double> real, cpu, ratio;
        if (auto s = samples_.find(name); s != samples_.end()) {
            for (const Times& t : s->second) {
                real.push_back(t.real);
                cpu.push_back(t.cpu);
                ratio.push_back(t.ratio);
            }
        }
        return {median(real), median(cpu), median(ratio)};
    }

    std::int64_t repetitions() const { return repetitions_; }

private:
    std::map<std::string, std::vector<Times>> samples_;
    std::map<std::string, Times> medians_;
    std::int64_t repetitions_ = 0;
};

// One row of the summary; nothing when the benchmark did not run.
void line(const char* what, const Times& t, const char* note = "") {
    if (t.real <= 0) return;
    std::printf("  %-40s %9.1f us %9.1f us%s\n", what, t.real / 1000, t.cpu / 1000, note);
}

const char* verdict(bool met) { return met ? "met" : "MISSED"; }

void summary(const Collector& c) {
    const Times run = c.median_of("BM_WholeRun");
    const Times run_floor = c.median_of("BM_FloorWholeRun");
    const Times platform = c.median_of("BM_Platform");
    const Times calls = c.median_of("BM_FloorSystemCalls");
    const Times identification = c.median_of("BM_FloorIdentification");
    const Times timing = c.median_of("BM_TimingProbe");
    const Times paired_run = c.median_of("BM_PairedWholeRun");
    const Times paired_platform = c.median_of("BM_PairedPlatform");
    const Times slow = c.median_of("BM_PairedSlowLinkTree");

    char title[64] = "Summary (per call, one repetition)";
    if (c.repetitions() > 1) {
        std::snprintf(title, sizeof title, "Summary (per call, median of %lld repetitions)",
                      static_cast<long long>(c.repetitions()));
    }
    std::printf("\n%-47s %9s %12s\n", title, "real", "CPU");
    char instructions[64];
    std::snprintf(instructions, sizeof instructions, "floor: %d identification instructions",
                  vmd::bench::floor_identification());
    char target[32];
    std::snprintf(target, sizeof target, "   target < 200 us: %s", verdict(timing.real < 200e3));
    line("floor: probe system calls", calls);
    line("platform part (detect_platform)", platform);
    line(instructions, identification);
    line("floor of a whole run", run_floor);
    line("whole run (vmd_detect_json)", run);
    line("timing probe alone (measure_timing)", timing, target);
    if (paired_platform.ratio > 0 || paired_run.ratio > 0 || slow.ratio > 0) {
        std::printf("Ratios to the floor, call and floor alternating (real time)\n");
    }
    if (paired_platform.ratio > 0) {
        std::printf("  %-40s %9.2fx\n", "platform part / its floor", paired_platform.ratio);
    }
    if (paired_run.ratio > 0) {
        std::printf("  %-40s %9.2fx   target <= 1.60x: %s\n", "whole run / its floor",
                    paired_run.ratio, verdict(paired_run.ratio <= 1.6));
    }
    if (slow.ratio > 0) {
        std::printf("  %-40s %9.2fx\n", "slow-link tree / the same plain tree", slow.ratio);
    }
}

// A call that fails at once and stands out in a trace.
void marker(const char* name) { (void)::access(name, F_OK); }

int trace(const char* what) {
    if (std::strcmp(what, "run") == 0) {
        marker("/vmd-bench-trace-begin");
        char* report = nullptr;
        const int status = vmd_detect_json(&report);
        marker("/vmd-bench-trace-end");
        vmd_free(report);
        return status == VMD_OK ? 0 : 1;
    }
    if (std::strcmp(what, "floor") == 0) {
        marker("/vmd-bench-trace-begin");
        vmd::bench::floor_whole_run();
        marker("/vmd-bench-trace-end");
        return 0;
    }
    std::fprintf(stderr, "vmd_bench: --trace takes run or floor\n");
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 2 && std::strncmp(argv[1], "--trace=", 8) == 0) return trace(argv[1] + 8);

    // glibc raises its mmap threshold after the first large block is freed,
    // so in a loop a large buffer would come from the heap on every run but
    // the first. A host calls once per process: keep every run as the first.
    mallopt(M_MMAP_THRESHOLD, 128 * 1024);
    mallopt(M_TRIM_THRESHOLD, 128 * 1024);

    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;

    const vmd::test::Tree tree;
    vmd::bench::fill_kubernetes_node(tree);
    vmd::bench::probe_tree = &tree;
    const vmd::test::Tree slow;
    vmd::bench::fill_slow_link_node(slow);
    vmd::bench::slow_link_tree = &slow;
    Collector collector(isatty(STDOUT_FILENO) ? benchmark::ConsoleReporter::OO_ColorTabular
                                              : benchmark::ConsoleReporter::OO_Tabular);
    benchmark::RunSpecifiedBenchmarks(&collector);
    benchmark::Shutdown();
    summary(collector);
    return 0;
}
