#include <string_view>
#include <utility>

#include "cpuid/cpu.h"

namespace vmd {
namespace {

// Signatures are compared whole, case and blanks included.
// clang-format off
constexpr std::pair<std::string_view, std::string_view> entries[] = {
    {"KVMKVMKVM", "kvm"},
    {"Linux KVM Hv", "kvm"},
    {"TCGTCGTCGTCG", "qemu"},
    {"VMwareVMware", "vmware"},
    {"VBoxVBoxVBox", "virtualbox"},
    {"XenVMMXenVMM", "xen"},
    {"Microsoft Hv", "hyperv"},
    {"bhyve bhyve ", "bhyve"},
    {"BHyVE BHyVE ", "bhyve"},
    {"ACRNACRNACRN", "acrn"},
    {"QNXQVMBSQG", "qnx"},
    {"SRESRESRESRE", "sre"},
    {"___ NVMM ___", "nvmm"},
    {"Apple VZ", "apple"},
    {" prl hyperv ", "parallels"},
    {"prl hyperv  ", "parallels"},
};
// clang-format on

std::string_view vendor(std::string_view signature) {
    for (const auto& [known, name] : entries) {
        if (known == signature) return name;
    }
    return "unknown";
}

}  // namespace

void detect_cpu(Result& result, const Cpu& cpu) {
    result.probe("cpu", cpu.available ? "ok" : "unavailable");
    if (!cpu.available || !cpu.hypervisor) return;

    const std::string_view v = vendor(cpu.signature);
    if (cpu.root_partition && v == "hyperv") {
        result.add("cpu", "host", "hyperv", 0, "root partition privileges");
    } else {
        // Hyper-V's interface is also offered by other hypervisors for Windows
        // guests, so on its own it is weaker evidence.
        result.add("cpu", "guest", v, v == "hyperv" ? 50 : 95, cpu.signature);
    }
    if (vendor(cpu.kvm_signature) == "kvm") {
        result.add("cpu", "guest", "kvm", 95, "KVM interface at 0x40000100");
    }
}

}  // namespace vmd
