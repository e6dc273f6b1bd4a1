#include "floor.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <initializer_list>

#include "linux/probe_files.h"

#if defined(__i386__) || defined(__x86_64__)
#include <asm/prctl.h>
#include <cpuid.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#endif

namespace vmd::bench {
namespace {

// Faulted in once, then reused: the ideal buffer costs nothing per run.
char buffer[files::cpuinfo.limit + 1];

// One probe-file read as the library makes it: open, check it is a regular
// file, read up to limit + 1 bytes until end of file, close.
std::uint64_t read_probe(const ProbeFile& file) {
    const int fd = ::open(file.path, O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) return 0;
    struct stat st {};
    std::uint64_t got = 0;
    if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) {
        const std::uint64_t want = file.limit + 1;
        while (got < want) {
            const ssize_t n = ::read(fd, buffer + got, want - got);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) break;
            got += static_cast<std::uint64_t>(n);
        }
    }
    ::close(fd);
    return got;
}

bool stat_probe(const ProbeFile& file) {
    struct stat st {};
    return ::stat(file.path, &st) == 0;
}

}  // namespace

std::uint64_t floor_system_calls() {
    using namespace files;
    std::uint64_t total = 0;
    // Firmware tables and device tree.
    for (const ProbeFile* field : {&sys_vendor, &product_name, &product_version, &board_vendor,
                                   &board_name, &bios_vendor, &chassis_asset_tag}) {
        total += read_probe(*field);
    }
    total += read_probe(bios_structure);
    total += read_probe(tree_hypervisor);
    total += read_probe(tree_compatible);
    total += read_probe(tree_model);
    if (stat_probe(partition_name) && stat_probe(hmc_managed)) stat_probe(qemu_graphics);
    // Hypervisor interface files; the Xen role files only behind a type.
    const std::uint64_t type = read_probe(hypervisor_type);
    total += type;
    if (type != 0) {
        total += read_probe(xen_capabilities);
        total += read_probe(xen_features);
    }
    total += read_probe(sysinfo);
    total += read_probe(files::cpuinfo);
    total += read_probe(osrelease);
    // Containers.
    total += read_probe(cgroup);
    total += read_probe(systemd_container);
    if (!stat_probe(containerenv)) stat_probe(dockerenv);
    return total;
}

#if defined(__i386__) || defined(__x86_64__)
namespace {

struct Leaf {
    unsigned a, b, c, d;
};

Leaf identify(unsigned leaf) {
    Leaf r{};
    __cpuid_count(leaf, 0, r.a, r.b, r.c, r.d);
    asm volatile("" : : "r"(r.a), "r"(r.b), "r"(r.c), "r"(r.d));
    return r;
}

// Both processor probes first ask whether the process made the instruction
// fault for itself: one system call each.
void cpuid_faulting_check() {
#if defined(SYS_arch_prctl) && defined(ARCH_GET_CPUID)
    (void)::syscall(SYS_arch_prctl, ARCH_GET_CPUID, 0UL);
#endif
}

// As many timed rounds as measure_timing makes.
constexpr int timing_rounds = 16;

}  // namespace

int floor_cpu_probe() {
    // read_cpu: the feature leaf, then the hypervisor leaves when a
    // hypervisor is announced.
    cpuid_faulting_check();
    int count = 1;
    if ((identify(1).c & (1u << 31)) == 0) return count;
    const Leaf base = identify(0x40000000);
    ++count;
    char signature[13] = {};
    std::memcpy(signature, &base.b, 4);
    std::memcpy(signature + 4, &base.c, 4);
    std::memcpy(signature + 8, &base.d, 4);
    if (std::strcmp(signature, "Microsoft Hv") == 0 && base.a >= 0x40000003) {
        identify(0x40000003);
        ++count;
    }
    identify(0x40000100);
    return count + 1;
}

int floor_timing_probe() {
    // measure_timing: the cycle-counter feature, whether the counter was
    // made to fault, then the rounds.
    cpuid_faulting_check();
    if ((identify(1).d & (1u << 4)) == 0) return 1;
#if defined(PR_GET_TSC)
    int state = 0;
    (void)::prctl(PR_GET_TSC, &state);
#endif
    for (int i = 0; i < timing_rounds; ++i) identify(1);
    return 1 + timing_rounds;
}

#else

int floor_cpu_probe() { return 0; }
int floor_timing_probe() { return 0; }

#endif

int floor_identification() { return floor_cpu_probe() + floor_timing_probe(); }

void floor_whole_run() {
    floor_cpu_probe();
    floor_system_calls();
    floor_timing_probe();
}

}  // namespace vmd::bench
