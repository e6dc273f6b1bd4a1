// Recognises virtual-machine products and cloud providers in firmware and
// platform strings.
#pragma once

#include <string_view>

#include "detection/result.h"

namespace vmd {

// Adds "guest" evidence for every product marker found as a whole word
// (case-insensitive), then checks the same text for cloud markers.
void firmware_marker(Result& result, std::string_view source, std::string_view value);

// Adds "cloud" evidence for every cloud marker found anywhere in the text.
void firmware_cloud_marker(Result& result, std::string_view source, std::string_view value);

}  // namespace vmd
