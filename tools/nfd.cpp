// --format nfd: a feature file for Node Feature Discovery's local source.
// Every line must be a valid Kubernetes label, since one bad line makes the
// whole file rejected; containers are left out because inside a pod they
// describe the pod, not the node.
#include <algorithm>
#include <set>
#include <string>
#include <string_view>

#include "cli.h"

namespace vmd::cli {
namespace {

constexpr std::string_view prefix = "vm-detection.feature.node.kubernetes.io/";
constexpr std::size_t max_name = 63;     // the part after the prefix, as for values
constexpr std::size_t max_file = 65535;  // NFD ignores files of 64 KiB and more

bool alphanumeric(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
}

// The vendor word as a label name part after `head`: bytes a label cannot
// hold become '-', and the end must be alphanumeric. Vendor words are plain
// identifiers, so this only ever bites on a result no detector makes; empty
// when nothing usable is left.
std::string label_name(std::string_view head, std::string_view vendor) {
    std::string name(head);
    for (const char c : vendor.substr(0, max_name - std::min(max_name, head.size()))) {
        name += alphanumeric(c) || c == '-' || c == '_' || c == '.' ? c : '-';
    }
    while (!name.empty() && !alphanumeric(name.back())) name.pop_back();
    return name.size() > head.size() ? name : std::string();
}

}  // namespace

std::string nfd(const Assessment& assessment) {
    std::string out;
    const auto label = [&](std::string_view name, std::string_view value) {
        out.append(prefix).append(name).append("=").append(value).append("\n");
    };
    label("vm", found(assessment, "vm") ? "true" : "false");
    // The likelihood words are label values already; anything else is not
    // written rather than written wrong.
    const std::string likelihood = label_name("", assessment.vm_likelihood);
    if (!likelihood.empty() && likelihood == assessment.vm_likelihood &&
        alphanumeric(likelihood.front())) {
        label("vm-likelihood", likelihood);
    }
    label("vm-score", std::to_string(assessment.vm_score));

    std::set<std::string> written;
    for (const VendorList& v : vendor_lists) {
        if (v.label_head.empty()) continue;
        for (const std::string& vendor : assessment.*v.list) {
            const std::string name = label_name(v.label_head, vendor);
            if (name.empty() || !written.insert(name).second) continue;
            if (out.size() + prefix.size() + name.size() + 6 > max_file) return out;
            label(name, "true");
        }
    }
    return out;
}

}  // namespace vmd::cli
