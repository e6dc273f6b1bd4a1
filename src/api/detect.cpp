#include "api/detect.h"

#include <chrono>

#include "cpuid/cpu.h"
#include "linux/linux.h"

namespace vmd {

void detect_platform(Result& result, Root root) { detect_linux(result, root); }

Run detect(const Machine& machine) {
    using clock = std::chrono::steady_clock;
    const clock::time_point start = clock::now();
    Run run;
    const std::optional<Processor>& recorded = machine.processor;
    if (!machine.platform_only) {
        detect_cpu(run.result, recorded ? decode_cpu(table_leaves(recorded->leaves)) : read_cpu());
    }
    detect_platform(run.result, Root(machine.root, machine.confined));
    // Last: the timing probe weighs what every other probe found.
    if (!machine.platform_only) {
        detect_timing(run.result, recorded ? recorded->timing : measure_timing());
    }
    const auto elapsed = std::chrono::duration_cast<std::chrono::nanoseconds>(clock::now() - start);
    run.duration_us = static_cast<std::int64_t>(elapsed.count() / 1000);
    return run;
}

}  // namespace vmd
