// The platform detector: firmware tables and device tree, hypervisor
// interface files, container probes, always all three and in this order.
#pragma once

#include "detection/result.h"
#include "linux/probe_file.h"

namespace vmd {

// Every probe path is read beneath `root` (empty: the real file system).
void detect_linux(Result& result, Root root);

}  // namespace vmd
