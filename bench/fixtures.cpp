#include "fixtures.h"

#include <cstdint>
#include <initializer_list>
#include <utility>

namespace vmd::bench {
namespace {

// A 64-character lower-case hexadecimal identifier derived from `seed`.
std::string hex_id(std::uint64_t seed) {
    static constexpr char digits[] = "0123456789abcdef";
    std::string id;
    std::uint64_t x = seed * 0x9E3779B97F4A7C15ull + 1;
    for (int i = 0; i < 64; ++i) {
        x ^= x >> 12;
        x ^= x << 25;
        x ^= x >> 27;
        id += digits[(x * 0x2545F4914F6CDD1Dull) >> 60];
    }
    return id;
}

std::string cpu_block(int n) {
    const std::string k = std::to_string(n);
    return "processor\t: " + k +
           "\n"
           "vendor_id\t: GenuineIntel\n"
           "cpu family\t: 6\n"
           "model\t\t: 85\n"
           "model name\t: Intel(R) Xeon(R) Platinum 8259CL CPU @ 2.50GHz\n"
           "stepping\t: 7\n"
           "microcode\t: 0x5003604\n"
           "cpu MHz\t\t: 2499.998\n"
           "cache size\t: 36608 KB\n"
           "physical id\t: 0\n"
           "siblings\t: 2\n"
           "core id\t\t: " +
           k +
           "\n"
           "cpu cores\t: 2\n"
           "apicid\t\t: " +
           k +
           "\n"
           "initial apicid\t: " +
           k +
           "\n"
           "fpu\t\t: yes\n"
           "fpu_exception\t: yes\n"
           "cpuid level\t: 13\n"
           "wp\t\t: yes\n"
           "flags\t\t: fpu vme de pse tsc msr pae mce cx8 apic sep mtrr pge mca cmov pat pse36 "
           "clflush mmx fxsr sse sse2 ss ht syscall nx pdpe1gb rdtscp lm constant_tsc rep_good "
           "nopl xtopology nonstop_tsc cpuid tsc_known_freq pni pclmulqdq ssse3 fma cx16 pcid "
           "sse4_1 sse4_2 x2apic movbe popcnt tsc_deadline_timer aes xsave avx f16c rdrand "
           "hypervisor lahf_lm abm 3dnowprefetch invpcid_single pti fsgsbase tsc_adjust bmi1 "
           "avx2 smep bmi2 erms invpcid mpx avx512f avx512dq rdseed adx smap clflushopt clwb "
           "avx512cd avx512bw avx512vl xsaveopt xsavec xgetbv1 xsaves ida arat pku ospke\n"
           "bugs\t\t: cpu_meltdown spectre_v1 spectre_v2 spec_store_bypass l1tf mds swapgs "
           "itlb_multihit mmio_stale_data retbleed gds\n"
           "bogomips\t: 4999.99\n"
           "clflush size\t: 64\n"
           "cache_alignment\t: 64\n"
           "address sizes\t: 46 bits physical, 48 bits virtual\n"
           "power management:\n"
           "\n";
}

// One SMBIOS structure: a formatted area of `length` bytes (header
// included) whose string-number fields sit at `offsets`, then its strings.
std::string structure(std::uint8_t type, std::uint8_t length, std::uint16_t handle,
                      std::initializer_list<std::pair<std::size_t, const char*>> strings) {
    std::string s(length, '\0');
    s[0] = static_cast<char>(type);
    s[1] = static_cast<char>(length);
    s[2] = static_cast<char>(handle & 0xFF);
    s[3] = static_cast<char>(handle >> 8);
    int number = 0;
    for (const auto& [offset, text] : strings) {
        s[offset] = static_cast<char>(++number);
        s += text;
        s += '\0';
    }
    if (number == 0) s += '\0';
    s += '\0';
    return s;
}

std::string bios_structure() {
    std::string s =
        structure(0, 0x18, 0x0000, {{0x04, "Amazon EC2"}, {0x05, "1.0"}, {0x08, "10/16/2017"}});
    s[0x09] = '\x3F';  // ROM size
    s[0x0A] = '\x80';  // characteristics: PCI, BIOS upgradeable, ...
    s[0x0B] = '\x18';
    s[0x12] = '\x03';  // ACPI, USB legacy
    s[0x13] = '\x1C';  // targeted content distribution, UEFI, virtual machine
    s[0x14] = '\x01';
    return s;
}

}  // namespace

void fill_kubernetes_node(const test::Tree& tree, const std::string& under) {
    const std::pair<const char*, const char*> dmi[] = {
        {"sys_vendor", "Amazon EC2\n"},         {"product_name", "m5.large\n"},
        {"product_version", "Not Specified\n"}, {"board_vendor", "Amazon EC2\n"},
        {"board_name", "Not Specified\n"},      {"bios_vendor", "Amazon EC2\n"},
        {"chassis_asset_tag", "Amazon EC2\n"},
    };
    for (const auto& [field, value] : dmi) {
        tree.file(under + "/sys/class/dmi/id/" + field, value);
    }
    tree.file(under + "/sys/firmware/dmi/entries/0-0/raw", bios_structure());
    tree.file(under + "/proc/cpuinfo", cpu_block(0) + cpu_block(1));
    tree.file(under + "/proc/sys/kernel/osrelease", "5.10.219-208.866.amzn2.x86_64\n");

    // A burstable pod's container under the cgroupfs driver, version 1.
    const std::string path =
        "/kubepods/burstable/pod5f0c4e6a-8d1b-4c3e-9a7f-2b6d8e1f0a93/" + hex_id(7);
    const char* hierarchies[] = {"hugetlb", "cpuset",           "memory",      "pids",
                                 "devices", "net_cls,net_prio", "cpu,cpuacct", "blkio",
                                 "freezer", "perf_event",       "rdma",        "name=systemd"};
    std::string cgroup;
    int id = 12;
    for (const char* h : hierarchies) cgroup += std::to_string(id--) + ":" + h + ":" + path + "\n";
    cgroup += "0::/\n";
    tree.file(under + "/proc/self/cgroup", cgroup);
}

void fill_slow_link_node(const test::Tree& tree) {
    fill_kubernetes_node(tree, "/real");
    for (const char* top : {"/sys", "/proc", "/run"})
        tree.slow_link(top, std::string("/real") + top);
}

std::string smbios_bios_structure() { return bios_structure(); }

std::string smbios_table() {
    std::string t = bios_structure();
    t += structure(1, 0x1B, 0x0001,
                   {{0x04, "Amazon EC2"},
                    {0x05, "m5.large"},
                    {0x06, "Not Specified"},
                    {0x07, "ec2e1916-9099-7caf-fd21-012345678901"},
                    {0x19, "Not Specified"},
                    {0x1A, "Not Specified"}});
    t += structure(2, 0x0F, 0x0002,
                   {{0x04, "Amazon EC2"},
                    {0x05, "Not Specified"},
                    {0x06, "Not Specified"},
                    {0x07, "Not Specified"},
                    {0x08, "Not Specified"},
                    {0x0A, "Not Specified"}});
    t += structure(3, 0x16, 0x0003,
                   {{0x04, "Amazon EC2"},
                    {0x06, "Not Specified"},
                    {0x07, "Not Specified"},
                    {0x08, "Amazon EC2"},
                    {0x15, "Not Specified"}});
    for (std::uint16_t cpu = 0; cpu < 2; ++cpu) {
        t += structure(4, 0x30, static_cast<std::uint16_t>(0x0004 + cpu),
                       {{0x04, cpu == 0 ? "CPU 0" : "CPU 1"},
                        {0x07, "Intel(R) Corporation"},
                        {0x10, "Intel(R) Xeon(R) Platinum 8259CL CPU @ 2.50GHz"},
                        {0x20, "Not Specified"},
                        {0x21, "Not Specified"},
                        {0x22, "Not Specified"}});
    }
    for (std::uint16_t cache = 0; cache < 3; ++cache) {
        static const char* names[] = {"L1-Cache", "L2-Cache", "L3-Cache"};
        t += structure(7, 0x1B, static_cast<std::uint16_t>(0x0010 + cache), {{0x04, names[cache]}});
    }
    t += structure(9, 0x11, 0x0020, {{0x04, "PCIe Slot 1"}});
    t += structure(16, 0x17, 0x0030, {});
    for (std::uint16_t dimm = 0; dimm < 2; ++dimm) {
        t += structure(17, 0x28, static_cast<std::uint16_t>(0x0031 + dimm),
                       {{0x10, dimm == 0 ? "DIMM 0" : "DIMM 1"},
                        {0x11, "Not Specified"},
                        {0x17, "Not Specified"},
                        {0x18, "Not Specified"},
                        {0x19, "Not Specified"},
                        {0x1A, "Not Specified"}});
    }
    t += structure(19, 0x1F, 0x0040, {});
    t += structure(32, 0x0B, 0x0041, {});
    t += structure(127, 0x04, 0x0042, {});
    return t;
}

std::string large_cgroup_text() {
    constexpr std::size_t size = 65536;
    std::string text;
    for (std::uint64_t n = 0;; ++n) {
        std::string line = std::to_string(n % 13) + ":";
        switch (n % 6) {
            case 0:
                line += "memory:/kubepods/besteffort/pod" + hex_id(n).substr(0, 32) + "/" +
                        hex_id(n + 1);
                break;
            case 1:
                line +=
                    "cpu,cpuacct:/kubepods.slice/kubepods-burstable.slice/"
                    "kubepods-burstable-pod" +
                    hex_id(n).substr(0, 32) + ".slice/cri-containerd-" + hex_id(n + 2) + ".scope";
                break;
            case 2:
                line += "pids:/system.slice/docker-" + hex_id(n) + ".scope";
                break;
            case 3:
                line += "name=systemd:/user.slice/user-1000.slice/session-4.scope";
                break;
            case 4:
                line += "devices:/machine.slice/libpod-" + hex_id(n) + ".scope/container";
                break;
            default:
                line += ":/";
                break;
        }
        line += '\n';
        if (text.size() + line.size() > size) break;
        text += line;
    }
    return text;
}

Result result_with_evidence() {
    static constexpr const char* sources[] = {"cpu",    "firmware",  "device_tree", "hypervisor",
                                              "system", "container", "timing"};
    static constexpr const char* categories[] = {"guest", "cloud",         "container",
                                                 "host",  "compatibility", "diagnostic"};
    static constexpr const char* vendors[] = {"kvm",  "aws",     "docker", "xen",
                                              "wsl2", "unknown", "qemu",   "kubepods"};
    Result result;
    for (int i = 0; i < 40; ++i) {
        std::string detail = "evidence " + std::to_string(i) + " from \"" + sources[i % 7] +
                             "\"\twith\\escapes\x01 and caf\xc3\xa9 text";
        result.add(sources[i % 7], categories[i % 6], vendors[i % 8], i % 2 ? 85 : 0, detail);
    }
    static constexpr const char* probes[] = {"cpu",        "firmware", "firmware", "device_tree",
                                             "hypervisor", "system",   "system",   "system",
                                             "container",  "timing"};
    for (const char* p : probes) result.probe(p, "ok");
    return result;
}

}  // namespace vmd::bench
