#include <string>

#include "firmware/markers.h"
#include "firmware/smbios.h"
#include "linux/groups.h"
#include "linux/probe_file.h"

namespace vmd {
namespace {

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
std::string dmi_field(Root root, Group& group, const ProbeFile& field) {
    File file = read_file(root, field);
    group.count(file);
    std::string& value = file.contents;
    const std::size_t keep = value.find_last_not_of("\r\n");
    value.resize(keep == std::string::npos ? 0 : keep + 1);
    return std::move(value);
}

void detect_dmi(Result& result, Root root) {
    static constexpr const ProbeFile* fields[] = {
        &files::sys_vendor,   &files::product_name, &files::product_version,
        &files::board_vendor, &files::board_name,   &files::bios_vendor,
    };
    Group dmi;
    for (const ProbeFile* field : fields) {
        firmware_marker(result, "firmware", dmi_field(root, dmi, *field));
    }
    firmware_cloud_marker(result, "firmware", dmi_field(root, dmi, files::chassis_asset_tag));
    result.probe("firmware", dmi.status());

    const File raw = read_file(root, files::bios_structure);
    if (raw.status == status_ok) {
        smbios(result, raw.contents);
    } else {
        observe(result, "firmware", raw);
    }
}

void detect_device_tree(Result& result, Root root) {
    static constexpr const ProbeFile* identification[] = {
        &files::tree_hypervisor, &files::tree_compatible, &files::tree_model};
    Group tree;
    for (const ProbeFile* path : identification) {
        const File file = read_file(root, *path);
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
    if (exists(root, files::partition_name) && exists(root, files::hmc_managed) &&
        !exists(root, files::qemu_graphics)) {
        result.add("device_tree", "guest", "powervm", 85, "IBM managed partition");
    }
    result.probe("device_tree", tree.status());
}

}  // namespace

void detect_firmware_tables(Result& result, Root root) {
    detect_dmi(result, root);
    detect_device_tree(result, root);
}

}  // namespace vmd
