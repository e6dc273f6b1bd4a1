#include "detection/report.h"

#include <algorithm>
#include <string_view>
#include <utility>

namespace vmd {
namespace {

void append(std::vector<std::string>& list, std::string_view vendor) {
    if (vendor == "unknown" || std::find(list.begin(), list.end(), vendor) != list.end()) {
        return;
    }
    list.emplace_back(vendor);
}

// A "cpu" guest finding is the same hypervisor seen from inside; when another
// probe shows this machine is that hypervisor's host, the finding is moot.
bool has_host(const Result& result, std::string_view vendor) {
    return std::any_of(result.evidence.begin(), result.evidence.end(), [&](const Evidence& e) {
        return e.category == "host" && e.vendor == vendor;
    });
}

// Appends the text as a JSON string; every byte outside printable ASCII
// becomes a \u00XX escape, so the report is pure ASCII whatever it holds.
void quote(std::string& out, std::string_view text) {
    static constexpr char hex[] = "0123456789abcdef";
    out += '"';
    for (char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte == '"' || byte == '\\') {
            out += '\\';
            out += c;
        } else if (byte < 0x20 || byte >= 0x7F) {
            out += "\\u00";
            out += hex[byte >> 4];
            out += hex[byte & 0x0F];
        } else {
            out += c;
        }
    }
    out += '"';
}

void array(std::string& out, const std::vector<std::string>& list) {
    out += '[';
    for (std::size_t i = 0; i < list.size(); ++i) {
        if (i != 0) out += ',';
        quote(out, list[i]);
    }
    out += ']';
}

}  // namespace

Assessment assess(const Result& result) {
    Assessment a;
    std::vector<std::pair<std::string_view, std::int32_t>> peaks;
    for (const Evidence& e : result.evidence) {
        if (e.category == "guest") {
            if (e.source == "cpu" && has_host(result, e.vendor)) continue;
            append(a.hypervisors, e.vendor);
            auto peak = std::find_if(peaks.begin(), peaks.end(),
                                     [&](const auto& p) { return p.first == e.source; });
            if (peak == peaks.end()) {
                peaks.emplace_back(e.source, std::max<std::int32_t>(0, e.weight));
            } else {
                peak->second = std::max(peak->second, e.weight);
            }
        } else if (e.category == "container") {
            append(a.containers, e.vendor);
        } else if (e.category == "compatibility") {
            append(a.compatibility_layers, e.vendor);
        } else if (e.category == "host") {
            append(a.host_hypervisors, e.vendor);
        } else if (e.category == "cloud") {
            append(a.cloud_providers, e.vendor);
        }
    }

    int strong_sources = 0;
    for (const auto& [source, peak] : peaks) {
        a.vm_score = std::max(a.vm_score, peak);
        if (peak >= 50 && source != "timing") ++strong_sources;
    }
    // Written so that no weight, however large, can overflow the score.
    if (strong_sources >= 2) a.vm_score = a.vm_score >= 94 ? 99 : a.vm_score + 5;

    if (a.vm_score >= 90) {
        a.vm_likelihood = "very_likely";
    } else if (a.vm_score >= 70) {
        a.vm_likelihood = "likely";
    } else if (a.vm_score >= 1) {
        a.vm_likelihood = "possible";
    } else if (std::any_of(result.probes.begin(), result.probes.end(), [](const Probe& p) {
                   return p.status == "ok" && p.source != "container" &&
                          p.source != "compatibility";
               })) {
        // Only a check aimed at virtual machines that could really be made
        // may claim their absence.
        a.vm_likelihood = "not_detected";
    }
    return a;
}

std::string to_json(const Result& result, std::int64_t duration_us) {
    const Assessment a = assess(result);
    std::string out;
    out.reserve(512 + 160 * result.evidence.size() + 48 * result.probes.size());

    out += "{\"schema_version\":1,\"module_version\":";
    quote(out, module_version);
    out += ",\"vm_score\":";
    out += std::to_string(a.vm_score);
    out += ",\"vm_likelihood\":";
    quote(out, a.vm_likelihood);
    out += ",\"hypervisors\":";
    array(out, a.hypervisors);
    out += ",\"containers\":";
    array(out, a.containers);
    out += ",\"compatibility_layers\":";
    array(out, a.compatibility_layers);
    out += ",\"host_hypervisors\":";
    array(out, a.host_hypervisors);
    out += ",\"cloud_providers\":";
    array(out, a.cloud_providers);

    out += ",\"evidence\":[";
    for (std::size_t i = 0; i < result.evidence.size(); ++i) {
        const Evidence& e = result.evidence[i];
        if (i != 0) out += ',';
        out += "{\"source\":";
        quote(out, e.source);
        out += ",\"category\":";
        quote(out, e.category);
        out += ",\"vendor\":";
        quote(out, e.vendor);
        out += ",\"weight\":";
        out += std::to_string(e.weight);
        out += ",\"detail\":";
        quote(out, e.detail);
        out += '}';
    }
    out += "],\"probes\":[";
    for (std::size_t i = 0; i < result.probes.size(); ++i) {
        const Probe& p = result.probes[i];
        if (i != 0) out += ',';
        out += "{\"source\":";
        quote(out, p.source);
        out += ",\"status\":";
        quote(out, p.status);
        out += '}';
    }
    out += "],\"duration_us\":";
    out += std::to_string(duration_us);
    out += '}';
    return out;
}

}  // namespace vmd
