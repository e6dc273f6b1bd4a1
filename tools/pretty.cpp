// --pretty: the report indented for reading. The report is compact and
// well formed, so indenting it needs no parser: only where strings begin
// and end.
#include "cli.h"

namespace vmd::cli {
namespace {

void new_line(std::string& out, int depth) {
    out += '\n';
    out.append(static_cast<std::size_t>(depth) * 2, ' ');
}

}  // namespace

std::string pretty(std::string_view report) {
    std::string out;
    out.reserve(report.size() * 2);
    int depth = 0;
    bool in_string = false;
    bool escaped = false;
    for (std::size_t i = 0; i < report.size(); ++i) {
        const char c = report[i];
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
                if (i + 1 < report.size() && report[i + 1] == (c == '{' ? '}' : ']')) {
                    out += report[++i];
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
