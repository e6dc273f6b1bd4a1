// A strict checker for the report's JSON: compact (no white space outside
// strings), pure ASCII, nothing after the document, and every string and
// number handed back in document order so that a target can compare them
// with what went in.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace fuzz {

class StrictJson {
public:
    // Tokens are "s" + decoded string or "n" + number text, in order.
    std::vector<std::string> tokens;

    bool parse(std::string_view text) {
        text_ = text;
        pos_ = 0;
        tokens.clear();
        for (char c : text) {
            if (static_cast<unsigned char>(c) >= 0x80) return false;
        }
        return value(0) && pos_ == text_.size();
    }

private:
    std::string_view text_;
    std::size_t pos_ = 0;

    bool at(char c) const { return pos_ < text_.size() && text_[pos_] == c; }
    bool eat(char c) {
        if (!at(c)) return false;
        ++pos_;
        return true;
    }
    bool literal(std::string_view word) {
        if (text_.substr(pos_, word.size()) != word) return false;
        pos_ += word.size();
        return true;
    }
    static bool digit(char c) { return c >= '0' && c <= '9'; }
    bool digits() {
        const std::size_t start = pos_;
        while (pos_ < text_.size() && digit(text_[pos_])) ++pos_;
        return pos_ > start;
    }
    static int hex(char c) {
        if (c >= '0' && c <= '9') return c - '0';
        if (c >= 'a' && c <= 'f') return c - 'a' + 10;
        if (c >= 'A' && c <= 'F') return c - 'A' + 10;
        return -1;
    }

    bool value(int depth) {
        if (depth > 64 || pos_ >= text_.size()) return false;
        switch (text_[pos_]) {
            case '{':
                return object(depth);
            case '[':
                return array(depth);
            case '"':
                return string();
            case 't':
                return literal("true");
            case 'f':
                return literal("false");
            case 'n':
                return literal("null");
            default:
                return number();
        }
    }

    bool object(int depth) {
        eat('{');
        if (eat('}')) return true;
        do {
            if (!at('"') || !string() || !eat(':') || !value(depth + 1)) return false;
        } while (eat(','));
        return eat('}');
    }

    bool array(int depth) {
        eat('[');
        if (eat(']')) return true;
        do {
            if (!value(depth + 1)) return false;
        } while (eat(','));
        return eat(']');
    }

    bool string() {
        eat('"');
        std::string decoded;
        while (pos_ < text_.size()) {
            const char c = text_[pos_++];
            if (c == '"') {
                tokens.push_back("s" + decoded);
                return true;
            }
            if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) return false;
            if (c != '\\') {
                decoded += c;
                continue;
            }
            if (pos_ >= text_.size()) return false;
            const char e = text_[pos_++];
            switch (e) {
                case '"':
                case '\\':
                case '/':
                    decoded += e;
                    break;
                case 'b':
                    decoded += '\b';
                    break;
                case 'f':
                    decoded += '\f';
                    break;
                case 'n':
                    decoded += '\n';
                    break;
                case 'r':
                    decoded += '\r';
                    break;
                case 't':
                    decoded += '\t';
                    break;
                case 'u': {
                    if (pos_ + 4 > text_.size()) return false;
                    int code = 0;
                    for (int i = 0; i < 4; ++i) {
                        const int h = hex(text_[pos_++]);
                        if (h < 0) return false;
                        code = code * 16 + h;
                    }
                    // The report escapes single bytes only.
                    if (code > 0xFF) return false;
                    decoded += static_cast<char>(code);
                    break;
                }
                default:
                    return false;
            }
        }
        return false;  // unterminated
    }

    bool number() {
        const std::size_t start = pos_;
        eat('-');
        if (eat('0')) {
            if (pos_ < text_.size() && digit(text_[pos_])) return false;  // leading zero
        } else if (!digits()) {
            return false;
        }
        if (eat('.') && !digits()) return false;
        if (eat('e') || eat('E')) {
            if (!eat('+')) eat('-');
            if (!digits()) return false;
        }
        tokens.push_back("n" + std::string(text_.substr(start, pos_ - start)));
        return true;
    }
};

}  // namespace fuzz
