// A Result flattened into strings, so that a test can compare whole lists of
// findings and probes at once and a failure shows every entry.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "detection/result.h"

namespace vmd::test {

// Each finding as "source<sep>category<sep>vendor<sep>weight<sep>detail".
inline std::vector<std::string> findings(const Result& result, std::string_view sep = " ") {
    std::vector<std::string> out;
    for (const Evidence& e : result.evidence) {
        std::string row = e.source;
        for (const std::string& part : {e.category, e.vendor, std::to_string(e.weight), e.detail}) {
            row += sep;
            row += part;
        }
        out.push_back(std::move(row));
    }
    return out;
}

// Each probe as "source<sep>status".
inline std::vector<std::string> probe_list(const Result& result, std::string_view sep = " ") {
    std::vector<std::string> out;
    for (const Probe& p : result.probes) {
        out.push_back(p.source + std::string(sep) + p.status);
    }
    return out;
}

}  // namespace vmd::test
