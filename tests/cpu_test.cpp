#include "cpuid/cpu.h"
#include "timing/timing.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "support/listing.h"

#if defined(__x86_64__) && defined(__linux__)
#include <asm/prctl.h>
#include <sys/syscall.h>
#include <unistd.h>
#endif

namespace vmd {
namespace {

using List = std::vector<std::string>;

List evidence(const Result& r) { return test::findings(r, "|"); }
List probes(const Result& r) { return test::probe_list(r, "|"); }

Cpu guest(std::string signature, std::string kvm_signature = "", bool root = false) {
    return Cpu{true, true, root, std::move(signature), std::move(kvm_signature)};
}

List detected(const Cpu& cpu) {
    Result r;
    detect_cpu(r, cpu);
    EXPECT_EQ(probes(r), List{"cpu|ok"});
    return evidence(r);
}

TEST(DetectCpu, NoEvidenceUnlessTheInterfaceAnswersAndNamesAHypervisor) {
    Result empty;
    detect_cpu(empty, Cpu{});
    EXPECT_EQ(probes(empty), List{"cpu|unavailable"});
    EXPECT_TRUE(empty.evidence.empty());

    // Fields left over in an unavailable record are not believed.
    Result stale;
    detect_cpu(stale, Cpu{false, true, false, "KVMKVMKVM", "KVMKVMKVM"});
    EXPECT_EQ(probes(stale), List{"cpu|unavailable"});
    EXPECT_TRUE(stale.evidence.empty());

    Result bare;
    detect_cpu(bare, Cpu{true, false, true, "Microsoft Hv", "KVMKVMKVM"});
    EXPECT_EQ(probes(bare), List{"cpu|ok"});
    EXPECT_TRUE(bare.evidence.empty());
}

// The signatures that no recorded machine below shows.
TEST(DetectCpu, OtherKnownSignaturesNameTheirVendor) {
    const std::pair<std::string, std::string> rows[] = {
        {"Linux KVM Hv", "kvm"},  {"VBoxVBoxVBox", "virtualbox"}, {"BHyVE BHyVE ", "bhyve"},
        {"ACRNACRNACRN", "acrn"}, {"QNXQVMBSQG", "qnx"},          {"SRESRESRESRE", "sre"},
        {"___ NVMM ___", "nvmm"}, {"Apple VZ", "apple"},          {"prl hyperv  ", "parallels"},
    };
    for (const auto& [signature, vendor] : rows) {
        EXPECT_EQ(detected(guest(signature)), List{"cpu|guest|" + vendor + "|95|" + signature});
    }
}

TEST(DetectCpu, NearMissesAreUnknownButStillAGuestWithTheSignatureAsHeld) {
    const std::string near_misses[] = {
        "abcdefghijkl",
        "vmwarevmware",
        "prl hyperv",
        " prl hyperv",
        "bhyve bhyve",
        "KVMKVMKVM ",
        "microsoft hv",
        std::string("KVMKVMKVM\0\0\0", 12),
        "",
    };
    for (const std::string& s : near_misses) {
        EXPECT_EQ(detected(guest(s)), List{"cpu|guest|unknown|95|" + s}) << s;
    }
}

TEST(DetectCpu, RootPartitionMakesAHyperVHostAndNothingElse) {
    EXPECT_EQ(detected(guest("Microsoft Hv", "", true)),
              List{"cpu|host|hyperv|0|root partition privileges"});
    EXPECT_EQ(detected(guest("KVMKVMKVM", "", true)), List{"cpu|guest|kvm|95|KVMKVMKVM"});
    EXPECT_EQ(detected(guest("abcdefghijkl", "", true)), List{"cpu|guest|unknown|95|abcdefghijkl"});
    // The second range is looked at whatever the first said.
    EXPECT_EQ(detected(guest("Microsoft Hv", "KVMKVMKVM", true)),
              (List{"cpu|host|hyperv|0|root partition privileges",
                    "cpu|guest|kvm|95|KVM interface at 0x40000100"}));
}

TEST(DetectCpu, SecondRangeCountsOnlyWhenItIsKvm) {
    const std::string kvm_after = "cpu|guest|kvm|95|KVM interface at 0x40000100";
    EXPECT_EQ(detected(guest("Microsoft Hv", "KVMKVMKVM")),
              (List{"cpu|guest|hyperv|50|Microsoft Hv", kvm_after}));
    EXPECT_EQ(detected(guest("Microsoft Hv", "Linux KVM Hv")),
              (List{"cpu|guest|hyperv|50|Microsoft Hv", kvm_after}));
    EXPECT_EQ(detected(guest("KVMKVMKVM", "KVMKVMKVM")),
              (List{"cpu|guest|kvm|95|KVMKVMKVM", kvm_after}));
    for (const char* other : {"XenVMMXenVMM", "TCGTCGTCGTCG", "kvmkvmkvm", "KVMKVMKVM\t"}) {
        EXPECT_EQ(detected(guest("Microsoft Hv", other)), List{"cpu|guest|hyperv|50|Microsoft Hv"})
            << other;
    }
}

// Identification leaves as hypervisors answer them: leaf 1 (ECX bit 31 is
// the hypervisor flag), the base leaf 0x40000000 (the highest leaf of the
// range in EAX, the signature in EBX, ECX, EDX), Hyper-V's privilege leaf
// 0x40000003 and the second range at 0x40000100.
struct Recording {
    const char* name;
    std::vector<Leaf> leaves;
    bool hypervisor;
    bool root_partition;
    std::string signature;
    std::string kvm_signature;
    List evidence;  // what the "cpu" probe makes of it
};

constexpr Registers epyc_guest{0x000a0671, 0x01020800, 0xfffa3203, 0x1f8bfbff};
constexpr Registers xeon_guest{0x000906ea, 0x00100800, 0xfffa3203, 0x1f8bfbff};
constexpr Registers kvm{0x40000001, 0x4b4d564b, 0x564b4d56, 0x0000004d};
constexpr Registers hyperv_base{0x4000000c, 0x7263694d, 0x666f736f, 0x76482074};
// Partition privileges: EAX the low half, EBX the high half.
constexpr std::uint32_t guest_privileges = 0x003b8030;  // post messages, signal events, ...
// A root partition also holds the rights to create partitions and manage processors.
constexpr std::uint32_t root_privileges = guest_privileges | 0x1001;
constexpr std::uint32_t isolation = 0x00400000;

// clang-format off
const Recording recordings[] = {
    {"KVM", {{1, 0, epyc_guest}, {0x40000000, 0, kvm}}, true, false, "KVMKVMKVM", "",
     {"cpu|guest|kvm|95|KVMKVMKVM"}},
    {"KVM with Hyper-V enlightenments",
     {{1, 0, epyc_guest},
      {0x40000000, 0, {0x40000005, 0x7263694d, 0x666f736f, 0x76482074}},
      {0x40000003, 0, {0x00000e7f, 0x00000030, 0x00000002, 0x00000000}},
      {0x40000100, 0, {0x40000101, 0x4b4d564b, 0x564b4d56, 0x0000004d}}},
     true, false, "Microsoft Hv", "KVMKVMKVM",
     {"cpu|guest|hyperv|50|Microsoft Hv", "cpu|guest|kvm|95|KVM interface at 0x40000100"}},
    {"Hyper-V guest",
     {{1, 0, xeon_guest},
      {0x40000000, 0, hyperv_base},
      {0x40000003, 0, {0x0000ae7f, guest_privileges, 0x00000002, 0x00bed7b2}}},
     true, false, "Microsoft Hv", "",
     {"cpu|guest|hyperv|50|Microsoft Hv"}},
    {"Hyper-V root partition",
     {{1, 0, xeon_guest},
      {0x40000000, 0, hyperv_base},
      {0x40000003, 0, {0x00002fff, root_privileges, 0x00000002, 0x00bed7b2}}},
     true, true, "Microsoft Hv", "",
     {"cpu|host|hyperv|0|root partition privileges"}},
    {"isolated Hyper-V partition claiming root privileges",
     {{1, 0, xeon_guest},
      {0x40000000, 0, hyperv_base},
      {0x40000003, 0, {0x0000ae7f, root_privileges | isolation, 0x00000002, 0x00bed7b2}}},
     true, false, "Microsoft Hv", "",
     {"cpu|guest|hyperv|50|Microsoft Hv"}},
    {"Hyper-V whose range ends before the privilege leaf",
     {{1, 0, xeon_guest},
      {0x40000000, 0, {0x40000001, 0x7263694d, 0x666f736f, 0x76482074}},
      {0x40000003, 0, {0x00002fff, root_privileges, 0x00000002, 0x00bed7b2}}},
     true, false, "Microsoft Hv", "",
     {"cpu|guest|hyperv|50|Microsoft Hv"}},
    {"VMware",
     {{1, 0, xeon_guest}, {0x40000000, 0, {0x40000010, 0x61774d56, 0x4d566572, 0x65726177}}},
     true, false, "VMwareVMware", "",
     {"cpu|guest|vmware|95|VMwareVMware"}},
    {"Xen HVM",
     {{1, 0, xeon_guest}, {0x40000000, 0, {0x40000005, 0x566e6558, 0x65584d4d, 0x4d4d566e}}},
     true, false, "XenVMMXenVMM", "",
     {"cpu|guest|xen|95|XenVMMXenVMM"}},
    {"Xen HVM with its Hyper-V interface, Xen moved to the second range",
     {{1, 0, xeon_guest},
      {0x40000000, 0, {0x40000006, 0x7263694d, 0x666f736f, 0x76482074}},
      {0x40000100, 0, {0x40000105, 0x566e6558, 0x65584d4d, 0x4d4d566e}}},
     true, false, "Microsoft Hv", "XenVMMXenVMM",
     {"cpu|guest|hyperv|50|Microsoft Hv"}},
    {"bhyve",
     {{1, 0, epyc_guest}, {0x40000000, 0, {0x40000001, 0x76796862, 0x68622065, 0x20657679}}},
     true, false, "bhyve bhyve ", "",
     {"cpu|guest|bhyve|95|bhyve bhyve "}},
    {"Parallels",
     {{1, 0, xeon_guest}, {0x40000000, 0, {0x40000001, 0x6c727020, 0x70796820, 0x20767265}}},
     true, false, " prl hyperv ", "",
     {"cpu|guest|parallels|95| prl hyperv "}},
    {"QEMU TCG",
     {{1, 0, {0x000006d3, 0x00000800, 0x80002001, 0x078bfbfd}},
      {0x40000000, 0, {0x40000001, 0x54474354, 0x43544743, 0x47435447}}},
     true, false, "TCGTCGTCGTCG", "",
     {"cpu|guest|qemu|95|TCGTCGTCGTCG"}},
    {"second range answering with another leaf's data",
     {{1, 0, epyc_guest}, {0x40000000, 0, kvm}, {0x40000100, 0, {0x00000000, 0x00070001, 0, 0}}},
     true, false, "KVMKVMKVM", "",
     {"cpu|guest|kvm|95|KVMKVMKVM"}},
    {"bare metal: stray values in the hypervisor leaves are not read",
     {{1, 0, {0x000906ea, 0x00100800, 0x7ffafbff, 0xbfebfbff}},
      {0x40000000, 0, {0x00000bb8, 0x00001194, 0x00000064, 0x00000000}},
      {0x40000003, 0, {0xffffffff, 0xffffffff, 0xffffffff, 0xffffffff}},
      {0x40000100, 0, {0x40000101, 0x4b4d564b, 0x564b4d56, 0x0000004d}}},
     false, false, "", "",
     {}},
    {"hypervisor flag alone: missing leaves read as zeros",
     {{1, 0, epyc_guest}}, true, false, "", "",
     {"cpu|guest|unknown|95|"}},
};
// clang-format on

TEST(DecodeCpu, LeavesOfRealHypervisors) {
    for (const Recording& m : recordings) {
        SCOPED_TRACE(m.name);
        const Cpu cpu = decode_cpu(table_leaves(m.leaves));
        EXPECT_TRUE(cpu.available);
        EXPECT_EQ(cpu.hypervisor, m.hypervisor);
        EXPECT_EQ(cpu.root_partition, m.root_partition);
        EXPECT_EQ(cpu.signature, m.signature);
        EXPECT_EQ(cpu.kvm_signature, m.kvm_signature);
        Result r;
        detect_cpu(r, cpu);
        EXPECT_EQ(evidence(r), m.evidence);
    }
    // No leaves at all: a processor without the instruction.
    const Cpu none = decode_cpu(table_leaves({}));
    EXPECT_FALSE(none.available || none.hypervisor);
    EXPECT_TRUE(none.signature.empty() && none.kvm_signature.empty());
}

TEST(DecodeCpu, AsksOnlySubleafZeroOfTheLeavesItNeeds) {
    // A table answering any other subleaf would show through the signature.
    const std::vector<Leaf> leaves = {
        {1, 0, epyc_guest}, {0x40000000, 1, hyperv_base}, {0x40000000, 0, kvm}};
    EXPECT_EQ(decode_cpu(table_leaves(leaves)).signature, "KVMKVMKVM");
}

#if defined(__i386__) || defined(__x86_64__)
// The words of the first "flags" line, or nothing when there is none.
std::vector<std::string> cpuinfo_flags() {
    std::ifstream in("/proc/cpuinfo");
    std::string line;
    while (std::getline(in, line)) {
        if (line.rfind("flags", 0) != 0 || line.find(':') == std::string::npos) continue;
        std::istringstream words(line.substr(line.find(':') + 1));
        std::vector<std::string> out;
        for (std::string w; words >> w;) out.push_back(w);
        return out;
    }
    return {};
}

bool bare_signature(const std::string& s) {
    return s.size() <= 12 && (s.empty() || s.back() != '\0');
}
#endif

TEST(ReadCpu, AgreesWithTheKernelOnTheHypervisorFlag) {
#if defined(__i386__) || defined(__x86_64__)
    const std::vector<std::string> flags = cpuinfo_flags();
    if (flags.empty()) GTEST_SKIP() << "no flags line in /proc/cpuinfo";
    const bool kernel_says = std::find(flags.begin(), flags.end(), "hypervisor") != flags.end();

    const Cpu cpu = read_cpu();
    ASSERT_TRUE(cpu.available);
    EXPECT_EQ(cpu.hypervisor, kernel_says);
    EXPECT_TRUE(bare_signature(cpu.signature)) << cpu.signature;
    EXPECT_TRUE(bare_signature(cpu.kvm_signature)) << cpu.kvm_signature;
    if (!cpu.hypervisor) {
        EXPECT_EQ(cpu.signature, "");
        EXPECT_EQ(cpu.kvm_signature, "");
        EXPECT_FALSE(cpu.root_partition);
    }
    if (cpu.root_partition) {
        EXPECT_EQ(cpu.signature, "Microsoft Hv");
    }
#else
    const Cpu cpu = read_cpu();
    EXPECT_FALSE(cpu.available || cpu.hypervisor || cpu.root_partition);
    EXPECT_TRUE(cpu.signature.empty() && cpu.kvm_signature.empty());
    GTEST_SKIP() << "no identification instruction on this processor";
#endif
}

#if defined(__x86_64__) && defined(__linux__)
// Whether the kernel and processor let a thread make cpuid fault; tried on a
// thread of its own so that the test process is left as it was.
bool cpuid_can_be_forbidden() {
    bool can = false;
    std::thread([&can] {
        can = syscall(SYS_arch_prctl, ARCH_SET_CPUID, 0UL) == 0;
        if (can) syscall(SYS_arch_prctl, ARCH_SET_CPUID, 1UL);
    }).join();
    return can;
}

TEST(ReadCpuDeathTest, ForbiddenInstructionGivesEmptyRecordsInsteadOfACrash) {
    if (!cpuid_can_be_forbidden()) GTEST_SKIP() << "no CPUID faulting here";
    EXPECT_EXIT(
        {
            if (syscall(SYS_arch_prctl, ARCH_SET_CPUID, 0UL) != 0) _exit(3);
            const Cpu cpu = read_cpu();
            const Timing timing = measure_timing();
            _exit(cpu.available || timing.available || timing.measured ? 1 : 0);
        },
        ::testing::ExitedWithCode(0), "");
}
#endif

}  // namespace
}  // namespace vmd
