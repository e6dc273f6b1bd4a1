// --format nfd: a feature file for Node Feature Discovery's local source.
// Every line must be a valid Kubernetes label, since one bad line makes the
// whole file rejected; containers are left out because inside a pod they
// describe the pod, not the node.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <set>
#include <string>
#include <string_view>

#include "cli.h"

namespace vmd::cli {
namespace {

constexpr std::string_view prefix = "vm-detection.feature.node.kubernetes.io/";
constexpr std::size_t max_name = 63;     // the part after the prefix, and a value
constexpr std::size_t max_file = 65535;  // NFD ignores files of 64 KiB and more

bool alphanumeric(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
}

bool label_byte(char c) { return alphanumeric(c) || c == '-' || c == '_' || c == '.'; }

// Whether `word` may stand as a label value as it is.
bool label_value(std::string_view word) {
    return !word.empty() && word.size() <= max_name && alphanumeric(word.front()) &&
           alphanumeric(word.back()) && std::all_of(word.begin(), word.end(), label_byte);
}

// The vendor word as a label name part after `head`: bytes a label cannot
// hold become '-', and the end must be alphanumeric. Vendor words are plain
// identifiers, so this only ever bites on a result no detector makes; empty
// when nothing usable is left.
std::string label_name(std::string_view head, std::string_view vendor) {
    std::string name(head);
    for (const char c : vendor.substr(0, max_name - std::min(max_name, head.size()))) {
        name += label_byte(c) ? c : '-';
    }
    while (!name.empty() && !alphanumeric(name.back())) name.pop_back();
    return name.size() > head.size() ? name : std::string();
}

}  // namespace

std::string nfd(const Assessment& assessment, std::string_view head) {
    std::string out(head);
    const auto label = [&](std::string_view name, std::string_view value) {
        out.append(prefix).append(name).append("=").append(value).append("\n");
    };
    label("vm", found(assessment, "vm") ? "true" : "false");
    // The likelihood words are label values already; anything else is not
    // written rather than written wrong.
    if (label_value(assessment.vm_likelihood)) label("vm-likelihood", assessment.vm_likelihood);
    label("vm-score", std::to_string(assessment.vm_score));

    std::set<std::string> written;
    for (const VendorList& v : vendor_lists) {
        if (v.label_head.empty()) continue;
        for (const std::string& vendor : assessment.*v.list) {
            const std::string name = label_name(v.label_head, vendor);
            if (name.empty() || !written.insert(name).second) continue;
            if (out.size() + prefix.size() + name.size() + sizeof "=true\n" - 1 > max_file) {
                return out;
            }
            label(name, "true");
        }
    }
    return out;
}

std::string nfd_expiry(std::time_t at) {
    // Calendar arithmetic only: gmtime_r and strftime would read $TZ and
    // /etc/localtime first, and a TZ naming a FIFO would block the writer.
    using namespace std::chrono;
    // RFC 3339 has four digits for the year; outside them a label file
    // could mean nothing, and the calendar types would not hold the date.
    constexpr sys_seconds first{sys_days{year{0} / January / 1}};
    constexpr sys_seconds end{sys_days{year{10000} / January / 1}};
    if (at < first.time_since_epoch().count() || at >= end.time_since_epoch().count()) return {};
    const sys_seconds instant{seconds{at}};
    const sys_days day = floor<days>(instant);
    const year_month_day date{day};
    const hh_mm_ss<seconds> time{instant - day};
    char text[128];  // room for any int, so that nothing can be cut
    std::snprintf(text, sizeof text, "# +expiry-time=%04d-%02u-%02uT%02d:%02d:%02dZ\n",
                  static_cast<int>(date.year()), static_cast<unsigned>(date.month()),
                  static_cast<unsigned>(date.day()), static_cast<int>(time.hours().count()),
                  static_cast<int>(time.minutes().count()),
                  static_cast<int>(time.seconds().count()));
    return text;
}

}  // namespace vmd::cli
