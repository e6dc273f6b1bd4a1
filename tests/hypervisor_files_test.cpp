#include <gtest/gtest.h>

#include <string>
#include <tuple>
#include <vector>

#include "detection/report.h"
#include "linux/groups.h"
#include "linux/linux.h"
#include "support/alloc_hook.h"
#include "support/listing.h"
#include "support/tree.h"

namespace vmd {
namespace {

using test::Tree;
using Row = std::tuple<std::string, std::string, std::string, int, std::string>;
using Rows = std::vector<Row>;
using List = std::vector<std::string>;

Rows rows(const Result& result) {
    Rows out;
    for (const Evidence& e : result.evidence) {
        out.emplace_back(e.source, e.category, e.vendor, e.weight, e.detail);
    }
    return out;
}

List statuses(const Result& result) { return test::probe_list(result, "="); }

Result run(const Tree& tree) {
    Result result;
    detect_hypervisor_files(result, tree.root());
    return result;
}

// The hypervisor group on its own, with the Xen role files given or absent
// (nullptr).
Result xen(const char* type, const char* capabilities, const char* features) {
    Tree tree;
    tree.file("/sys/hypervisor/type", type);
    if (capabilities) tree.file("/proc/xen/capabilities", capabilities);
    if (features) tree.file("/sys/hypervisor/properties/features", features);
    return run(tree);
}

const Row xen_host{"hypervisor", "host", "xen", 0, "Xen control domain"};
const Row xen_guest{"hypervisor", "guest", "xen", 95, "Xen guest domain"};
const Row xen_undecided{"hypervisor", "guest", "xen", 50, "Xen domain; role unavailable"};

TEST(HypervisorFiles, EmptyTreeRecordsFourProbesInOrderAndNothingElse) {
    const Tree tree;
    const Result r = run(tree);
    EXPECT_TRUE(r.evidence.empty());
    EXPECT_EQ(statuses(r), (List{"hypervisor=unavailable", "system=unavailable",
                                 "system=unavailable", "system=unavailable"}));
}

TEST(HypervisorFiles, EachSystemProbeCarriesItsOwnFile) {
    Tree tree;
    tree.file("/sys/hypervisor/type", std::string(4097, 'x'));
    tree.folder("/proc/sysinfo");
    tree.file("/proc/sys/kernel/osrelease", "6.1.0-18-amd64\n");
    const Result r = run(tree);
    // An oversized type file gives no text, so no "unknown" guest from it.
    EXPECT_TRUE(r.evidence.empty());
    EXPECT_EQ(statuses(r),
              (List{"hypervisor=error", "system=error", "system=unavailable", "system=ok"}));
}

TEST(HypervisorFiles, RoleFilesAreReadOnlyWhenTheTypeFileHasText) {
    // Reading a present file costs its buffer; an unread one costs nothing,
    // so equal counts show the role files were left alone.
    const auto count = [](bool role_files) {
        Tree tree;
        tree.file("/sys/hypervisor/type", "");
        if (role_files) {
            tree.file("/proc/xen/capabilities", "control_d\n");
            tree.file("/sys/hypervisor/properties/features", "00000801\n");
        }
        Result r;
        r.evidence.reserve(8);
        r.probes.reserve(8);
        test::allow_allocations();
        detect_hypervisor_files(r, tree.root());
        const std::int64_t n = test::allocations();
        EXPECT_TRUE(r.evidence.empty());
        EXPECT_EQ(r.probes.front().status, "ok");
        return n;
    };
    EXPECT_EQ(count(true), count(false));
}

TEST(HypervisorFiles, TypeWithoutLowerCaseXenIsAnUnknownGuestWithTheTextAsRead) {
    EXPECT_EQ(rows(xen("kvm\n", nullptr, nullptr)),
              (Rows{{"hypervisor", "guest", "unknown", 85, "kvm\n"}}));
    // Case matters, and the role files do not make it Xen.
    EXPECT_EQ(rows(xen("Xen\n", "control_d\n", "801")),
              (Rows{{"hypervisor", "guest", "unknown", 85, "Xen\n"}}));
    // A long type text is kept as the detail up to the cut.
    const std::string long_type(300, 'v');
    EXPECT_EQ(std::get<4>(rows(xen(long_type.c_str(), nullptr, nullptr)).at(0)),
              std::string(160, 'v'));
}

TEST(HypervisorFiles, XenRoleFromCapabilitiesAndFeatureWord) {
    // Capabilities decide a control domain without the feature word.
    EXPECT_EQ(rows(xen("xen\n", "control_d\n", nullptr)), Rows{xen_host});
    EXPECT_EQ(rows(xen("xen\n", "control_d\n", "00000000\n")), Rows{xen_host});
    // A readable capabilities file, even empty, makes the role known.
    EXPECT_EQ(rows(xen("xen\n", "", nullptr)), Rows{xen_guest});
    EXPECT_EQ(rows(xen("xen\n", "", "00000000\n")), Rows{xen_guest});
    // Bit 11 of the feature word is the control-domain feature.
    EXPECT_EQ(rows(xen("xen\n", nullptr, "801\n")), Rows{xen_host});
    EXPECT_EQ(rows(xen("xen\n", nullptr, "800")), Rows{xen_host});
    EXPECT_EQ(rows(xen("xen\n", nullptr, "705\n")), Rows{xen_guest});
    EXPECT_EQ(rows(xen("xen\n", nullptr, "7ff\n")), Rows{xen_guest});
    EXPECT_EQ(rows(xen("xen\n", nullptr, "1000\n")), Rows{xen_guest});
    // The C library's hexadecimal rules: blanks, a 0x prefix, a stop at the
    // first non-digit, upper-case digits.
    EXPECT_EQ(rows(xen("xen\n", nullptr, "  0x0800\n")), Rows{xen_host});
    EXPECT_EQ(rows(xen("xen\n", nullptr, "0X2F05")), Rows{xen_host});
    EXPECT_EQ(rows(xen("xen\n", nullptr, "8zz")), Rows{xen_guest});
    // High bits of a 64-bit word do not count as bit 11.
    EXPECT_EQ(rows(xen("xen\n", nullptr, "ffffffff000007ff\n")), Rows{xen_guest});
}

TEST(HypervisorFiles, XenRoleUndecidedWhenNeitherRoleFileGivesOne) {
    EXPECT_EQ(rows(xen("xen\n", nullptr, nullptr)), Rows{xen_undecided});
    EXPECT_EQ(rows(xen("xen\n", nullptr, "")), Rows{xen_undecided});
    EXPECT_EQ(rows(xen("xen\n", nullptr, "none\n")), Rows{xen_undecided});
    // Parsing stops at the first NUL byte.
    Tree tree;
    tree.file("/sys/hypervisor/type", "xen\n");
    tree.file("/sys/hypervisor/properties/features", std::string("\0"
                                                                 "801\n",
                                                                 5));
    EXPECT_EQ(rows(run(tree)), Rows{xen_undecided});
    // An oversized capabilities file was not read "ok" and gives no text.
    tree.file("/proc/xen/capabilities", "control_d\n" + std::string(4096, ' '));
    EXPECT_EQ(rows(run(tree)), Rows{xen_undecided});
}

TEST(HypervisorFiles, UndecidedXenLowersEarlierCpuXenEvidenceOnly) {
    const auto prefilled = [] {
        Result r;
        r.add("cpu", "guest", "xen", 95, "XenVMMXenVMM");
        r.add("cpu", "guest", "kvm", 95, "KVMKVMKVM");
        r.add("firmware", "guest", "xen", 85, "sys_vendor Xen");
        r.add("cpu", "diagnostic", "xen", 90, "another xen note");
        return r;
    };
    Tree tree;
    tree.file("/sys/hypervisor/type", "xen\n");

    Result undecided = prefilled();
    detect_linux(undecided, tree.root());
    EXPECT_EQ(rows(undecided), (Rows{{"cpu", "guest", "xen", 50, "XenVMMXenVMM"},
                                     {"cpu", "guest", "kvm", 95, "KVMKVMKVM"},
                                     {"firmware", "guest", "xen", 85, "sys_vendor Xen"},
                                     {"cpu", "diagnostic", "xen", 50, "another xen note"},
                                     xen_undecided}));

    tree.file("/sys/hypervisor/properties/features", "00002705\n");
    Result known = prefilled();
    detect_linux(known, tree.root());
    EXPECT_EQ(std::get<3>(rows(known).at(0)), 95);
    EXPECT_EQ(rows(known).back(), xen_guest);

    // A type file that does not name Xen leaves the processor's word alone.
    tree.file("/sys/hypervisor/type", "XEN\n");
    Result other = prefilled();
    detect_hypervisor_files(other, tree.root());
    EXPECT_EQ(std::get<3>(rows(other).at(0)), 95);
}

// The files a Xen control domain shows under a Linux dom0 kernel.
TEST(HypervisorFiles, XenControlDomainIsAHostNotAGuest) {
    Tree tree;
    tree.file("/sys/hypervisor/type", "xen\n");
    tree.file("/proc/xen/capabilities", "control_d\n");
    tree.file("/sys/hypervisor/properties/features", "00002f05\n");
    tree.file("/proc/cpuinfo", "processor\t: 0\nvendor_id\t: GenuineIntel\n");
    tree.file("/proc/sys/kernel/osrelease", "6.1.0-18-amd64\n");
    Result r;
    r.add("cpu", "guest", "xen", 95, "XenVMMXenVMM");
    detect_linux(r, tree.root());
    EXPECT_EQ(rows(r), (Rows{{"cpu", "guest", "xen", 95, "XenVMMXenVMM"}, xen_host}));
    const Assessment a = assess(r);
    EXPECT_EQ(a.host_hypervisors, List{"xen"});
    EXPECT_TRUE(a.hypervisors.empty());
    EXPECT_EQ(a.vm_score, 0);
    EXPECT_EQ(a.vm_likelihood, "not_detected");
}

TEST(HypervisorFiles, XenGuestWithAndWithoutRoleFiles) {
    Tree pv;  // PV guest with xenfs mounted: capabilities exists but is empty.
    pv.file("/sys/hypervisor/type", "xen\n");
    pv.file("/proc/xen/capabilities", "");
    pv.file("/sys/hypervisor/properties/features", "00002705\n");
    Result with;
    with.add("cpu", "guest", "xen", 95, "XenVMMXenVMM");
    detect_linux(with, pv.root());
    EXPECT_EQ(assess(with).hypervisors, List{"xen"});
    EXPECT_EQ(assess(with).vm_score, 99);

    Tree hvm;  // Only the type file: the role cannot be told.
    hvm.file("/sys/hypervisor/type", "xen\n");
    Result without;
    without.add("cpu", "guest", "xen", 95, "XenVMMXenVMM");
    detect_linux(without, hvm.root());
    const Assessment a = assess(without);
    EXPECT_EQ(a.hypervisors, List{"xen"});
    EXPECT_EQ(a.vm_score, 55);
    EXPECT_EQ(a.vm_likelihood, "possible");
}

TEST(HypervisorFiles, S390ControlProgramAndUserModeLinux) {
    Tree tree;
    tree.file("/proc/sysinfo",
              "Manufacturer:         IBM\nType:                 8561\n"
              "VM00 Name:            LINUX01\nVM00 Control Program: z/VM    7.2.0\n"
              "VM00 Adjustment:      KVM/Linux would lose\n");
    EXPECT_EQ(rows(run(tree)), (Rows{{"system", "guest", "zvm", 95, "IBM z/VM control program"}}));
    tree.file("/proc/sysinfo", "VM00 Control Program: KVM/Linux\n");
    EXPECT_EQ(rows(run(tree)), (Rows{{"system", "guest", "kvm", 95, "s390 KVM control program"}}));
    // An LPAR names no control program.
    tree.file("/proc/sysinfo", "Manufacturer:         IBM\nLPAR Name:            LP01\n");
    EXPECT_TRUE(run(tree).evidence.empty());
    tree.file("/proc/sysinfo", "control program: z/vm\n");
    EXPECT_TRUE(run(tree).evidence.empty());

    tree.file("/proc/cpuinfo",
              "processor\t: 0\nvendor_id\t: User Mode Linux\n"
              "model name\t: UML\nmode\t\t: skas\n");
    EXPECT_EQ(rows(run(tree)), (Rows{{"system", "guest", "uml", 95, "User Mode Linux CPU"}}));
    // A cpuinfo just over its megabyte is not read at all.
    std::string big = "vendor_id\t: User Mode Linux\n";
    big.resize(1048577, ' ');
    tree.file("/proc/cpuinfo", big);
    const Result r = run(tree);
    EXPECT_TRUE(r.evidence.empty());
    EXPECT_EQ(r.probes.at(2).status, "error");
    big.resize(1048576);
    tree.file("/proc/cpuinfo", big);
    EXPECT_EQ(run(tree).evidence.size(), 1u);
}

TEST(HypervisorFiles, KernelReleaseNamesWslAndWsl2) {
    const auto release = [](const char* text) {
        Tree tree;
        tree.file("/proc/sys/kernel/osrelease", text);
        const Result r = run(tree);
        EXPECT_EQ(r.probes.at(3).status, "ok");
        return rows(r);
    };
    const Rows wsl2{{"system", "guest", "hyperv", 90, "WSL2 kernel"},
                    {"system", "compatibility", "wsl2", 0, "WSL2 kernel"}};
    const Rows wsl1{{"system", "compatibility", "wsl", 0, "WSL kernel"}};
    EXPECT_EQ(release("5.15.153.1-microsoft-standard-WSL2\n"), wsl2);
    EXPECT_EQ(release("4.19.128-microsoft-standard\n"), wsl2);
    EXPECT_EQ(release("6.1.0-WSL2-custom\n"), wsl2);
    EXPECT_EQ(release("4.4.0-19041-Microsoft\n"), wsl1);
    EXPECT_EQ(release("4.4.0-MICROSOFT"), wsl1);
    EXPECT_TRUE(release("6.1.0-18-amd64\n").empty());
    EXPECT_TRUE(release("5.15.0-1064-azure\n").empty());
    EXPECT_TRUE(release("5.10.0-wsl1-custom\n").empty());
    EXPECT_TRUE(release("").empty());
}

TEST(HypervisorFiles, Wsl2ReportNamesHyperVAndTheLayer) {
    Tree tree;
    tree.file("/proc/sys/kernel/osrelease", "5.15.153.1-microsoft-standard-WSL2\n");
    tree.file("/proc/cpuinfo", "processor\t: 0\nvendor_id\t: AuthenticAMD\n");
    Result r;
    r.add("cpu", "guest", "hyperv", 95, "Microsoft Hv");
    detect_linux(r, tree.root());
    const Assessment a = assess(r);
    EXPECT_EQ(a.hypervisors, List{"hyperv"});
    EXPECT_EQ(a.compatibility_layers, List{"wsl2"});
    EXPECT_EQ(a.vm_score, 99);
}

}  // namespace
}  // namespace vmd
