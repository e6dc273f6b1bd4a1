// What node_exporter and Kubernetes accept, written from their rules rather
// than from our writers: the Prometheus text exposition format and Node
// Feature Discovery's label lines.
#pragma once

#include <cstdlib>
#include <set>
#include <string>
#include <string_view>

namespace fuzz {

inline bool name_char(char c, bool first) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_' || c == ':' ||
           (!first && c >= '0' && c <= '9');
}

// Takes a metric or label name off the front of `line`.
inline bool take_name(std::string_view& line, std::string& name) {
    std::size_t n = 0;
    while (n < line.size() && name_char(line[n], n == 0)) ++n;
    name = line.substr(0, n);
    line.remove_prefix(n);
    return n > 0;
}

// Pure ASCII (so valid UTF-8), comments before samples, every sample of a
// family that has # TYPE, label values with only the three escapes, and a
// number for a value.
inline bool valid_exposition(std::string_view text) {
    std::set<std::string> typed;
    while (!text.empty()) {
        const std::size_t end = text.find('\n');
        if (end == std::string_view::npos) return false;
        std::string_view line = text.substr(0, end);
        text.remove_prefix(end + 1);
        for (const char c : line) {
            if (c < 0x20 || c > 0x7e) return false;
        }
        std::string name;
        if (line.substr(0, 7) == "# HELP " || line.substr(0, 7) == "# TYPE ") {
            const bool type = line[2] == 'T';
            line.remove_prefix(7);
            if (!take_name(line, name) || line.empty() || line[0] != ' ') return false;
            if (type && (line != " gauge" || !typed.insert(name).second)) return false;
            continue;
        }
        if (!take_name(line, name) || typed.count(name) == 0) return false;
        if (!line.empty() && line[0] == '{') {
            line.remove_prefix(1);
            while (!line.empty() && line[0] != '}') {
                if (!take_name(line, name) || line.substr(0, 2) != "=\"") return false;
                line.remove_prefix(2);
                while (!line.empty() && line[0] != '"') {
                    if (line[0] == '\\') {
                        if (line.size() < 2 ||
                            std::string_view("\\\"n").find(line[1]) == std::string_view::npos) {
                            return false;
                        }
                        line.remove_prefix(1);
                    }
                    line.remove_prefix(1);
                }
                if (line.empty()) return false;
                line.remove_prefix(1);
                if (!line.empty() && line[0] == ',') line.remove_prefix(1);
            }
            if (line.empty()) return false;
            line.remove_prefix(1);
        }
        if (line.size() < 2 || line[0] != ' ') return false;
        const std::string number(line.substr(1));
        char* rest = nullptr;
        std::strtod(number.c_str(), &rest);
        if (*rest != '\0' || rest == number.c_str()) return false;
    }
    return true;
}

// A label name part or a non-empty value: at most 63 of [A-Za-z0-9._-],
// alphanumeric at both ends.
inline bool label_word(std::string_view word) {
    const auto alnum = [](char c) {
        return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
    };
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
    while (!text.empty()) {
        const std::size_t end = text.find('\n');
        if (end == std::string_view::npos) return false;
        std::string_view line = text.substr(0, end);
        text.remove_prefix(end + 1);
        const std::size_t equals = line.find('=');
        if (line.substr(0, prefix.size()) != prefix || equals == std::string_view::npos) {
            return false;
        }
        const std::string_view value = line.substr(equals + 1);
        if (!label_word(line.substr(prefix.size(), equals - prefix.size())) ||
            (!value.empty() && !label_word(value))) {
            return false;
        }
    }
    return true;
}

}  // namespace fuzz
