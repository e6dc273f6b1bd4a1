// The record every detector writes into, and the two text helpers that all
// detectors match with.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace vmd {

// One finding. The detail is cut to `max_detail` bytes by Result::add.
struct Evidence {
    std::string source;
    std::string category;
    std::string vendor;
    std::string detail;
    std::int32_t weight = 0;
};

// One attempted check and whether it could be made: "ok", "unavailable" or
// "error".
struct Probe {
    std::string source;
    std::string status;
};

inline constexpr std::size_t max_detail = 160;

// The findings and checks of one detection run, in the order of recording.
// Detectors may read both lists and adjust weights already recorded.
struct Result {
    std::vector<Evidence> evidence;
    std::vector<Probe> probes;

    // Appends a finding unless one with the same source, category, vendor
    // and (cut) detail is already there; the first weight stays.
    void add(std::string_view source, std::string_view category, std::string_view vendor,
             std::int32_t weight, std::string_view detail);

    // Appends a check; repeats are kept.
    void probe(std::string_view source, std::string_view status);
};

// ASCII-only lower-casing copy; bytes outside 'A'..'Z' are left alone.
std::string lower(std::string_view text);

// Case-sensitive byte substring test; the empty needle is in every text.
bool contains(std::string_view text, std::string_view needle);

}  // namespace vmd
