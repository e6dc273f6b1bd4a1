// The processor file of a capture. It may come from anyone, so the parser
// takes nothing on trust: every line is checked whole, numbers must fit
// their fields, and a fault anywhere rejects the whole file.
#include <cinttypes>
#include <cstdio>
#include <set>
#include <utility>
#include <vector>

#include "cli.h"
#include "linux/probe_file.h"

namespace vmd::cli {
namespace {

constexpr std::string_view format_line = "vmd-processor 1";
constexpr std::string_view format_word = "vmd-processor";

bool blank(char c) { return c == ' ' || c == '\t' || c == '\r'; }

std::string_view trimmed(std::string_view line) {
    while (!line.empty() && blank(line.front())) line.remove_prefix(1);
    while (!line.empty() && blank(line.back())) line.remove_suffix(1);
    return line;
}

std::vector<std::string_view> words(std::string_view line) {
    std::vector<std::string_view> out;
    while (true) {
        while (!line.empty() && blank(line.front())) line.remove_prefix(1);
        if (line.empty()) return out;
        std::size_t end = 0;
        while (end < line.size() && !blank(line[end])) ++end;
        out.push_back(line.substr(0, end));
        line.remove_prefix(end);
    }
}

int hex_digit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// "0x" and one to eight hexadecimal digits.
bool register_value(std::string_view word, std::uint32_t& value) {
    if (word.size() < 3 || word.size() > 10 || word[0] != '0' ||
        (word[1] != 'x' && word[1] != 'X')) {
        return false;
    }
    value = 0;
    for (const char c : word.substr(2)) {
        const int digit = hex_digit(c);
        if (digit < 0) return false;
        value = value << 4 | static_cast<std::uint32_t>(digit);
    }
    return true;
}

bool flag(std::string_view word, bool& value) {
    if (word != "0" && word != "1") return false;
    value = word == "1";
    return true;
}

bool decimal(std::string_view word, std::uint64_t& value) {
    if (word.empty()) return false;
    value = 0;
    for (const char c : word) {
        if (c < '0' || c > '9') return false;
        const auto digit = static_cast<std::uint64_t>(c - '0');
        if (value > (UINT64_MAX - digit) / 10) return false;
        value = value * 10 + digit;
    }
    return true;
}

std::string hex(std::uint32_t value) {
    char text[11];
    std::snprintf(text, sizeof text, "0x%08" PRIx32, value);
    return text;
}

struct Parser {
    Processor processor;
    bool timing_seen = false;
    std::set<std::pair<std::uint32_t, std::uint32_t>> leaves_seen;

    // An empty result: the line is sound.
    std::string line(std::string_view text) {
        const std::vector<std::string_view> w = words(text);
        if (w[0] == "cpuid") {
            if (w.size() != 7) return "a cpuid line has a leaf, a subleaf and four registers";
            std::uint32_t v[6];
            for (std::size_t k = 0; k < 6; ++k) {
                if (!register_value(w[k + 1], v[k])) {
                    return "cpuid values are 0x and one to eight hexadecimal digits";
                }
            }
            if (!leaves_seen.emplace(v[0], v[1]).second) {
                return "this leaf and subleaf were given before";
            }
            processor.leaves.push_back(Leaf{v[0], v[1], Registers{v[2], v[3], v[4], v[5]}});
            return {};
        }
        if (w[0] == "timing") {
            if (timing_seen) return "a second timing line";
            if (w.size() != 4) return "a timing line has available, measured and cycles";
            Timing& t = processor.timing;
            if (!flag(w[1], t.available) || !flag(w[2], t.measured)) {
                return "timing available and measured are 0 or 1";
            }
            if (t.measured && !t.available) return "timing measured without being available";
            if (!decimal(w[3], t.cycles_over_baseline)) {
                return "timing cycles are a decimal number below 2^64";
            }
            timing_seen = true;
            return {};
        }
        return "a line is cpuid, timing, a # comment or blank";
    }
};

}  // namespace

bool parse_processor(std::string_view text, Processor& out, ParseError& error) {
    Parser parser;
    std::size_t number = 0;
    bool more = true;
    while (more) {
        const std::size_t end = text.find('\n');
        more = end != std::string_view::npos;
        const std::string_view raw = text.substr(0, end);
        text.remove_prefix(more ? end + 1 : text.size());
        if (!more && raw.empty() && number > 0) break;  // after the final line feed
        ++number;
        const std::string_view line = trimmed(raw);
        if (number == 1) {
            if (line == format_line) continue;
            const std::vector<std::string_view> w = words(line);
            error = {1, !w.empty() && w[0] == format_word
                            ? "this vmd-detect reads version 1 of the processor file only"
                            : "the first line must be \"vmd-processor 1\""};
            return false;
        }
        if (line.empty() || line.front() == '#') continue;
        if (std::string message = parser.line(line); !message.empty()) {
            error = {number, std::move(message)};
            return false;
        }
    }
    out = std::move(parser.processor);
    return true;
}

std::string write_processor(const Processor& processor) {
    std::string out = std::string(format_line) + "\n";
    out +=
        "# Written by vmd-detect --capture. Replay with: vmd-detect --root DIR\n"
        "# cpuid LEAF SUBLEAF EAX EBX ECX EDX: each identification leaf the detection\n"
        "# asked for; a leaf not listed reads as zeros, and no cpuid line at all is a\n"
        "# processor without the instruction.\n"
        "# timing AVAILABLE MEASURED CYCLES: the timing figure (cycles over baseline).\n";
    for (const Leaf& l : processor.leaves) {
        out += "cpuid " + hex(l.leaf) + " " + hex(l.subleaf) + " " + hex(l.registers.eax) + " " +
               hex(l.registers.ebx) + " " + hex(l.registers.ecx) + " " + hex(l.registers.edx) +
               "\n";
    }
    const Timing& t = processor.timing;
    out += "timing " + std::to_string(int{t.available}) + " " + std::to_string(int{t.measured}) +
           " " + std::to_string(t.cycles_over_baseline) + "\n";
    return out;
}

bool machine_of_tree(const std::string& root, Machine& machine, std::string& message) {
    machine = Machine{};
    machine.root = root;
    // A capture may come from a stranger: a link in it must not lead the
    // probes (and so the report) to this machine's own files.
    machine.confined = true;
    const Root tree(root, true);
    const std::string name = root + processor_file;
    if (!exists(tree, processor_file)) {
        machine.platform_only = true;
        return true;
    }
    const File file = read_file(tree, processor_file, processor_file_limit);
    if (file.status != status_ok) {
        message = name + ": cannot be read (it must be a readable file of at most " +
                  std::to_string(processor_file_limit) + " bytes)";
        return false;
    }
    Processor processor;
    ParseError error;
    if (!parse_processor(file.contents, processor, error)) {
        message = name + ":" + std::to_string(error.line) + ": " + error.message;
        return false;
    }
    machine.processor = std::move(processor);
    return true;
}

}  // namespace vmd::cli
