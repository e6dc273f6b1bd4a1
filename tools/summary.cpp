// The human-readable account of --summary and the answers of --check.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <iterator>
#include <string>
#include <vector>

#include "cli.h"

namespace vmd::cli {
namespace {

std::string joined(const std::vector<std::string>& list) {
    std::string out;
    for (const std::string& item : list) {
        if (!out.empty()) out += ", ";
        out += shown(item);
    }
    return out;
}

std::string words(std::string_view likelihood) {
    std::string out = shown(likelihood);
    std::replace(out.begin(), out.end(), '_', ' ');
    return out;
}

void pad(std::string& out, std::string_view cell, std::size_t width) {
    out += cell;
    out.append(width - cell.size() + 2, ' ');
}

using Row = std::vector<std::string>;
constexpr std::size_t no_column = SIZE_MAX;

// Left-aligned columns two spaces apart; the columns in `right` are
// right-aligned and the last column is not padded.
void table(std::string& out, const std::vector<Row>& rows, std::size_t right) {
    std::vector<std::size_t> widths;
    for (const Row& row : rows) {
        widths.resize(std::max(widths.size(), row.size()));
        for (std::size_t k = 0; k < row.size(); ++k) {
            widths[k] = std::max(widths[k], row[k].size());
        }
    }
    for (const Row& row : rows) {
        out += "  ";
        for (std::size_t k = 0; k < row.size(); ++k) {
            if (k + 1 == row.size()) {
                out += row[k];
            } else if (k == right) {
                out.append(widths[k] - row[k].size(), ' ');
                out += row[k];
                out += "  ";
            } else {
                pad(out, row[k], widths[k]);
            }
        }
        while (out.back() == ' ') out.pop_back();  // an empty last cell
        out += '\n';
    }
}

}  // namespace

std::string shown(std::string_view text) {
    std::string out;
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte == '\\') {
            out += "\\\\";
        } else if (byte < 0x20 || byte >= 0x7f) {
            char escape[5];
            std::snprintf(escape, sizeof escape, "\\x%02x", byte);
            out += escape;
        } else {
            out += c;
        }
    }
    return out;
}

std::string summary(const Run& run, const Assessment& assessment, bool platform_only) {
    std::string out = "virtual machine: " + words(assessment.vm_likelihood) + " (score " +
                      std::to_string(assessment.vm_score) + ")";
    const std::string hypervisors = joined(assessment.hypervisors);
    if (!hypervisors.empty()) out += ": " + hypervisors;
    out += '\n';

    for (const VendorList& v : vendor_lists) {
        const std::string vendors = joined(assessment.*v.list);
        if (!v.title.empty() && !vendors.empty())
            out += std::string(v.title) + ": " + vendors + '\n';
    }
    if (platform_only) {
        out += "processor: not captured; only the platform probes ran\n";
    }

    const Result& result = run.result;
    if (result.evidence.empty()) {
        out += "\nevidence: none\n";
    } else {
        out += "\nevidence:\n";
        std::vector<Row> rows = {{"source", "category", "vendor", "weight", "detail"}};
        for (const Evidence& e : result.evidence) {
            rows.push_back({shown(e.source), shown(e.category), shown(e.vendor),
                            std::to_string(e.weight), shown(e.detail)});
        }
        table(out, rows, 3);
    }

    if (result.probes.empty()) {
        out += "\nprobes: none\n";
    } else {
        out += "\nprobes:\n";
        std::vector<Row> rows;
        for (const Probe& p : result.probes) rows.push_back({shown(p.source), shown(p.status)});
        table(out, rows, no_column);
    }

    out += "\nduration: " + std::to_string(run.duration_us) + " us\n";
    return out;
}

bool check_kind_known(std::string_view kind) {
    return kind == "vm" ||
           std::any_of(std::begin(vendor_lists), std::end(vendor_lists),
                       [&](const VendorList& v) { return !v.check.empty() && v.check == kind; });
}

bool found(const Assessment& assessment, std::string_view kind) {
    if (kind == "vm") {
        return assessment.vm_likelihood == "likely" || assessment.vm_likelihood == "very_likely";
    }
    for (const VendorList& v : vendor_lists) {
        if (!v.check.empty() && v.check == kind) return !(assessment.*v.list).empty();
    }
    return false;
}

}  // namespace vmd::cli
