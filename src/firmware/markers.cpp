#include "firmware/markers.h"

#include <string>
#include <utility>

namespace vmd {
namespace {

using Marker = std::pair<std::string_view, std::string_view>;  // marker, vendor

constexpr Marker clouds[] = {
    {"amazon ec2", "aws"},
    {"google compute engine", "gcp"},
    {"alibaba cloud", "alibaba"},
    {"7783-7084-3265-9085-8269-3286-77", "azure"},  // Azure's chassis asset tag
    {"openstack", "openstack"},
};

bool word_byte(char c) { return (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9'); }

// Whole-word search, so that "Xenial" or "kvm64" do not count; with
// `open_right` the marker may be followed by anything ("VirtualMac2,1").
bool has_word(std::string_view text, std::string_view marker, bool open_right) {
    for (std::size_t p = text.find(marker); p != std::string_view::npos;
         p = text.find(marker, p + 1)) {
        const std::size_t end = p + marker.size();
        const bool left = p == 0 || !word_byte(text[p - 1]);
        const bool right = open_right || end == text.size() || !word_byte(text[end]);
        if (left && right) return true;
    }
    return false;
}

}  // namespace

void firmware_marker(Result& result, std::string_view source, std::string_view value) {
    static constexpr Marker markers[] = {
        {"vmware", "vmware"},
        {"virtualbox", "virtualbox"},
        {"innotek gmbh", "virtualbox"},
        {"parallels", "parallels"},
        {"qemu", "qemu"},
        {"kvm", "kvm"},
        {"xen", "xen"},
        {"bhyve", "bhyve"},
        {"bochs", "bochs"},
        {"hyper-v", "hyperv"},
        {"apple virtualization", "apple"},
        {"virtualmac", "apple"},
        {"cloud hypervisor", "cloud-hypervisor"},
        {"firecracker", "firecracker"},
        {"crosvm", "crosvm"},
        {"openstack", "openstack"},
        {"kubevirt", "kubevirt"},
        {"hvm domu", "xen"},
    };
    const std::string text = lower(value);
    for (const auto& [marker, vendor] : markers) {
        if (has_word(text, marker, marker == "virtualmac")) {
            result.add(source, "guest", vendor, 85, marker);
        }
    }
    if (text == "virtual machine") {
        result.add(source, "guest", "unknown", 80, "Virtual Machine product");
    }
    firmware_cloud_marker(result, source, value);
}

void firmware_cloud_marker(Result& result, std::string_view source, std::string_view value) {
    const std::string text = lower(value);
    for (const auto& [marker, vendor] : clouds) {
        if (contains(text, marker)) result.add(source, "cloud", vendor, 0, marker);
    }
}

}  // namespace vmd
