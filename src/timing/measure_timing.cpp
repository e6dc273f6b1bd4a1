#include "timing/timing.h"

#include <algorithm>
#include <array>
#include <cstddef>
#include <limits>

#if defined(__i386__) || defined(__x86_64__)
#include <cpuid.h>
#include <x86intrin.h>

#if defined(__linux__)
#include <sys/prctl.h>
#endif

#include "cpuid/leaves.h"
#endif

namespace vmd {

Timing timing_from(std::span<const Round> rounds) {
    Timing timing;
    timing.available = true;
    // The smallest sample of each kind: an interrupt or a move to another
    // core can only make a sample larger, never smaller.
    std::uint64_t best_base = std::numeric_limits<std::uint64_t>::max();
    std::uint64_t best_cpuid = best_base;
    std::size_t usable = 0;
    for (const Round& r : rounds) {
        // A counter that runs backwards (unsynchronised cores) or stands still
        // across a serialising instruction says nothing about its cost.
        if (r.base < r.start || r.end <= r.base) continue;
        ++usable;
        best_base = std::min(best_base, r.base - r.start);
        best_cpuid = std::min(best_cpuid, r.end - r.base);
    }
    if (usable == 0 || usable * 2 < rounds.size()) return timing;
    timing.measured = true;
    timing.cycles_over_baseline = best_cpuid > best_base ? best_cpuid - best_base : 0;
    return timing;
}

#if defined(__i386__) || defined(__x86_64__)
namespace {

// Each round costs one interception on a guest (about 4.5 microseconds under
// KVM), so sixteen keep the whole probe near 0.1 ms there.
constexpr std::size_t rounds = 16;
constexpr unsigned tsc_present = 1u << 4;    // leaf 1, EDX
constexpr unsigned sse2_present = 1u << 26;  // leaf 1, EDX: LFENCE came with SSE2

// The counter, and the fence that orders its reads. Every 64-bit processor
// has the fence; a 32-bit one may not (Debian's i386 baseline has no SSE2),
// and executing it there would kill the host with SIGILL, so without it the
// probe is unavailable.
bool counter_usable() {
    unsigned a, b, c, d;
    __cpuid(1, a, b, c, d);
    if ((d & tsc_present) == 0 || (d & sse2_present) == 0) return false;
#if defined(__linux__) && defined(PR_GET_TSC)
    // A process may make the counter fault for itself; reading it then would
    // kill the host.
    int state = 0;
    if (prctl(PR_GET_TSC, &state) == 0 && state == PR_TSC_SIGSEGV) return false;
#endif
    return true;
}

// LFENCE orders the counter reads around the timed code on both AMD (with
// the usual dispatch-serialising setting) and Intel. Written out rather than
// through _mm_lfence, which a 32-bit build without SSE2 in its baseline
// cannot compile; counter_usable() has made sure the processor has it.
inline void fence() { asm volatile("lfence" : : : "memory"); }

inline std::uint64_t stamp() {
    fence();
    const std::uint64_t t = __rdtsc();
    fence();
    return t;
}

inline void identify() {
    unsigned a, b, c, d;
    __cpuid_count(1, 0, a, b, c, d);
    asm volatile("" : : "r"(a), "r"(b), "r"(c), "r"(d));
}

}  // namespace

Timing measure_timing() {
    if (!cpuid_usable() || !counter_usable()) return Timing{};
    std::array<Round, rounds> taken;
    for (Round& r : taken) {
        r.start = stamp();
        r.base = stamp();
        identify();
        r.end = stamp();
    }
    return timing_from(taken);
}

#else

Timing measure_timing() { return Timing{}; }

#endif

}  // namespace vmd
