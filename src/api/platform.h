#pragma once

#include "detection/result.h"

namespace vmd {

// Runs every platform probe against the real file system.
void detect_platform(Result& result);

}  // namespace vmd
