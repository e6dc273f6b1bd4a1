// Memory can run out at any allocation of a run. Each such failure must end
// the run cleanly: std::bad_alloc out of detect_linux, status 2 and a null
// report out of vmd_detect_json, nothing leaked (the sanitizer build checks
// with LeakSanitizer) and no descriptor left open.
#include <dirent.h>
#include <gtest/gtest.h>

#include <new>
#include <string>

#include "detection/result.h"
#include "linux/linux.h"
#include "support/alloc_hook.h"
#include "support/tree.h"
#include "vm_detection.h"

#if defined(__has_feature)
#if __has_feature(address_sanitizer)
#define VMD_LEAK_CHECK 1
#endif
#endif
#if defined(__SANITIZE_ADDRESS__)
#define VMD_LEAK_CHECK 1
#endif
#ifdef VMD_LEAK_CHECK
#include <sanitizer/lsan_interface.h>
#endif

namespace {

using namespace std::string_literals;

char* const sentinel = reinterpret_cast<char*>(0x1);

int open_descriptors() {
    DIR* dir = ::opendir("/proc/self/fd");
    if (dir == nullptr) return -1;
    int n = 0;
    while (::readdir(dir) != nullptr) ++n;
    ::closedir(dir);
    return n;
}

void expect_no_leak() {
#ifdef VMD_LEAK_CHECK
    EXPECT_EQ(__lsan_do_recoverable_leak_check(), 0) << "LeakSanitizer found leaks";
#endif
}

// One SMBIOS structure: header, formatted area after the header, strings.
std::string structure(unsigned char type, const std::string& formatted,
                      const std::string& strings) {
    std::string s;
    s += static_cast<char>(type);
    s += static_cast<char>(4 + formatted.size());
    s += "\x01\x00"s;
    s += formatted;
    s += strings.empty() ? "\0\0"s : strings + '\0';
    return s;
}

// A tree where every probe finds something, so that every path that
// allocates (file buffers, lower-cased copies, evidence, growing lists) runs.
void fill_rich_tree(const vmd::test::Tree& tree) {
    tree.file("/sys/class/dmi/id/sys_vendor", "QEMU\n");
    tree.file("/sys/class/dmi/id/product_name", "Standard PC (Q35 + ICH9, 2009) KVM\n");
    tree.file("/sys/class/dmi/id/product_version", "pc-q35-7.2 Virtual Machine\r\n");
    tree.file("/sys/class/dmi/id/board_vendor", "Amazon EC2\n");
    tree.file("/sys/class/dmi/id/board_name", "VirtualBox\n");
    tree.file("/sys/class/dmi/id/bios_vendor", "innotek GmbH\n");
    tree.file("/sys/class/dmi/id/chassis_asset_tag", "7783-7084-3265-9085-8269-3286-77\n");

    std::string bios(20, '\0');
    bios[0] = '\x01';   // vendor: string 1
    bios[15] = '\x10';  // characteristics extension byte 2: virtual machine
    std::string raw = structure(0, bios, "innotek GmbH\0"s);
    raw += structure(1, "\x01\x02\x03\x00"s, "Xen\0HVM domU\0OpenStack Nova\0"s);
    raw += structure(2, "\x01\x02\x03"s, "Parallels\0bhyve\0firecracker\0"s);
    raw += structure(3, "\0\0\0\0\x01"s, "Google Compute Engine\0"s);
    raw += structure(127, "", "");
    tree.file("/sys/firmware/dmi/entries/0-0/raw", raw);

    tree.file("/proc/device-tree/hypervisor/compatible", "linux,dummy-virt\0kvm\0"s);
    tree.file("/proc/device-tree/compatible", "crosvm\0linux,dummy-virt\0"s);
    tree.file("/proc/device-tree/model", "Apple Virtualization VirtualMac2,1\0"s);
    tree.file("/proc/device-tree/ibm,partition-name", "lpar1\0"s);
    tree.file("/proc/device-tree/hmc-managed?", "\x01"s);

    tree.file("/sys/hypervisor/type", "xen\n");
    tree.file("/proc/xen/capabilities", "control_d\n");
    tree.file("/sys/hypervisor/properties/features", "801\n");
    tree.file("/proc/sysinfo", "VM00 Control Program: z/VM    7.2.0\nKVM/Linux\n");
    tree.file("/proc/cpuinfo",
              "processor\t: 0\nvendor_id\t: User Mode Linux\n"s + std::string(3000, 'x') + "\n");
    tree.file("/proc/sys/kernel/osrelease", "5.15.153.1-microsoft-standard-WSL2\n");

    const std::string id(64, 'a');
    tree.file("/proc/self/cgroup",
              "12:pids:/docker/" + id + "\n" + "11:memory:/system.slice/libpod-" + id + ".scope\n" +
                  "10:cpu:/lxc/web\n9:blkio:/lxc.payload.db\n" +
                  "0::/kubepods.slice/kubepods-burstable.slice/pod1/docker-" + id + ".scope\n");
    tree.file("/run/systemd/container", "podman\n");
    tree.file("/run/.containerenv", "");
    tree.file("/.dockerenv", "");
}

TEST(OutOfMemory, EveryAllocationOfAPlatformRunFailsCleanly) {
    vmd::test::Tree tree;
    fill_rich_tree(tree);

    vmd::test::allow_allocations();
    std::size_t evidence = 0;
    {
        vmd::Result result;
        vmd::detect_linux(result, tree.root());
        evidence = result.evidence.size();
    }
    const std::int64_t total = vmd::test::allocations();
    // The tree must really exercise the probes, or the sweep proves little.
    ASSERT_GE(evidence, 25u);
    ASSERT_GT(total, 80);

    const int descriptors = open_descriptors();
    for (std::int64_t k = 1; k <= total; ++k) {
        vmd::test::fail_allocation(k);
        bool threw = false;
        try {
            vmd::Result result;
            vmd::detect_linux(result, tree.root());
        } catch (const std::bad_alloc&) {
            threw = true;
        }
        vmd::test::allow_allocations();
        EXPECT_TRUE(threw) << "allocation " << k << " of " << total;
    }
    EXPECT_EQ(open_descriptors(), descriptors);

    // One past the last allocation: the count above covered the whole run.
    vmd::test::fail_allocation(total + 1);
    vmd::Result result;
    EXPECT_NO_THROW(vmd::detect_linux(result, tree.root()));
    vmd::test::allow_allocations();
    EXPECT_EQ(result.evidence.size(), evidence);
    expect_no_leak();
}

TEST(OutOfMemory, EveryAllocationOfALiveRunGivesStatusTwoAndANullReport) {
    char* report = nullptr;
    vmd::test::allow_allocations();
    ASSERT_EQ(vmd_detect_json(&report), VMD_OK);
    const std::int64_t total = vmd::test::allocations();
    vmd_free(report);
    ASSERT_GT(total, 20);

    // A live run need not allocate the same number of times on every call
    // (the timing figure is new each time), so the sweep goes on until a run
    // ends before its k-th allocation; the last one is the caller's copy.
    const int descriptors = open_descriptors();
    std::int64_t k = 1;
    for (; k <= 2 * total; ++k) {
        report = sentinel;
        vmd::test::fail_allocation(k);
        const int status = vmd_detect_json(&report);
        const std::int64_t made = vmd::test::allocations();
        vmd::test::allow_allocations();
        if (status == VMD_OK) {
            EXPECT_LT(made, k) << "allocation " << k << " failed, yet the run succeeded";
            EXPECT_NE(report, nullptr);
            if (report != sentinel) vmd_free(report);
            break;
        }
        EXPECT_EQ(status, VMD_OUT_OF_MEMORY) << "allocation " << k << " of " << total;
        EXPECT_EQ(report, nullptr) << "allocation " << k;
    }
    EXPECT_GT(k, total / 2);
    EXPECT_LE(k, 2 * total) << "no run got to the end";
    EXPECT_EQ(open_descriptors(), descriptors);
    expect_no_leak();
}

}  // namespace
