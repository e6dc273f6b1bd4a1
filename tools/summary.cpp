// The human-readable account of --summary and the answers of --check.
#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdio>

#include "cli.h"

namespace vmd::cli {
namespace {

// A --check word and the report list whose being non-empty answers it.
struct Kind {
    std::string_view word;
    std::string_view list;
};
constexpr std::array<Kind, 4> list_kinds = {{
    {"container", "containers"},
    {"compat", "compatibility_layers"},
    {"cloud", "cloud_providers"},
    {"host", "host_hypervisors"},
}};

// The lists that get a line of their own when they are not empty.
constexpr std::array<std::pair<std::string_view, std::string_view>, 4> found_lines = {{
    {"containers", "containers"},
    {"compatibility_layers", "compatibility layers"},
    {"host_hypervisors", "host hypervisors"},
    {"cloud_providers", "cloud providers"},
}};

// Texts from the report may hold any byte; control bytes, DEL, bytes above
// 0x7f and the backslash are shown as escapes so that nothing reaches the
// terminal raw.
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

std::string joined(const Json* list) {
    std::string out;
    if (list == nullptr) return out;
    for (const Json& item : list->items) {
        if (!out.empty()) out += ", ";
        out += shown(item.text);
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

std::string summary(const Json& report) {
    std::string out = "virtual machine: " + words(report.text_of("vm_likelihood"));
    const Json* score = report.get("vm_score");
    out += " (score " + std::to_string(score != nullptr ? score->integer : 0) + ")";
    const std::string hypervisors = joined(report.get("hypervisors"));
    if (!hypervisors.empty()) out += ": " + hypervisors;
    out += '\n';

    for (const auto& [key, title] : found_lines) {
        const std::string vendors = joined(report.get(key));
        if (!vendors.empty()) out += std::string(title) + ": " + vendors + '\n';
    }

    const Json* evidence = report.get("evidence");
    if (evidence == nullptr || evidence->items.empty()) {
        out += "\nevidence: none\n";
    } else {
        out += "\nevidence:\n";
        std::vector<Row> rows = {{"source", "category", "vendor", "weight", "detail"}};
        for (const Json& e : evidence->items) {
            const Json* weight = e.get("weight");
            rows.push_back({shown(e.text_of("source")), shown(e.text_of("category")),
                            shown(e.text_of("vendor")),
                            std::to_string(weight != nullptr ? weight->integer : 0),
                            shown(e.text_of("detail"))});
        }
        table(out, rows, 3);
    }

    const Json* probes = report.get("probes");
    if (probes == nullptr || probes->items.empty()) {
        out += "\nprobes: none\n";
    } else {
        out += "\nprobes:\n";
        std::vector<Row> rows;
        for (const Json& p : probes->items) {
            rows.push_back({shown(p.text_of("source")), shown(p.text_of("status"))});
        }
        table(out, rows, no_column);
    }

    if (const Json* duration = report.get("duration_us")) {
        out += "\nduration: " + std::to_string(duration->integer) + " us\n";
    }
    return out;
}

bool check_kind_known(std::string_view kind) {
    return kind == "vm" || std::any_of(list_kinds.begin(), list_kinds.end(),
                                       [&](const Kind& k) { return k.word == kind; });
}

bool found(const Json& report, std::string_view kind) {
    if (kind == "vm") {
        const std::string_view likelihood = report.text_of("vm_likelihood");
        return likelihood == "likely" || likelihood == "very_likely";
    }
    for (const Kind& k : list_kinds) {
        if (k.word == kind) {
            const Json* list = report.get(k.list);
            return list != nullptr && !list->items.empty();
        }
    }
    return false;
}

}  // namespace vmd::cli
