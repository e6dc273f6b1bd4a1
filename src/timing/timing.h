// How much longer the identification instruction takes than a baseline: a
// hypervisor that intercepts it makes it thousands of cycles slower.
#pragma once

#include <cstdint>
#include <span>

#include "detection/result.h"

namespace vmd {

struct Timing {
    bool available = false;  // the instruction, a cycle counter and the fence (LFENCE) are there
    bool measured = false;   // a usable figure came out; implies available
    std::uint64_t cycles_over_baseline = 0;
};

inline constexpr std::uint64_t timing_threshold = 1000;

// Cycle counter readings of one round: at `start`, at `base` after the bare
// timing sequence, at `end` after the same sequence with the instruction.
struct Round {
    std::uint64_t start = 0;
    std::uint64_t base = 0;
    std::uint64_t end = 0;
};

// The figure from rounds taken where the counter exists: the smallest time
// with the instruction less the smallest time without it, over the rounds in
// which the counter never ran backwards and moved across the instruction.
// Not measured when fewer than half of the rounds, or none, are usable.
Timing timing_from(std::span<const Round> rounds);

// The empty record where the instruction or the counter cannot be used.
Timing measure_timing();

// Records the "timing" probe and at most one finding. Reads the evidence
// gathered so far, so it must run after every other detector.
void detect_timing(Result& result, const Timing& timing);

}  // namespace vmd
