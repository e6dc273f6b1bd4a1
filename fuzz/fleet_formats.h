// What node_exporter and Kubernetes accept, written from their rules rather
// than from our writers: the Prometheus text exposition format and Node
// Feature Discovery's label lines.
#pragma once

#include <algorithm>
#include <cstdlib>
#include <string>
#include <string_view>

namespace fuzz {

inline bool alnum(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
}

// Takes a metric or label name ([a-zA-Z_:][a-zA-Z0-9_:]*) off the front.
inline bool take_name(std::string_view& line) {
    std::size_t n = 0;
    while (n < line.size() && (alnum(line[n]) || line[n] == '_' || line[n] == ':') &&
           !(n == 0 && line[n] >= '0' && line[n] <= '9')) {
        ++n;
    }
    line.remove_prefix(n);
    return n > 0;
}

// Pure ASCII lines (so valid UTF-8): # HELP / # TYPE comments, and samples
// whose label values use only the three escapes and whose value is a number.
inline bool valid_exposition(std::string_view text) {
    for (std::size_t end; !text.empty(); text.remove_prefix(end + 1)) {
        if ((end = text.find('\n')) == std::string_view::npos) return false;
        std::string_view line = text.substr(0, end);
        for (const char c : line) {
            if (c < 0x20 || c > 0x7e) return false;
        }
        if (line.substr(0, 7) == "# HELP " || line.substr(0, 7) == "# TYPE ") continue;
        if (!take_name(line)) return false;
        if (!line.empty() && line[0] == '{') {
            do {
                line.remove_prefix(1);  // '{' or ','
                if (!take_name(line) || line.substr(0, 2) != "=\"") return false;
                std::size_t n = 2;
                for (; n < line.size() && line[n] != '"'; ++n) {
                    if (line[n] == '\\' &&
                        (++n == line.size() ||
                         std::string_view("\\\"n").find(line[n]) == std::string_view::npos)) {
                        return false;
                    }
                }
                line.remove_prefix(std::min(n + 1, line.size()));
            } while (!line.empty() && line[0] == ',');
            if (line.empty() || line[0] != '}') return false;
            line.remove_prefix(1);
        }
        const std::string number(line.substr(std::min<std::size_t>(1, line.size())));
        char* rest = nullptr;
        std::strtod(number.c_str(), &rest);
        if (line.empty() || line[0] != ' ' || number.empty() || *rest != '\0') return false;
    }
    return true;
}

// A label name part or a non-empty value: at most 63 of [A-Za-z0-9._-],
// alphanumeric at both ends.
inline bool label_word(std::string_view word) {
    if (word.empty() || word.size() > 63 || !alnum(word.front()) || !alnum(word.back())) {
        return false;
    }
    for (const char c : word) {
        if (!alnum(c) && c != '-' && c != '_' && c != '.') return false;
    }
    return true;
}

// NAME=VALUE lines under one prefix, the file under NFD's 64 KiB.
inline bool valid_labels(std::string_view text, std::string_view prefix) {
    if (text.size() >= 65536) return false;
    for (std::size_t end; !text.empty(); text.remove_prefix(end + 1)) {
        if ((end = text.find('\n')) == std::string_view::npos) return false;
        const std::string_view line = text.substr(0, end);
        const std::size_t equals = line.find('=');
        if (line.substr(0, prefix.size()) != prefix || equals == std::string_view::npos ||
            !label_word(line.substr(prefix.size(), equals - prefix.size()))) {
            return false;
        }
        if (equals + 1 < line.size() && !label_word(line.substr(equals + 1))) return false;
    }
    return true;
}

}  // namespace fuzz
