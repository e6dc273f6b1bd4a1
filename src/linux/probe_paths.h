// Every file the platform probes read, with the size limit of each read, and
// every marker whose mere existence they test, in the order detect_linux
// reaches them. The probe groups name their paths themselves; this table is
// for code that must handle the same files from outside, such as
// `vmd-detect --capture`. probe_paths_test checks it against the probes.
#pragma once

#include <cstdint>

namespace vmd {

struct ProbeRead {
    const char* path;
    std::uint64_t limit;  // the largest file that still reads "ok"
};

inline constexpr ProbeRead probe_reads[] = {
    {"/sys/class/dmi/id/sys_vendor", 4096},
    {"/sys/class/dmi/id/product_name", 4096},
    {"/sys/class/dmi/id/product_version", 4096},
    {"/sys/class/dmi/id/board_vendor", 4096},
    {"/sys/class/dmi/id/board_name", 4096},
    {"/sys/class/dmi/id/bios_vendor", 4096},
    {"/sys/class/dmi/id/chassis_asset_tag", 4096},
    {"/sys/firmware/dmi/entries/0-0/raw", 65536},
    {"/proc/device-tree/hypervisor/compatible", 4096},
    {"/proc/device-tree/compatible", 4096},
    {"/proc/device-tree/model", 4096},
    {"/sys/hypervisor/type", 4096},
    {"/proc/xen/capabilities", 4096},
    {"/sys/hypervisor/properties/features", 4096},
    {"/proc/sysinfo", 65536},
    {"/proc/cpuinfo", 1048576},
    {"/proc/sys/kernel/osrelease", 4096},
    {"/proc/self/cgroup", 65536},
    {"/run/systemd/container", 4096},
};

inline constexpr const char* probe_markers[] = {
    "/proc/device-tree/ibm,partition-name",
    "/proc/device-tree/hmc-managed?",
    "/proc/device-tree/chosen/qemu,graphic-width",
    "/run/.containerenv",
    "/.dockerenv",
};

}  // namespace vmd
