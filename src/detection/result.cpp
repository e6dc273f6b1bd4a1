#include "detection/result.h"

namespace vmd {

void Result::add(std::string_view source, std::string_view category, std::string_view vendor,
                 std::int32_t weight, std::string_view detail) {
    detail = detail.substr(0, max_detail);
    for (const Evidence& e : evidence) {
        if (e.source == source && e.category == category && e.vendor == vendor &&
            e.detail == detail) {
            return;
        }
    }
    // Build the entry first so that a failed allocation leaves the list as it was.
    Evidence entry{std::string(source), std::string(category), std::string(vendor),
                   std::string(detail), weight};
    evidence.push_back(std::move(entry));
}

void Result::probe(std::string_view source, std::string_view status) {
    Probe entry{std::string(source), std::string(status)};
    probes.push_back(std::move(entry));
}

std::string lower(std::string_view text) {
    std::string copy(text);
    for (char& c : copy) {
        if (c >= 'A' && c <= 'Z') {
            c = static_cast<char>(c + ('a' - 'A'));
        }
    }
    return copy;
}

bool contains(std::string_view text, std::string_view needle) {
    return text.find(needle) != std::string_view::npos;
}

}  // namespace vmd
