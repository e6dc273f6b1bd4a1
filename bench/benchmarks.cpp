// One benchmark per stage of a detection run, the whole run, and its floor.
#include <benchmark/benchmark.h>

#include <chrono>
#include <string>

#include "api/detect.h"
#include "cpuid/cpu.h"
#include "detection/report.h"
#include "firmware/smbios.h"
#include "fixtures.h"
#include "floor.h"
#include "linux/groups.h"
#include "linux/linux.h"
#include "linux/probe_file.h"
#include "timing/timing.h"
#include "vm_detection.h"

namespace vmd::bench {

const test::Tree* probe_tree = nullptr;
const test::Tree* slow_link_tree = nullptr;

namespace {

// --- The run and its floor, on this machine ---------------------------------

void BM_WholeRun(benchmark::State& state) {
    for (auto _ : state) {
        char* report = nullptr;
        if (vmd_detect_json(&report) != VMD_OK) state.SkipWithError("vmd_detect_json failed");
        benchmark::DoNotOptimize(report);
        vmd_free(report);
    }
}
BENCHMARK(BM_WholeRun);

void BM_FloorWholeRun(benchmark::State& state) {
    for (auto _ : state) floor_whole_run();
}
BENCHMARK(BM_FloorWholeRun);

// A call and its floor in alternation, each timed on its own, so that both
// meet the same load and cache state; the ratio comes from the same moments.
template <class Call, class Floor>
void paired(benchmark::State& state, Call call, Floor floor) {
    using clock = std::chrono::steady_clock;
    clock::duration in_call{}, in_floor{};
    bool floor_first = false;
    for (auto _ : state) {
        const clock::time_point t0 = clock::now();
        if (floor_first)
            floor();
        else
            call();
        const clock::time_point t1 = clock::now();
        if (floor_first)
            call();
        else
            floor();
        const clock::time_point t2 = clock::now();
        in_call += floor_first ? t2 - t1 : t1 - t0;
        in_floor += floor_first ? t1 - t0 : t2 - t1;
        floor_first = !floor_first;
    }
    const auto us = [&](clock::duration d) {
        return std::chrono::duration<double, std::micro>(d).count() /
               static_cast<double>(state.iterations());
    };
    state.counters["call_us"] = us(in_call);
    state.counters["floor_us"] = us(in_floor);
    state.counters["ratio"] = us(in_call) / us(in_floor);
}

void whole_run() {
    char* report = nullptr;
    vmd_detect_json(&report);
    benchmark::DoNotOptimize(report);
    vmd_free(report);
}

// The real file system's root prefix.
const std::string live_root;

void platform() {
    Result result;
    detect_platform(result, live_root);
    benchmark::DoNotOptimize(result.probes.data());
}

void BM_PairedWholeRun(benchmark::State& state) { paired(state, whole_run, floor_whole_run); }
BENCHMARK(BM_PairedWholeRun);

void BM_PairedPlatform(benchmark::State& state) {
    paired(state, platform, [] { benchmark::DoNotOptimize(floor_system_calls()); });
}
BENCHMARK(BM_PairedPlatform);

void BM_Platform(benchmark::State& state) {
    for (auto _ : state) {
        Result result;
        detect_platform(result, live_root);
        benchmark::DoNotOptimize(result.probes.data());
    }
}
BENCHMARK(BM_Platform);

void BM_FloorSystemCalls(benchmark::State& state) {
    for (auto _ : state) benchmark::DoNotOptimize(floor_system_calls());
}
BENCHMARK(BM_FloorSystemCalls);

void BM_FloorIdentification(benchmark::State& state) {
    for (auto _ : state) benchmark::DoNotOptimize(floor_identification());
}
BENCHMARK(BM_FloorIdentification);

void BM_CpuProbe(benchmark::State& state) {
    for (auto _ : state) {
        const Cpu cpu = read_cpu();
        benchmark::DoNotOptimize(cpu.signature.data());
    }
}
BENCHMARK(BM_CpuProbe);

void BM_TimingProbe(benchmark::State& state) {
    for (auto _ : state) {
        // Not const: Google Benchmark 1.8 deprecates DoNotOptimize of a
        // const object, which the compiler may keep in a register.
        Timing timing = measure_timing();
        benchmark::DoNotOptimize(timing.cycles_over_baseline);
    }
}
BENCHMARK(BM_TimingProbe);

void BM_ReadCpuinfo(benchmark::State& state) {
    std::size_t bytes = 0;
    for (auto _ : state) {
        const File file = read_file("", files::cpuinfo);
        bytes += file.contents.size();
        benchmark::DoNotOptimize(file.contents.data());
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(bytes));
}
BENCHMARK(BM_ReadCpuinfo);

// --- Stages over fixed inputs -------------------------------------------------

void BM_DetectLinuxKubernetesNode(benchmark::State& state) {
    const std::string root = probe_tree->root();
    for (auto _ : state) {
        Result result;
        detect_linux(result, root);
        benchmark::DoNotOptimize(result.evidence.data());
    }
}
BENCHMARK(BM_DetectLinuxKubernetesNode);

// The platform run with links confined, over a tree whose links are built to
// be slow and over the same node without them, in alternation: the ratio
// (call over "floor", here the plain tree) is what the slow links cost.
void BM_PairedSlowLinkTree(benchmark::State& state) {
    const std::string slow = slow_link_tree->root();
    const std::string plain = probe_tree->root();
    const auto over = [](const std::string& root) {
        return [&root] {
            Result result;
            detect_platform(result, Root(root, true));
            benchmark::DoNotOptimize(result.probes.data());
        };
    };
    paired(state, over(slow), over(plain));
}
BENCHMARK(BM_PairedSlowLinkTree);

void BM_ToJson40Evidence(benchmark::State& state) {
    const Result result = result_with_evidence();
    std::size_t bytes = 0;
    for (auto _ : state) {
        const std::string json = to_json(result, 1234);
        bytes += json.size();
        benchmark::DoNotOptimize(json.data());
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(bytes));
}
BENCHMARK(BM_ToJson40Evidence);

void BM_SmbiosTable(benchmark::State& state) {
    const std::string table = smbios_table();
    for (auto _ : state) {
        Result result;
        smbios(result, table);
        benchmark::DoNotOptimize(result.probes.data());
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) *
                            static_cast<std::int64_t>(table.size()));
}
BENCHMARK(BM_SmbiosTable);

void BM_CgroupScan64KiB(benchmark::State& state) {
    const std::string text = large_cgroup_text();
    for (auto _ : state) {
        Result result;
        cgroup_markers(result, text);
        benchmark::DoNotOptimize(result.evidence.data());
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) *
                            static_cast<std::int64_t>(text.size()));
}
BENCHMARK(BM_CgroupScan64KiB);

}  // namespace
}  // namespace vmd::bench
