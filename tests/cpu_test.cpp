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

TEST(DetectCpu, EveryKnownSignatureNamesItsVendor) {
    const std::pair<std::string, std::string> rows[] = {
        {"KVMKVMKVM", "kvm"},         {"Linux KVM Hv", "kvm"},      {"TCGTCGTCGTCG", "qemu"},
        {"VMwareVMware", "vmware"},   {"VBoxVBoxVBox", "virtualbox"}, {"XenVMMXenVMM", "xen"},
        {"bhyve bhyve ", "bhyve"},    {"BHyVE BHyVE ", "bhyve"},    {"ACRNACRNACRN", "acrn"},
        {"QNXQVMBSQG", "qnx"},        {"SRESRESRESRE", "sre"},      {"___ NVMM ___", "nvmm"},
        {"Apple VZ", "apple"},        {" prl hyperv ", "parallels"}, {"prl hyperv  ", "parallels"},
    };
    for (const auto& [signature, vendor] : rows) {
        EXPECT_EQ(detected(guest(signature)), List{"cpu|guest|" + vendor + "|95|" + signature});
    }
    // Hyper-V's interface is offered by other hypervisors too: weaker.
    EXPECT_EQ(detected(guest("Microsoft Hv")), List{"cpu|guest|hyperv|50|Microsoft Hv"});
}

TEST(DetectCpu, NearMissesAreUnknownButStillAGuestWithTheSignatureAsHeld) {
    const std::string near_misses[] = {
        "abcdefghijkl", "vmwarevmware", "prl hyperv", " prl hyperv", "bhyve bhyve",
        "KVMKVMKVM ",   "microsoft hv", std::string("KVMKVMKVM\0\0\0", 12), "",
    };
    for (const std::string& s : near_misses) {
        EXPECT_EQ(detected(guest(s)), List{"cpu|guest|unknown|95|" + s}) << s;
    }
}

TEST(DetectCpu, RootPartitionMakesAHyperVHostAndNothingElse) {
    EXPECT_EQ(detected(guest("Microsoft Hv", "", true)),
              List{"cpu|host|hyperv|0|root partition privileges"});
    EXPECT_EQ(detected(guest("KVMKVMKVM", "", true)), List{"cpu|guest|kvm|95|KVMKVMKVM"});
    EXPECT_EQ(detected(guest("abcdefghijkl", "", true)),
              List{"cpu|guest|unknown|95|abcdefghijkl"});
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
        EXPECT_EQ(detected(guest("Microsoft Hv", other)),
                  List{"cpu|guest|hyperv|50|Microsoft Hv"})
            << other;
    }
}

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

bool bare_signature(const std::string& s) { return s.size() <= 12 && (s.empty() || s.back() != '\0'); }

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
