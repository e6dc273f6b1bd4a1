// Every file the platform probes touch, with the size limit of each read:
// the one place where a probe file is named. The probe groups read their
// files through these rows; `vmd-detect --capture`, the tests, the fuzzers
// and the benchmark floor walk the list. Adding a probe file is one row
// here, its place in `probe_files`, and the logic that uses it.
#pragma once

#include <cstdint>

namespace vmd {

struct ProbeFile {
    enum class Use { read, exists };

    const char* path;     // absolute; the run puts its root prefix before it
    std::uint64_t limit;  // the largest file that still reads "ok"; 0 when only tested
    Use use;
};

namespace files {

using enum ProbeFile::Use;

// Firmware tables: DMI identification fields and the raw SMBIOS BIOS
// Information structure.
inline constexpr ProbeFile sys_vendor{"/sys/class/dmi/id/sys_vendor", 4096, read};
inline constexpr ProbeFile product_name{"/sys/class/dmi/id/product_name", 4096, read};
inline constexpr ProbeFile product_version{"/sys/class/dmi/id/product_version", 4096, read};
inline constexpr ProbeFile board_vendor{"/sys/class/dmi/id/board_vendor", 4096, read};
inline constexpr ProbeFile board_name{"/sys/class/dmi/id/board_name", 4096, read};
inline constexpr ProbeFile bios_vendor{"/sys/class/dmi/id/bios_vendor", 4096, read};
inline constexpr ProbeFile chassis_asset_tag{"/sys/class/dmi/id/chassis_asset_tag", 4096, read};
inline constexpr ProbeFile bios_structure{"/sys/firmware/dmi/entries/0-0/raw", 65536, read};

// Device tree, and the entries that make a PowerVM partition.
inline constexpr ProbeFile tree_hypervisor{"/proc/device-tree/hypervisor/compatible", 4096, read};
inline constexpr ProbeFile tree_compatible{"/proc/device-tree/compatible", 4096, read};
inline constexpr ProbeFile tree_model{"/proc/device-tree/model", 4096, read};
inline constexpr ProbeFile partition_name{"/proc/device-tree/ibm,partition-name", 0, exists};
inline constexpr ProbeFile hmc_managed{"/proc/device-tree/hmc-managed?", 0, exists};
inline constexpr ProbeFile qemu_graphics{"/proc/device-tree/chosen/qemu,graphic-width", 0, exists};

// Hypervisor interface files; the two Xen role files are read only behind a
// hypervisor type.
inline constexpr ProbeFile hypervisor_type{"/sys/hypervisor/type", 4096, read};
inline constexpr ProbeFile xen_capabilities{"/proc/xen/capabilities", 4096, read};
inline constexpr ProbeFile xen_features{"/sys/hypervisor/properties/features", 4096, read};
inline constexpr ProbeFile sysinfo{"/proc/sysinfo", 65536, read};
inline constexpr ProbeFile cpuinfo{"/proc/cpuinfo", 1048576, read};
inline constexpr ProbeFile osrelease{"/proc/sys/kernel/osrelease", 4096, read};

// Containers.
inline constexpr ProbeFile cgroup{"/proc/self/cgroup", 65536, read};
inline constexpr ProbeFile systemd_container{"/run/systemd/container", 4096, read};
inline constexpr ProbeFile containerenv{"/run/.containerenv", 0, exists};
inline constexpr ProbeFile dockerenv{"/.dockerenv", 0, exists};

}  // namespace files

// In the order in which a run reaches them.
inline constexpr const ProbeFile* probe_files[] = {
    &files::sys_vendor,        &files::product_name,   &files::product_version,
    &files::board_vendor,      &files::board_name,     &files::bios_vendor,
    &files::chassis_asset_tag, &files::bios_structure, &files::tree_hypervisor,
    &files::tree_compatible,   &files::tree_model,     &files::partition_name,
    &files::hmc_managed,       &files::qemu_graphics,  &files::hypervisor_type,
    &files::xen_capabilities,  &files::xen_features,   &files::sysinfo,
    &files::cpuinfo,           &files::osrelease,      &files::cgroup,
    &files::systemd_container, &files::containerenv,   &files::dockerenv,
};

}  // namespace vmd
