#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <string>

#include "linux/groups.h"
#include "linux/probe_file.h"

namespace vmd {
namespace {

constexpr std::uint64_t xen_control_domain_feature = std::uint64_t{1} << 11;

// The Xen feature word, when the file begins with a hexadecimal number. It
// is 64 bits wide on every architecture (unsigned long is not), so that a
// 32-bit process reads the same word, and the same role, as a 64-bit one.
bool parse_features(const std::string& text, std::uint64_t& word) {
    // The contents are a std::string, so c_str() ends them at their first
    // NUL at the latest.
    return std::sscanf(text.c_str(), "%" SCNx64, &word) == 1;
}

// A Xen control domain (dom0) is the host side; any other domain is a guest,
// but without the role files that can only be guessed.
void detect_xen_role(Result& result, Root root, const std::string& type) {
    const File capabilities = read_file(root, files::xen_capabilities);
    const File features = read_file(root, files::xen_features);
    std::uint64_t word = 0;
    const bool parsed = parse_features(features.contents, word);
    const bool control = contains(capabilities.contents, "control_d") ||
                         (parsed && (word & xen_control_domain_feature) != 0);

    if (!contains(type, "xen")) {
        result.add("hypervisor", "guest", "unknown", 85, type);
        return;
    }
    const bool role_known = capabilities.status == status_ok || parsed;
    if (!role_known) {
        // The processor's Xen signature is also shown to a control domain, so
        // without the role it is only a hint.
        for (Evidence& e : result.evidence) {
            if (e.source == "cpu" && e.vendor == "xen") e.weight = 50;
        }
    }
    if (control) {
        result.add("hypervisor", "host", "xen", 0, "Xen control domain");
    } else if (role_known) {
        result.add("hypervisor", "guest", "xen", 95, "Xen guest domain");
    } else {
        result.add("hypervisor", "guest", "xen", 50, "Xen domain; role unavailable");
    }
}

}  // namespace

void detect_hypervisor_files(Result& result, Root root) {
    const File type = read_file(root, files::hypervisor_type);
    observe(result, "hypervisor", type);
    if (!type.contents.empty()) detect_xen_role(result, root, type.contents);

    const File sysinfo = read_file(root, files::sysinfo);
    observe(result, "system", sysinfo);
    if (sysinfo.status == status_ok) {
        if (contains(sysinfo.contents, "z/VM")) {
            result.add("system", "guest", "zvm", 95, "IBM z/VM control program");
        } else if (contains(sysinfo.contents, "KVM/Linux")) {
            result.add("system", "guest", "kvm", 95, "s390 KVM control program");
        }
    }

    const File cpuinfo = read_file(root, files::cpuinfo);
    observe(result, "system", cpuinfo);
    if (contains(cpuinfo.contents, "User Mode Linux")) {
        result.add("system", "guest", "uml", 95, "User Mode Linux CPU");
    }

    const File osrelease = read_file(root, files::osrelease);
    observe(result, "system", osrelease);
    const std::string release = lower(osrelease.contents);
    if (contains(release, "microsoft-standard") || contains(release, "wsl2")) {
        // WSL2 is a Hyper-V virtual machine running a Linux kernel.
        result.add("system", "guest", "hyperv", 90, "WSL2 kernel");
        result.add("system", "compatibility", "wsl2", 0, "WSL2 kernel");
    } else if (contains(release, "microsoft")) {
        result.add("system", "compatibility", "wsl", 0, "WSL kernel");
    }
}

}  // namespace vmd
