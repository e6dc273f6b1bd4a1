// --format prometheus: the run as node_exporter's textfile collector reads
// it (text exposition format 0.0.4). Only words and numbers are exported;
// evidence details may hold any byte and stay in the JSON report.
#include <algorithm>
#include <array>
#include <cstdio>
#include <string>
#include <string_view>

#include "cli.h"

namespace vmd::cli {
namespace {

constexpr std::array<std::string_view, 3> probe_statuses = {"ok", "unavailable", "error"};

// A label value as the format wants it: quote and backslash escaped, and
// everything outside printable ASCII shown as \xNN (by `shown`), so that
// the file is ASCII, hence valid UTF-8, whatever the words hold.
std::string label_value(std::string_view text) {
    std::string out;
    for (const char c : shown(text)) {
        if (c == '\\' || c == '"') out += '\\';
        out += c;
    }
    return out;
}

void family(std::string& out, std::string_view name, std::string_view help) {
    out.append("# HELP ").append(name).append(" ").append(help).append("\n");
    out.append("# TYPE ").append(name).append(" gauge\n");
}

std::string seconds(std::int64_t microseconds) {
    char text[32];
    std::snprintf(text, sizeof text, "%.6f", static_cast<double>(microseconds) / 1e6);
    return text;
}

}  // namespace

std::string prometheus(const Run& run, const Assessment& assessment) {
    std::string out;
    family(out, "vm_detection_info",
           "The detection's verdict and the module version that made it.");
    out += "vm_detection_info{likelihood=\"" + label_value(assessment.vm_likelihood) +
           "\",module_version=\"" + label_value(module_version) + "\"} 1\n";

    family(out, "vm_detection_vm_score", "How likely this system is a virtual machine, 0 to 99.");
    out += "vm_detection_vm_score " + std::to_string(assessment.vm_score) + "\n";

    std::string series;
    for (const VendorList& v : vendor_lists) {
        for (const std::string& vendor : assessment.*v.list) {
            series += "vm_detection_environment{kind=\"" + std::string(v.kind) + "\",vendor=\"" +
                      label_value(vendor) + "\"} 1\n";
        }
    }
    if (!series.empty()) {  // a family without samples would only puzzle readers
        family(out, "vm_detection_environment",
               "What this system runs in or hosts: hypervisor, container, compatibility_layer, "
               "host_hypervisor or cloud_provider, and its vendor.");
        out += series;
    }

    family(out, "vm_detection_probes", "How many of the run's probes ended with each status.");
    for (const std::string_view status : probe_statuses) {
        const auto count = std::count_if(run.result.probes.begin(), run.result.probes.end(),
                                         [&](const Probe& p) { return p.status == status; });
        out.append("vm_detection_probes{status=\"").append(status).append("\"} ");
        out += std::to_string(count) + "\n";
    }

    family(out, "vm_detection_duration_seconds", "How long the detection's probes took.");
    out += "vm_detection_duration_seconds " + seconds(run.duration_us) + "\n";
    return out;
}

}  // namespace vmd::cli
