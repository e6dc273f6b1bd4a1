// The detection run over recorded facts: the processor probes around the
// platform probes, and the rules that cross them.
#include "api/detect.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <string>

#include "detection/report.h"
#include "support/child.h"
#include "support/listing.h"
#include "support/tree.h"

namespace vmd {
namespace {

using List = std::vector<std::string>;

constexpr Registers guest_leaf1{0x000906ea, 0x00100800, 0xfffa3203, 0x1f8bfbff};
constexpr Registers xen_base{0x40000005, 0x566e6558, 0x65584d4d, 0x4d4d566e};

Run replay(const test::Tree& tree, std::vector<Leaf> leaves, Timing timing) {
    Machine machine;
    machine.root = tree.root();
    machine.processor = Processor{std::move(leaves), timing};
    return detect(machine);
}

TEST(Detect, ReplayedProcessorFactsMeetThePlatformProbes) {
    test::Tree tree;
    tree.file("/sys/hypervisor/type", "xen\n");  // no role files: the role is undecided
    const auto run =
        replay(tree, {{1, 0, guest_leaf1}, {0x40000000, 0, xen_base}}, Timing{true, true, 25000});
    // The processor's Xen finding is lowered by the platform probes, and
    // the slow instruction is only a note beside a named hypervisor.
    EXPECT_EQ(
        test::findings(run.result, "|"),
        (List{"cpu|guest|xen|50|XenVMMXenVMM",
              "hypervisor|guest|xen|50|Xen domain; role unavailable",
              "timing|diagnostic|unknown|0|cpuid 25000 cycles over baseline (threshold 1000)"}));
    const List probes = test::probe_list(run.result, "|");
    ASSERT_EQ(probes.size(), 10u);
    EXPECT_EQ(probes.front(), "cpu|ok");
    EXPECT_EQ(probes.back(), "timing|ok");
    EXPECT_GE(run.duration_us, 0);
}

TEST(Detect, NoInstructionNoFigureAndPlatformOnly) {
    test::Tree tree;
    const auto bare = replay(tree, {}, Timing{});
    const List probes = test::probe_list(bare.result, "|");
    EXPECT_EQ(probes.front(), "cpu|unavailable");
    EXPECT_EQ(probes.back(), "timing|unavailable");
    EXPECT_TRUE(bare.result.evidence.empty());

    // A slow instruction with nothing else found is weak guest evidence.
    const auto slow = replay(tree, {{1, 0, {0, 0, 0, 0}}}, Timing{true, true, 5000});
    EXPECT_EQ(test::findings(slow.result, "|"),
              List{"timing|guest|unknown|50|cpuid 5000 cycles over baseline (over 1000); no "
                   "hypervisor identity"});

    Machine platform;
    platform.root = tree.root();
    platform.platform_only = true;
    platform.processor = Processor{{{1, 0, guest_leaf1}, {0x40000000, 0, xen_base}}, Timing{}};
    const List only = test::probe_list(detect(platform).result, "|");
    EXPECT_EQ(only.size(), 8u);
    EXPECT_EQ(only.front(), "firmware|unavailable");
}

// The report with what a run measures rather than reads masked: its
// duration, and the timing probe, whose figure (and so whether it counts as
// a finding) differs from one run to the next.
std::string masked_report(Run run) {
    Result& r = run.result;
    r.evidence.erase(std::remove_if(r.evidence.begin(), r.evidence.end(),
                                    [](const Evidence& e) { return e.source == "timing"; }),
                     r.evidence.end());
    for (Probe& p : r.probes) {
        if (p.source == "timing") p.status = "masked";
    }
    return to_json(r, 0);
}

TEST(Detect, ClosedStandardDescriptorsChangeNothing) {
    // A daemon that closed its standard input, output and error gets 0, 1 and
    // 2 from its first opens: the run must read through them and close them
    // like any others. Each run is made again in a child with the three
    // closed, and its report compared with the one made here.
    test::Tree tree;
    tree.file("/sys/class/dmi/id/sys_vendor", "QEMU\n");
    tree.file("/sys/class/dmi/id/product_name", "Standard PC (Q35 + ICH9, 2009)\n");
    tree.file("/sys/class/dmi/id/bios_vendor", "SeaBIOS\n");
    tree.file("/sys/hypervisor/type", "xen\n");
    tree.file("/proc/cpuinfo", "processor\t: 0\nflags\t\t: fpu hypervisor\n");
    tree.file("/proc/self/cgroup", "0::/docker/" + std::string(64, 'c') + "\n");
    tree.file("/run/.containerenv", "");
    tree.link("/proc/device-tree", "/sys/firmware/devicetree/base");
    tree.file("/sys/firmware/devicetree/base/compatible", std::string("linux,dummy-virt\0", 17));

    Machine live;
    Machine captured;
    captured.root = tree.root();
    Machine node = captured;
    node.confined = true;
    for (const Machine* machine : {&live, &captured, &node}) {
        const std::string expected = masked_report(detect(*machine));
        const test::ChildOutcome outcome = test::in_child([&] {
            for (int fd : {0, 1, 2}) ::close(fd);
            std::string report = masked_report(detect(*machine));
            for (int fd : {0, 1, 2}) {
                if (::fcntl(fd, F_GETFD) >= 0)
                    report += " and descriptor " + std::to_string(fd) + " left open";
            }
            return report;
        });
        EXPECT_TRUE(outcome.finished) << machine->root;
        EXPECT_EQ(outcome.output, expected) << "root \"" << machine->root << "\"";
    }
}

}  // namespace
}  // namespace vmd
