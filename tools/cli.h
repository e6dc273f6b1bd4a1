// The pieces of vmd-detect: reading the report back, printing it for people,
// answering --check, and capturing probe files.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace vmd::cli {

inline constexpr int exit_ok = 0;
inline constexpr int exit_not_found = 1;
inline constexpr int exit_usage = 2;
inline constexpr int exit_failed = 3;

// The JSON that reports are made of: objects, arrays, strings and integers.
// Strings hold the decoded bytes.
struct Json {
    enum class Kind { integer, string, array, object };
    Kind kind = Kind::integer;
    std::int64_t integer = 0;
    std::string text;
    std::vector<Json> items;
    std::vector<std::pair<std::string, Json>> members;

    // The member named `key` of an object, or null.
    const Json* get(std::string_view key) const;
    // The member's text, or "" when it is missing or not a string.
    std::string_view text_of(std::string_view key) const;
};

// Parses one report; nullopt for anything else, trailing bytes included.
std::optional<Json> parse_report(std::string_view text);

// The same JSON, indented by two spaces per level, member order unchanged;
// no trailing newline.
std::string pretty(std::string_view compact);

// The report as a short account for people, ending in a newline.
std::string summary(const Json& report);

// Whether the report found the kind named by --check ("vm", "container",
// "compat", "cloud", "host"); false for any other word.
bool check_kind_known(std::string_view kind);
bool found(const Json& report, std::string_view kind);

// Copies every probe file beneath `root` (empty: the real file system) into
// the new or empty directory `dir`. Returns an exit status; explains any
// failure on stderr.
int capture(const std::string& root, const char* dir);

}  // namespace vmd::cli
