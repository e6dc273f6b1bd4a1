#include "timing/timing.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <string>
#include <thread>
#include <tuple>
#include <vector>
#include "support/listing.h"

#if defined(__i386__) || defined(__x86_64__)
#include <cpuid.h>
#endif
#if (defined(__i386__) || defined(__x86_64__)) && defined(__linux__)
#include <sys/prctl.h>
#include <unistd.h>
#endif

namespace vmd {
namespace {

using List = std::vector<std::string>;

List evidence(const Result& r) { return test::findings(r, "|"); }

Timing measured(std::uint64_t cycles) { return Timing{true, true, cycles}; }

// The evidence that detect_timing appends after what `before` holds.
List added(const Timing& timing, const Result& before = {}) {
    Result r = before;
    detect_timing(r, timing);
    EXPECT_EQ(r.probes.size(), before.probes.size() + 1);
    EXPECT_EQ(r.probes.back().source + "|" + r.probes.back().status, "timing|ok");
    const List all = evidence(r);
    return List(all.begin() + static_cast<std::ptrdiff_t>(before.evidence.size()), all.end());
}

const std::string diagnostic = "timing|diagnostic|unknown|0|cpuid ";
const std::string slow = "timing|guest|unknown|50|cpuid ";

TEST(DetectTiming, ProbeStatusFollowsTheRecordAndOnlyAMeasurementGivesEvidence) {
    const auto status = [](const Timing& t) {
        Result r;
        detect_timing(r, t);
        EXPECT_TRUE(r.evidence.empty());
        return r.probes.size() == 1 && r.probes[0].source == "timing" ? r.probes[0].status : "?";
    };
    EXPECT_EQ(status(Timing{}), "unavailable");
    EXPECT_EQ(status(Timing{true, false, 50000}), "error");
    // A record claiming a figure without a counter is not believed.
    EXPECT_EQ(status(Timing{false, true, 50000}), "unavailable");
}

TEST(DetectTiming, ThresholdIsExclusiveAndTheTextsAreExact) {
    EXPECT_EQ(added(measured(0)), List{diagnostic + "0 cycles over baseline (threshold 1000)"});
    EXPECT_EQ(added(measured(1000)),
              List{diagnostic + "1000 cycles over baseline (threshold 1000)"});
    EXPECT_EQ(added(measured(1001)),
              List{slow + "1001 cycles over baseline (over 1000); no hypervisor identity"});
    EXPECT_EQ(added(measured(std::numeric_limits<std::uint64_t>::max())),
              List{slow + "18446744073709551615 cycles over baseline (over 1000); "
                          "no hypervisor identity"});
}

TEST(DetectTiming, OnlyGuestOrHostEvidenceAlreadyRecordedIsIdentity) {
    const std::string quiet = diagnostic + "11000 cycles over baseline (threshold 1000)";
    const std::string loud =
        slow + "11000 cycles over baseline (over 1000); no hypervisor identity";

    Result cpu_guest;
    cpu_guest.add("cpu", "guest", "kvm", 95, "KVMKVMKVM");
    EXPECT_EQ(added(measured(11000), cpu_guest), List{quiet});

    Result root;
    root.add("cpu", "host", "hyperv", 0, "root partition privileges");
    EXPECT_EQ(added(measured(11000), root), List{quiet});

    // Identity anywhere in the list counts, from any source, whatever its weight.
    Result late;
    late.add("container", "container", "docker", 0, "/.dockerenv");
    late.add("firmware", "cloud", "aws", 0, "Amazon EC2");
    late.add("hypervisor", "guest", "xen", 0, "xen");
    EXPECT_EQ(added(measured(11000), late), List{quiet});

    Result none;
    none.add("container", "container", "docker", 0, "/.dockerenv");
    none.add("firmware", "cloud", "aws", 0, "Amazon EC2");
    none.add("system", "compatibility", "wsl2", 0, "WSL2 kernel");
    none.add("timing", "diagnostic", "unknown", 0, "earlier note");
    // Probes are not evidence: a successful "cpu" check names nothing.
    none.probe("cpu", "ok");
    EXPECT_EQ(added(measured(11000), none), List{loud});
}

TEST(TimingFrom, SmallestWithLessSmallestWithoutOverUsableRounds) {
    // The smallest samples come from different rounds; an interrupted round
    // is far larger and changes nothing.
    const Round rounds[] = {
        {1000, 1040, 12040},     // base 40, cpuid 11000
        {20000, 20030, 31530},   // base 30, cpuid 11500
        {40000, 40045, 50945},   // base 45, cpuid 10900
        {60000, 90000, 400000},  // interrupted
    };
    const Timing t = timing_from(rounds);
    EXPECT_TRUE(t.available && t.measured);
    EXPECT_EQ(t.cycles_over_baseline, 10900u - 30u);
}

TEST(TimingFrom, RoundsWhereTheCounterRunsBackwardsOrStandsStillAreDropped) {
    // Each spoiled round would otherwise give the smallest sample.
    const Round rounds[] = {
        {1000, 1040, 12040},    // base 40, cpuid 11000
        {5000, 4000, 4010},     // backwards before the instruction
        {7000, 7010, 6000},     // backwards across it
        {9000, 9000, 9000},     // stands still
        {20000, 20050, 31050},  // base 50, cpuid 11000
        {30000, 30040, 41040},  // base 40, cpuid 11000
    };
    const Timing t = timing_from(rounds);
    EXPECT_TRUE(t.measured);
    EXPECT_EQ(t.cycles_over_baseline, 11000u - 40u);
}

TEST(TimingFrom, NeedsHalfTheRoundsUsable) {
    const Round good{100, 130, 11130};
    const Round bad{500, 400, 300};
    EXPECT_TRUE(timing_from(std::vector<Round>{good, good, bad, bad}).measured);
    EXPECT_FALSE(timing_from(std::vector<Round>{good, bad, bad, bad}).measured);
    EXPECT_FALSE(timing_from(std::vector<Round>{}).measured);
    // A frozen counter gives nothing rather than a figure of 0.
    const Timing frozen = timing_from(std::vector<Round>(16, Round{777, 777, 777}));
    EXPECT_TRUE(frozen.available);
    EXPECT_FALSE(frozen.measured);
    EXPECT_EQ(frozen.cycles_over_baseline, 0u);
}

TEST(TimingFrom, AFigureNeedsAtLeastHalfTheRoundsUsableWhateverTheirNumber) {
    const Round good{100, 130, 11130};
    const Round bad{500, 400, 300};
    // Usable rounds, spoiled ones among them, and whether a figure comes out.
    const std::tuple<std::size_t, std::size_t, bool> cases[] = {
        {1, 0, true},  {1, 1, true},  {8, 8, true},  {3, 3, true},  {2, 1, true},  {9, 7, true},
        {1, 2, false}, {2, 3, false}, {7, 9, false}, {0, 1, false}, {1, 15, false}};
    for (const auto& [usable, spoiled, figure] : cases) {
        std::vector<Round> rounds(usable, good);
        rounds.insert(rounds.begin() + static_cast<std::ptrdiff_t>(usable / 2), spoiled, bad);
        const Timing t = timing_from(rounds);
        EXPECT_TRUE(t.available);
        EXPECT_EQ(t.measured, figure) << usable << " of " << usable + spoiled;
        EXPECT_EQ(t.cycles_over_baseline, figure ? 11000u - 30u : 0u) << usable << " usable";
    }
}

TEST(TimingFrom, ACounterTooCoarseToMoveAcrossTheBareSequenceStillTimesTheInstruction) {
    // A counter of coarse steps often reads the same before and after the
    // fences alone, yet moves across an intercepted instruction: a baseline
    // of 0 is a measurement, not a spoiled round.
    const Round rounds[] = {
        {1000, 1000, 3000},   // base 0, cpuid 2000
        {5000, 5000, 7000},   // base 0, cpuid 2000
        {9000, 9100, 11000},  // base 100, cpuid 1900
        {13000, 13000, 15000},
    };
    const Timing t = timing_from(rounds);
    EXPECT_TRUE(t.measured);
    EXPECT_EQ(t.cycles_over_baseline, 1900u);
    // Every round alike: still a figure.
    const Timing coarse = timing_from(std::vector<Round>(16, Round{400, 400, 2400}));
    EXPECT_TRUE(coarse.measured);
    EXPECT_EQ(coarse.cycles_over_baseline, 2000u);
}

TEST(TimingFrom, InstructionFasterThanBaselineIsZeroNotAWrap) {
    const Round rounds[] = {{0, 50, 90}, {100, 160, 200}};
    const Timing t = timing_from(rounds);
    EXPECT_TRUE(t.measured);
    EXPECT_EQ(t.cycles_over_baseline, 0u);
}

TEST(MeasureTiming, GivesASaneRecordOnThisMachine) {
    const Timing t = measure_timing();
#if defined(__i386__) || defined(__x86_64__)
    // A 32-bit processor without SSE2 has no LFENCE: unavailable, and no
    // SIGILL (the architectures stage runs i386 on such a processor too).
    unsigned a, b, c, d;
    __cpuid(1, a, b, c, d);
    if ((d & (1u << 26)) == 0) {
        EXPECT_FALSE(t.available || t.measured);
        return;
    }
    ASSERT_TRUE(t.available);
    EXPECT_TRUE(t.measured);
    // Not a timing check: only that the figure is not garbage.
    EXPECT_LT(t.cycles_over_baseline, 1'000'000'000u);
#else
    EXPECT_FALSE(t.available || t.measured);
    EXPECT_EQ(t.cycles_over_baseline, 0u);
#endif
}

#if (defined(__i386__) || defined(__x86_64__)) && defined(__linux__)
// Whether the kernel lets a thread make the counter fault (qemu-user, which
// reads the counter for its guest, refuses); tried on a thread of its own so
// that the test process is left as it was.
bool counter_can_be_forbidden() {
    bool can = false;
    std::thread([&can] {
        can = prctl(PR_SET_TSC, PR_TSC_SIGSEGV) == 0;
        if (can) prctl(PR_SET_TSC, PR_TSC_ENABLE);
    }).join();
    return can;
}

TEST(MeasureTimingDeathTest, ForbiddenCounterIsUnavailableInsteadOfACrash) {
    if (!counter_can_be_forbidden()) GTEST_SKIP() << "the counter cannot be made to fault here";
    EXPECT_EXIT(
        {
            if (prctl(PR_SET_TSC, PR_TSC_SIGSEGV) != 0) _exit(3);
            const Timing t = measure_timing();
            _exit(t.available || t.measured ? 1 : 0);
        },
        ::testing::ExitedWithCode(0), "");
}
#endif

}  // namespace
}  // namespace vmd
