// Walks raw SMBIOS structures for the firmware's own statement that it runs
// in a virtual machine and for vendor and product strings.
#pragma once

#include <string_view>

#include "detection/result.h"

namespace vmd {

// Records one "firmware" probe, after the evidence: "ok" when the bytes are
// well formed, "error" when they are empty or malformed.
void smbios(Result& result, std::string_view bytes);

}  // namespace vmd
