#include "firmware/smbios.h"

#include <cstdint>

#include "firmware/markers.h"

namespace vmd {
namespace {

constexpr std::uint8_t bios_information = 0;
constexpr std::uint8_t system_information = 1;
constexpr std::uint8_t baseboard_information = 2;
constexpr std::uint8_t system_enclosure = 3;
constexpr std::uint8_t end_of_table = 127;
constexpr std::size_t characteristics_ext2 = 0x13;
constexpr std::uint8_t virtual_machine_bit = 0x10;

// One structure: its start, the length of its formatted area, and the
// position of the double NUL that ends its string set.
struct Structure {
    std::string_view bytes;
    std::size_t offset;
    std::size_t length;
    std::size_t end;

    std::uint8_t at(std::size_t k) const { return static_cast<std::uint8_t>(bytes[offset + k]); }

    // The string whose number sits at formatted-area offset k; empty when the
    // field is absent, the number is 0, or there are fewer strings.
    std::string_view string(std::size_t k) const {
        if (k >= length) return {};
        std::uint8_t n = at(k);
        if (n == 0) return {};
        std::size_t p = offset + length;
        for (; n > 1; --n) {
            if (p >= end) return {};
            const std::size_t nul = bytes.find('\0', p);
            p = nul == std::string_view::npos ? bytes.size() : nul + 1;
        }
        if (p >= end) return {};
        return bytes.substr(p, bytes.find('\0', p) - p);
    }
};

}  // namespace

void smbios(Result& result, std::string_view bytes) {
    if (bytes.empty()) {
        result.probe("firmware", "error");
        return;
    }
    const std::size_t size = bytes.size();
    std::size_t offset = 0;
    for (;;) {
        if (offset >= size) break;
        if (size - offset < 4) {
            result.probe("firmware", "error");
            return;
        }
        const auto type = static_cast<std::uint8_t>(bytes[offset]);
        const std::size_t length = static_cast<std::uint8_t>(bytes[offset + 1]);
        if (length < 4 || length > size - offset) {
            result.probe("firmware", "error");
            return;
        }
        std::size_t q = offset + length;
        while (q + 1 < size && (bytes[q] != '\0' || bytes[q + 1] != '\0')) ++q;
        if (q + 1 >= size) {
            result.probe("firmware", "error");
            return;
        }
        const Structure s{bytes, offset, length, q};
        switch (type) {
            case bios_information:
                firmware_marker(result, "firmware", s.string(0x04));
                if (length > characteristics_ext2 &&
                    (s.at(characteristics_ext2) & virtual_machine_bit) != 0) {
                    result.add("firmware", "guest", "unknown", 90,
                               "SMBIOS virtual-machine characteristic");
                }
                break;
            case system_information:
            case baseboard_information:
                firmware_marker(result, "firmware", s.string(0x04));
                firmware_marker(result, "firmware", s.string(0x05));
                firmware_marker(result, "firmware", s.string(0x06));
                break;
            case system_enclosure:
                firmware_cloud_marker(result, "firmware", s.string(0x08));
                break;
            default:
                break;
        }
        if (type == end_of_table) break;
        offset = q + 2;
    }
    result.probe("firmware", "ok");
}

}  // namespace vmd
