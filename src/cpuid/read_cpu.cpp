#include <cstddef>
#include <initializer_list>

#include "cpuid/cpu.h"

namespace vmd {
namespace {

// The twelve signature bytes come in EBX, ECX, EDX order, each register's
// least significant byte first, as x86 stores them. Shifted out rather than
// copied from memory, so that a replay on a big-endian host reads the same
// text. A shorter signature is padded with NUL bytes, which are not part of
// it.
std::string signature_of(const Registers& leaf) {
    char bytes[12];
    std::size_t at = 0;
    for (const std::uint32_t word : {leaf.ebx, leaf.ecx, leaf.edx}) {
        for (unsigned shift = 0; shift < 32; shift += 8) {
            bytes[at++] = static_cast<char>((word >> shift) & 0xFFu);
        }
    }
    std::size_t n = sizeof bytes;
    while (n > 0 && bytes[n - 1] == '\0') --n;
    return std::string(bytes, n);
}

constexpr std::uint32_t features = 1;
constexpr std::uint32_t hypervisor_base = 0x40000000;
constexpr std::uint32_t hyperv_features = 0x40000003;
constexpr std::uint32_t second_base = 0x40000100;
constexpr std::uint32_t hypervisor_present = 1u << 31;  // leaf 1, ECX

// Hyper-V partition privileges, high half (leaf 0x40000003, EBX). The root
// partition holds both the right to create partitions and to manage the
// processors; a confidential (isolated) partition claiming them is not
// believed, as Linux does not believe it either.
constexpr std::uint32_t create_partitions = 1u << 0;
constexpr std::uint32_t cpu_management = 1u << 12;
constexpr std::uint32_t isolation = 1u << 22;

bool is_root(std::uint32_t privileges) {
    const std::uint32_t root = create_partitions | cpu_management;
    return (privileges & root) == root && (privileges & isolation) == 0;
}

}  // namespace

Cpu decode_cpu(const LeafSource& leaves) {
    Cpu cpu;
    if (leaves.query == nullptr) return cpu;
    const auto ask = [&leaves](std::uint32_t leaf) {
        return leaves.query(leaves.context, leaf, 0);
    };

    cpu.available = true;
    cpu.hypervisor = (ask(features).ecx & hypervisor_present) != 0;
    // The hypervisor leaves hold arbitrary data on bare metal: read them only
    // when a hypervisor says it is there.
    if (!cpu.hypervisor) return cpu;

    const Registers base = ask(hypervisor_base);
    cpu.signature = signature_of(base);
    if (cpu.signature == "Microsoft Hv" && base.eax >= hyperv_features) {
        cpu.root_partition = is_root(ask(hyperv_features).ebx);
    }
    // A second interface range at 0x40000100 is how KVM offers itself beside
    // an emulated Hyper-V interface. Where there is none, the leaf returns
    // zeros or another leaf's data, so its maximum leaf must lie inside the
    // range for the signature to count.
    const Registers second = ask(second_base);
    if (second.eax >= second_base && second.eax <= second_base + 0xFF) {
        cpu.kvm_signature = signature_of(second);
    }
    return cpu;
}

Cpu read_cpu() { return decode_cpu(instruction_leaves()); }

}  // namespace vmd
