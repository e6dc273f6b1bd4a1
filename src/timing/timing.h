// How much longer the identification instruction takes than a baseline: a
// hypervisor that intercepts it makes it thousands of cycles slower.
#pragma once

#include <cstdint>

#include "detection/result.h"

namespace vmd {

struct Timing {
    bool available = false;  // the processor has the instruction and a cycle counter
    bool measured = false;   // a usable figure came out; implies available
    std::uint64_t cycles_over_baseline = 0;
};

inline constexpr std::uint64_t timing_threshold = 1000;

// The empty record where there is no identification instruction.
Timing measure_timing();

// Records the "timing" probe and at most one finding. Reads the evidence
// gathered so far, so it must run after every other detector.
void detect_timing(Result& result, const Timing& timing);

}  // namespace vmd
