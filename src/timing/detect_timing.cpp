#include <algorithm>
#include <string>

#include "timing/timing.h"

namespace vmd {

void detect_timing(Result& result, const Timing& timing) {
    if (!timing.available) {
        result.probe("timing", "unavailable");
        return;
    }
    result.probe("timing", timing.measured ? "ok" : "error");
    if (!timing.measured) return;

    // A slow instruction only says something when no other probe has already
    // named the hypervisor (or shown this machine to be its host).
    const bool identity = std::any_of(
        result.evidence.begin(), result.evidence.end(),
        [](const Evidence& e) { return e.category == "guest" || e.category == "host"; });
    const bool slow = timing.cycles_over_baseline > timing_threshold && !identity;

    std::string detail = "cpuid ";
    detail += std::to_string(timing.cycles_over_baseline);
    detail += " cycles over baseline (";
    detail += slow ? "over " : "threshold ";
    detail += std::to_string(timing_threshold);
    detail += ")";
    if (slow) {
        detail += "; no hypervisor identity";
        result.add("timing", "guest", "unknown", 50, detail);
    } else {
        result.add("timing", "diagnostic", "unknown", 0, detail);
    }
}

}  // namespace vmd
