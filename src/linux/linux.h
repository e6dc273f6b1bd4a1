// The platform detector: firmware tables and device tree, hypervisor
// interface files, container probes, always all three and in this order.
#pragma once

#include <string>

#include "detection/result.h"

namespace vmd {

// Every probe path is read beneath `root` (plain concatenation; empty means
// the real file system).
void detect_linux(Result& result, const std::string& root);

}  // namespace vmd
