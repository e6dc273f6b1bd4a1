#include <string>

#include "firmware/markers.h"
#include "firmware/smbios.h"
#include "linux/groups.h"
#include "linux/probe_file.h"

namespace vmd {
namespace {

constexpr std::uint64_t field_limit = 4096;
constexpr std::uint64_t smbios_limit = 65536;

// Several reads make one probe: "error" if any read failed, else "ok" if any
// succeeded, else "unavailable".
struct Group {
    bool any_ok = false;
    bool any_error = false;

    void count(const File& file) {
        if (file.status == status_ok) any_ok = true;
        if (file.status == status_error) any_error = true;
    }
    const char* status() const {
        return any_error ? status_error : any_ok ? status_ok : status_unavailable;
    }
};

// A DMI field without the line end(s) the kernel appends.
std::string dmi_field(std::string_view root, Group& group, const char* name) {
    std::string path = "/sys/class/dmi/id/";
    path += name;
    File file = read_file(root, path.c_str(), field_limit);
    group.count(file);
    std::string& value = file.contents;
    const std::size_t keep = value.find_last_not_of("\r\n");
    value.resize(keep == std::string::npos ? 0 : keep + 1);
    return std::move(value);
}

void detect_dmi(Result& result, std::string_view root) {
    static constexpr const char* fields[] = {
        "sys_vendor", "product_name", "product_version",
        "board_vendor", "board_name", "bios_vendor",
    };
    Group dmi;
    for (const char* field : fields) {
        firmware_marker(result, "firmware", dmi_field(root, dmi, field));
    }
    firmware_cloud_marker(result, "firmware", dmi_field(root, dmi, "chassis_asset_tag"));
    result.probe("firmware", dmi.status());

    const File raw = read_file(root, "/sys/firmware/dmi/entries/0-0/raw", smbios_limit);
    if (raw.status == status_ok) {
        smbios(result, raw.contents);
    } else {
        observe(result, "firmware", raw);
    }
}

void detect_device_tree(Result& result, std::string_view root) {
    static constexpr const char* files[] = {
        "/proc/device-tree/hypervisor/compatible",
        "/proc/device-tree/compatible",
        "/proc/device-tree/model",
    };
    Group tree;
    for (const char* path : files) {
        const File file = read_file(root, path, field_limit);
        tree.count(file);
        // Handed over as read: properties are NUL-separated lists.
        firmware_marker(result, "device_tree", file.contents);
        if (contains(file.contents, "linux,dummy-virt")) {
            result.add("device_tree", "guest", "unknown", 85,
                       "generic virtual machine device tree");
        }
    }
    // A PowerVM logical partition managed by an HMC; QEMU's pseries machine
    // shows the same two entries but also its graphics property.
    if (exists(root, "/proc/device-tree/ibm,partition-name") &&
        exists(root, "/proc/device-tree/hmc-managed?") &&
        !exists(root, "/proc/device-tree/chosen/qemu,graphic-width")) {
        result.add("device_tree", "guest", "powervm", 85, "IBM managed partition");
    }
    result.probe("device_tree", tree.status());
}

}  // namespace

void detect_firmware_tables(Result& result, std::string_view root) {
    detect_dmi(result, root);
    detect_device_tree(result, root);
}

}  // namespace vmd
