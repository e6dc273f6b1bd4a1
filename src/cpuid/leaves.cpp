#include "cpuid/leaves.h"

#if defined(__i386__) || defined(__x86_64__)
#include <cpuid.h>

#if defined(__linux__)
#include <asm/prctl.h>
#include <sys/syscall.h>
#include <unistd.h>
#endif
#endif

namespace vmd {
namespace {

Registers from_table(const void* context, std::uint32_t leaf, std::uint32_t subleaf) {
    for (const Leaf& recorded : *static_cast<const std::vector<Leaf>*>(context)) {
        if (recorded.leaf == leaf && recorded.subleaf == subleaf) return recorded.registers;
    }
    return Registers{};
}

#if defined(__i386__) || defined(__x86_64__)
Registers from_instruction(const void*, std::uint32_t leaf, std::uint32_t subleaf) {
    Registers r;
    __cpuid_count(leaf, subleaf, r.eax, r.ebx, r.ecx, r.edx);
    return r;
}
#endif

}  // namespace

bool cpuid_usable() {
#if defined(__i386__) || defined(__x86_64__)
#if defined(__linux__) && defined(SYS_arch_prctl) && defined(ARCH_GET_CPUID)
    // A process may make the instruction fault for itself (CPUID faulting);
    // executing it then would kill the host. Kernels that do not know the
    // request fail it, and there the instruction always runs.
    if (syscall(SYS_arch_prctl, ARCH_GET_CPUID, 0UL) == 0) return false;
#endif
#if defined(__x86_64__)
    return true;  // every 64-bit processor has the instruction and leaf 1
#else
    return __get_cpuid_max(0, nullptr) >= 1;
#endif
#else
    return false;
#endif
}

LeafSource instruction_leaves() {
#if defined(__i386__) || defined(__x86_64__)
    if (cpuid_usable()) return LeafSource{from_instruction, nullptr};
#endif
    return LeafSource{};
}

LeafSource table_leaves(const std::vector<Leaf>& table) {
    if (table.empty()) return LeafSource{};
    return LeafSource{from_table, &table};
}

}  // namespace vmd
