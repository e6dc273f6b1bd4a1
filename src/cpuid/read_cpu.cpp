#include "cpuid/cpu.h"

#if defined(__i386__) || defined(__x86_64__)
#include <cpuid.h>

#include <cstdint>
#include <cstring>
#endif

namespace vmd {

#if defined(__i386__) || defined(__x86_64__)
namespace {

struct Leaf {
    std::uint32_t eax, ebx, ecx, edx;
};

Leaf query(std::uint32_t leaf) {
    Leaf r{};
    __cpuid_count(leaf, 0, r.eax, r.ebx, r.ecx, r.edx);
    return r;
}

// The twelve signature bytes come in EBX, ECX, EDX order; a shorter
// signature is padded with NUL bytes, which are not part of it.
std::string signature_of(const Leaf& leaf) {
    char bytes[12];
    std::memcpy(bytes, &leaf.ebx, 4);
    std::memcpy(bytes + 4, &leaf.ecx, 4);
    std::memcpy(bytes + 8, &leaf.edx, 4);
    std::size_t n = sizeof bytes;
    while (n > 0 && bytes[n - 1] == '\0') --n;
    return std::string(bytes, n);
}

constexpr std::uint32_t hypervisor_base = 0x40000000;
constexpr std::uint32_t hyperv_features = 0x40000003;
constexpr std::uint32_t kvm_base = 0x40000100;
constexpr std::uint32_t hypervisor_present = 1u << 31;  // leaf 1, ECX
constexpr std::uint32_t cpu_management = 1u << 12;      // Hyper-V privileges, high half (EBX)

}  // namespace

Cpu read_cpu() {
    Cpu cpu;
    if (__get_cpuid_max(0, nullptr) < 1) return cpu;  // no identification instruction
    cpu.available = true;
    cpu.hypervisor = (query(1).ecx & hypervisor_present) != 0;
    // The hypervisor leaves hold arbitrary data on bare metal: read them only
    // when a hypervisor says it is there.
    if (!cpu.hypervisor) return cpu;

    const Leaf base = query(hypervisor_base);
    cpu.signature = signature_of(base);
    if (cpu.signature == "Microsoft Hv" && base.eax >= hyperv_features) {
        cpu.root_partition = (query(hyperv_features).ebx & cpu_management) != 0;
    }
    // A second interface range at 0x40000100 is how KVM offers itself beside
    // an emulated Hyper-V interface; its maximum leaf says whether it is there.
    const Leaf second = query(kvm_base);
    if (second.eax >= kvm_base && second.eax <= kvm_base + 0xFF) {
        cpu.kvm_signature = signature_of(second);
    }
    return cpu;
}

#else

Cpu read_cpu() { return Cpu{}; }

#endif

}  // namespace vmd
