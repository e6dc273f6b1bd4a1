// Reading a report back and indenting it. Reports are compact, pure ASCII,
// and hold only objects, arrays, strings and integers, so this is no general
// JSON library: anything else is refused.
#include <cstddef>

#include "cli.h"

namespace vmd::cli {
namespace {

constexpr int max_depth = 16;

class Parser {
public:
    explicit Parser(std::string_view text) : text_(text) {}

    std::optional<Json> document() {
        Json value;
        if (!parse(value, 0) || pos_ != text_.size()) return std::nullopt;
        return value;
    }

private:
    std::string_view text_;
    std::size_t pos_ = 0;

    bool next_is(char c) const { return pos_ < text_.size() && text_[pos_] == c; }
    bool take(char c) {
        if (!next_is(c)) return false;
        ++pos_;
        return true;
    }

    bool parse(Json& value, int depth) {
        if (depth > max_depth || pos_ >= text_.size()) return false;
        const char c = text_[pos_];
        if (c == '{') return object(value, depth);
        if (c == '[') return array(value, depth);
        if (c == '"') {
            value.kind = Json::Kind::string;
            return string(value.text);
        }
        value.kind = Json::Kind::integer;
        return integer(value.integer);
    }

    bool object(Json& value, int depth) {
        value.kind = Json::Kind::object;
        ++pos_;
        if (take('}')) return true;
        do {
            std::pair<std::string, Json> member;
            if (!string(member.first) || !take(':') || !parse(member.second, depth + 1)) {
                return false;
            }
            value.members.push_back(std::move(member));
        } while (take(','));
        return take('}');
    }

    bool array(Json& value, int depth) {
        value.kind = Json::Kind::array;
        ++pos_;
        if (take(']')) return true;
        do {
            Json item;
            if (!parse(item, depth + 1)) return false;
            value.items.push_back(std::move(item));
        } while (take(','));
        return take(']');
    }

    static int hex(char c) {
        if (c >= '0' && c <= '9') return c - '0';
        if (c >= 'a' && c <= 'f') return c - 'a' + 10;
        if (c >= 'A' && c <= 'F') return c - 'A' + 10;
        return -1;
    }

    bool string(std::string& out) {
        if (!take('"')) return false;
        while (pos_ < text_.size()) {
            const char c = text_[pos_++];
            if (c == '"') return true;
            if (static_cast<unsigned char>(c) < 0x20) return false;
            if (c != '\\') {
                out += c;
                continue;
            }
            if (pos_ >= text_.size()) return false;
            const char e = text_[pos_++];
            switch (e) {
                case '"': case '\\': case '/': out += e; break;
                case 'b': out += '\b'; break;
                case 'f': out += '\f'; break;
                case 'n': out += '\n'; break;
                case 'r': out += '\r'; break;
                case 't': out += '\t'; break;
                case 'u': {
                    // Reports escape single bytes only, as \u0000 to \u00ff.
                    if (text_.size() - pos_ < 4) return false;
                    int code = 0;
                    for (int k = 0; k < 4; ++k) {
                        const int digit = hex(text_[pos_++]);
                        if (digit < 0) return false;
                        code = code * 16 + digit;
                    }
                    if (code > 0xff) return false;
                    out += static_cast<char>(code);
                    break;
                }
                default: return false;
            }
        }
        return false;
    }

    bool integer(std::int64_t& out) {
        const bool negative = take('-');
        const std::size_t start = pos_;
        std::uint64_t magnitude = 0;
        while (pos_ < text_.size() && text_[pos_] >= '0' && text_[pos_] <= '9') {
            const auto digit = static_cast<std::uint64_t>(text_[pos_] - '0');
            if (magnitude > (UINT64_MAX - digit) / 10) return false;
            magnitude = magnitude * 10 + digit;
            ++pos_;
        }
        if (pos_ == start) return false;
        const std::uint64_t bound = negative ? std::uint64_t{1} << 63 : INT64_MAX;
        if (magnitude > bound) return false;
        out = negative ? static_cast<std::int64_t>(0 - magnitude)
                       : static_cast<std::int64_t>(magnitude);
        return true;
    }
};

void new_line(std::string& out, int depth) {
    out += '\n';
    out.append(static_cast<std::size_t>(depth) * 2, ' ');
}

}  // namespace

const Json* Json::get(std::string_view key) const {
    for (const auto& [name, value] : members) {
        if (name == key) return &value;
    }
    return nullptr;
}

std::string_view Json::text_of(std::string_view key) const {
    const Json* member = get(key);
    return member != nullptr && member->kind == Kind::string ? std::string_view(member->text)
                                                             : std::string_view();
}

std::optional<Json> parse_report(std::string_view text) { return Parser(text).document(); }

std::string pretty(std::string_view compact) {
    std::string out;
    out.reserve(compact.size() * 2);
    int depth = 0;
    bool in_string = false;
    bool escaped = false;
    for (std::size_t i = 0; i < compact.size(); ++i) {
        const char c = compact[i];
        if (in_string) {
            out += c;
            if (escaped) {
                escaped = false;
            } else if (c == '\\') {
                escaped = true;
            } else if (c == '"') {
                in_string = false;
            }
            continue;
        }
        switch (c) {
            case '"':
                in_string = true;
                out += c;
                break;
            case '{':
            case '[':
                out += c;
                // An empty container stays on its line: "[]".
                if (i + 1 < compact.size() && compact[i + 1] == (c == '{' ? '}' : ']')) {
                    out += compact[++i];
                } else {
                    new_line(out, ++depth);
                }
                break;
            case '}':
            case ']':
                if (depth > 0) --depth;
                new_line(out, depth);
                out += c;
                break;
            case ',':
                out += c;
                new_line(out, depth);
                break;
            case ':':
                out += ": ";
                break;
            default:
                out += c;
        }
    }
    return out;
}

}  // namespace vmd::cli
