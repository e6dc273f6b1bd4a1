#include "timing/timing.h"

#if defined(__i386__) || defined(__x86_64__)
#include <cpuid.h>
#include <x86intrin.h>
#endif

namespace vmd {

#if defined(__i386__) || defined(__x86_64__)
namespace {

// Each round costs one interception on a guest (about 4.5 microseconds under
// KVM), so a few dozen keep the probe well under 0.2 ms.
constexpr int rounds = 24;
constexpr unsigned tsc_present = 1u << 4;  // leaf 1, EDX

// LFENCE orders the counter reads around the timed code on both AMD (with
// the usual dispatch-serialising setting) and Intel.
inline std::uint64_t stamp() {
    _mm_lfence();
    const std::uint64_t t = __rdtsc();
    _mm_lfence();
    return t;
}

inline void identify() {
    unsigned a, b, c, d;
    __cpuid_count(1, 0, a, b, c, d);
    asm volatile("" : : "r"(a), "r"(b), "r"(c), "r"(d));
}

}  // namespace

Timing measure_timing() {
    Timing timing;
    if (__get_cpuid_max(0, nullptr) < 1) return timing;
    unsigned a, b, c, d;
    __cpuid(1, a, b, c, d);
    if ((d & tsc_present) == 0) return timing;
    timing.available = true;

    // The smallest sample of each kind: an interrupt or a move to another
    // core can only make a sample larger, never smaller.
    std::uint64_t best_base = ~std::uint64_t{0};
    std::uint64_t best_cpuid = ~std::uint64_t{0};
    int usable = 0;
    for (int i = 0; i < rounds; ++i) {
        const std::uint64_t t0 = stamp();
        const std::uint64_t t1 = stamp();
        identify();
        const std::uint64_t t2 = stamp();
        // A counter that runs backwards (unsynchronised cores) spoils the round.
        if (t1 < t0 || t2 < t1) continue;
        ++usable;
        if (t1 - t0 < best_base) best_base = t1 - t0;
        if (t2 - t1 < best_cpuid) best_cpuid = t2 - t1;
    }
    if (usable < rounds / 2) return timing;
    timing.measured = true;
    timing.cycles_over_baseline = best_cpuid > best_base ? best_cpuid - best_base : 0;
    return timing;
}

#else

Timing measure_timing() { return Timing{}; }

#endif

}  // namespace vmd
