// Condenses a Result into a score, a likelihood word and vendor lists, and
// writes the JSON report.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "detection/result.h"

namespace vmd {

inline constexpr const char* module_version = VMD_VERSION;  // from project(VERSION)

struct Assessment {
    std::int32_t vm_score = 0;
    std::string vm_likelihood = "unknown";
    std::vector<std::string> hypervisors;
    std::vector<std::string> containers;
    std::vector<std::string> compatibility_layers;
    std::vector<std::string> host_hypervisors;
    std::vector<std::string> cloud_providers;
};

Assessment assess(const Result& result);

// The whole report as one line of pure-ASCII JSON, without a trailing newline.
std::string to_json(const Result& result, std::int64_t duration_us);

}  // namespace vmd
