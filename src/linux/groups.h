// The three probe groups of detect_linux and the cgroup scan, declared apart
// so that tests, fuzzers and benchmarks can drive each one on its own.
#pragma once

#include <string_view>

#include "detection/result.h"
#include "linux/probe_file.h"

namespace vmd {

// DMI fields, the raw SMBIOS BIOS structure, the device tree and the PowerVM
// partition test: probes "firmware", "firmware", "device_tree".
void detect_firmware_tables(Result& result, Root root);

// Hypervisor type and Xen role, s390 system information, processor
// information and kernel release: probes "hypervisor", then three "system".
void detect_hypervisor_files(Result& result, Root root);

// Marker files, the systemd container identifier and the cgroup membership
// of this process: one "container" probe.
void detect_containers(Result& result, Root root);

// Container evidence from the text of /proc/self/cgroup; works on views of
// the text and copies nothing.
void cgroup_markers(Result& result, std::string_view text);

// A 64-character lower-case hexadecimal container identifier.
bool container_id(std::string_view name);

// `prefix`, a container identifier and ".scope": a systemd scope unit.
bool scope_id(std::string_view name, std::string_view prefix);

}  // namespace vmd
