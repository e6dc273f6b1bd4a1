#include "firmware/smbios.h"

#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <stdexcept>
#include <string>
#include <vector>

namespace vmd {
namespace {

using Found = std::vector<std::string>;

// One SMBIOS structure: a 4-byte header (type, length, handle 0x0000), the
// given fields from offset 04h on, then the string set.
std::string structure(std::uint8_t type, std::initializer_list<std::uint8_t> fields,
                      std::initializer_list<std::string_view> strings) {
    std::string out;
    out += static_cast<char>(type);
    out += static_cast<char>(4 + fields.size());
    out += std::string(2, '\0');
    for (std::uint8_t f : fields) out += static_cast<char>(f);
    for (std::string_view s : strings) {
        out += s;
        out += '\0';
    }
    if (strings.size() == 0) out += '\0';
    out += '\0';
    return out;
}

// BIOS Information of the SMBIOS 2.8 size (24 bytes): vendor string 1,
// version string 2, date string 3, and the given Characteristics Extension
// Byte 2 at offset 13h.
std::string bios(std::string_view vendor, std::uint8_t ext2) {
    // Vendor, version, segment, date, ROM size, 8 characteristics bytes,
    // extension bytes 1 and 2, release and controller versions.
    return structure(0, {1, 2, 0, 0xe8, 3, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x01, ext2, 0, 0, 0, 0},
                     {vendor, "1.0", "04/01/2014"});
}

std::string end_of_table() { return structure(127, {}, {}); }

struct Walk {
    Found evidence;
    std::vector<std::string> probes;
};

Walk walk(std::string_view bytes) {
    Result result;
    smbios(result, bytes);
    Walk out;
    for (const Evidence& e : result.evidence) {
        out.evidence.push_back(e.vendor + " " + std::to_string(e.weight) + " " + e.detail);
        EXPECT_EQ(e.source, "firmware");
    }
    for (const Probe& p : result.probes) {
        EXPECT_EQ(p.source, "firmware");
        out.probes.push_back(p.status);
    }
    return out;
}

const std::vector<std::string> ok{"ok"};
const std::vector<std::string> error{"error"};
const std::string vm_bit = "unknown 90 SMBIOS virtual-machine characteristic";

TEST(Smbios, BiosInformationGivesVendorThenTheVirtualMachineBit) {
    ASSERT_EQ(bios("", 0x14)[1], 24);
    ASSERT_EQ(bios("", 0x14)[0x13], 0x14);
    Walk w = walk(bios("SeaBIOS", 0x14));
    EXPECT_EQ(w.evidence, Found{vm_bit});
    EXPECT_EQ(w.probes, ok);

    w = walk(bios("innotek GmbH", 0x10));
    EXPECT_EQ(w.evidence, (Found{"virtualbox 85 innotek gmbh", vm_bit}));

    // Other bits of the byte say nothing.
    w = walk(bios("Dell Inc.", 0xef));
    EXPECT_TRUE(w.evidence.empty());
    EXPECT_EQ(w.probes, ok);
}

TEST(Smbios, ShortBiosInformationHasNoExtensionByte) {
    // Length 19: offset 13h is the first byte of the string set, here 0x10.
    const std::string short_bios =
        structure(0, {1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}, {"\x10qemu"});
    ASSERT_EQ(short_bios[1], 19);
    const Walk w = walk(short_bios);
    EXPECT_EQ(w.evidence, Found{"qemu 85 qemu"});
    EXPECT_EQ(w.probes, ok);
    // Length 20 reaches it.
    EXPECT_EQ(walk(structure(0, {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x10}, {})).evidence,
              Found{vm_bit});
}

TEST(Smbios, StringNumbersPickTheRightStrings) {
    // Fields 04h, 05h, 06h = strings 2, 1, 3: the matcher sees them in field
    // order.
    Walk w = walk(structure(1, {2, 1, 3}, {"VirtualBox", "innotek GmbH", "QEMU"}));
    EXPECT_EQ(w.evidence,
              (Found{"virtualbox 85 innotek gmbh", "virtualbox 85 virtualbox", "qemu 85 qemu"}));
    // Baseboard Information is read alike.
    w = walk(structure(2, {0, 0, 1}, {"KVM"}));
    EXPECT_EQ(w.evidence, Found{"kvm 85 kvm"});
    // Number 0 and numbers past the strings present are empty.
    w = walk(structure(1, {0, 2, 9}, {"QEMU", "x"}));
    EXPECT_TRUE(w.evidence.empty());
    EXPECT_EQ(w.probes, ok);
    // A structure without strings: every lookup is empty.
    w = walk(structure(1, {1, 2, 3}, {}));
    EXPECT_TRUE(w.evidence.empty());
    EXPECT_EQ(w.probes, ok);
    // Fields beyond a short structure are empty: only 04h exists here, and
    // the bytes after it are the string set.
    w = walk(structure(1, {2}, {"\x01VMware", "Bochs"}));
    EXPECT_EQ(w.evidence, Found{"bochs 85 bochs"});
}

TEST(Smbios, SystemEnclosureAssetTagGoesToTheCloudTableOnly) {
    const std::string_view tag = "7783-7084-3265-9085-8269-3286-77";
    Walk w = walk(structure(3, {1, 0x03, 0, 0, 2}, {"Microsoft Corporation", tag}));
    EXPECT_EQ(w.evidence, Found{"azure 0 7783-7084-3265-9085-8269-3286-77"});
    // The manufacturer is not read, and a product name in the tag gives no
    // guest evidence.
    w = walk(structure(3, {1, 0x01, 0, 0, 1}, {"QEMU"}));
    EXPECT_TRUE(w.evidence.empty());
    // Length 8 has no Asset Tag field; its first string byte is not a number.
    const std::string short_enclosure =
        structure(3, {0, 0, 0, 0}, {std::string("\x01") + std::string(tag)});
    w = walk(short_enclosure);
    EXPECT_TRUE(w.evidence.empty());
    EXPECT_EQ(w.probes, ok);
}

TEST(Smbios, WalksAWholeTableAndStopsAtEndOfTable) {
    const std::string system =
        structure(1, {1, 2, 3, 0}, {"QEMU", "Standard PC (i440FX + PIIX, 1996)", "pc-i440fx-7.2"});
    const std::string table = bios("SeaBIOS", 0x14) + system +
                              structure(4, {1}, {"VMware"}) +  // other types are ignored
                              structure(3, {1, 1, 0, 0, 0}, {"QEMU"}) + end_of_table() +
                              structure(1, {1}, {"VirtualBox"}) + "\x01";
    const Walk w = walk(table);
    EXPECT_EQ(w.evidence, (Found{vm_bit, "qemu 85 qemu"}));
    EXPECT_EQ(w.probes, ok);
}

TEST(Smbios, MalformedInputIsAnErrorKeepingEarlierEvidence) {
    EXPECT_EQ(walk("").probes, error);
    EXPECT_TRUE(walk("").evidence.empty());

    const std::string good = structure(1, {1}, {"QEMU"});
    for (std::size_t extra = 1; extra <= 3; ++extra) {
        const Walk w = walk(good + std::string(extra, '\x01'));
        EXPECT_EQ(w.probes, error) << extra << " trailing bytes";
        EXPECT_EQ(w.evidence, Found{"qemu 85 qemu"});
    }
    for (char length = 0; length < 4; ++length) {
        std::string bad = good;
        bad[1] = length;
        EXPECT_EQ(walk(bad).probes, error) << "length " << int{length};
    }
    // Length past the end of the bytes.
    EXPECT_EQ(walk(std::string("\x01\x30\0\0\0\0", 6)).probes, error);
    // A string set without its double NUL, or with only one NUL at the end.
    EXPECT_EQ(walk(std::string("\x01\x05\0\0\x01QEMU", 9)).probes, error);
    const Walk unterminated = walk(good + std::string("\x01\x05\0\0\x01QEMU\0", 10));
    EXPECT_EQ(unterminated.probes, error);
    EXPECT_EQ(unterminated.evidence, Found{"qemu 85 qemu"});
    // A formatted area that fills the bytes exactly has no string set.
    EXPECT_EQ(walk(std::string("\x01\x04\0\0", 4)).probes, error);
}

// The bytes copied to the very end of a readable page, the page after it
// unreadable: a walk that reads a byte past the data faults at once, where a
// string's terminating NUL would otherwise hide the slip.
class PageEnd {
public:
    explicit PageEnd(std::string_view bytes)
        : page_(static_cast<std::size_t>(::sysconf(_SC_PAGESIZE))) {
        void* map =
            ::mmap(nullptr, 2 * page_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (map == MAP_FAILED || bytes.size() > page_) throw std::runtime_error("no page");
        base_ = static_cast<char*>(map);
        ::mprotect(base_ + page_, page_, PROT_NONE);
        std::memcpy(base_ + page_ - bytes.size(), bytes.data(), bytes.size());
        view_ = std::string_view(base_ + page_ - bytes.size(), bytes.size());
    }
    ~PageEnd() { ::munmap(base_, 2 * page_); }
    PageEnd(const PageEnd&) = delete;
    PageEnd& operator=(const PageEnd&) = delete;
    std::string_view view() const { return view_; }

private:
    std::size_t page_;
    char* base_ = nullptr;
    std::string_view view_;
};

Walk walk_to_page_end(std::string_view bytes) { return walk(PageEnd(bytes).view()); }

TEST(Smbios, TablesEndingExactlyAtTheEndOfTheDataAreReadNoFurther) {
    const std::string system = structure(1, {1, 0, 0}, {"QEMU"});
    const Found qemu{"qemu 85 qemu"};

    // A last structure whose string set, or double NUL without strings,
    // takes the last bytes: well formed.
    Walk w = walk_to_page_end(bios("SeaBIOS", 0) + system);
    EXPECT_EQ(w.evidence, qemu);
    EXPECT_EQ(w.probes, ok);
    w = walk_to_page_end(system + structure(1, {0, 0, 0}, {}));
    EXPECT_EQ(w.evidence, qemu);
    EXPECT_EQ(w.probes, ok);

    // Cut one byte short: the last string's own NUL ends the data, the
    // set's is missing.
    const std::string board = structure(2, {1}, {"KVM"});
    w = walk_to_page_end(system + board.substr(0, board.size() - 1));
    EXPECT_EQ(w.evidence, qemu);
    EXPECT_EQ(w.probes, error);

    // A formatted area that reaches the end: a structure without its strings.
    const std::string vm_bios = bios("SeaBIOS", 0x10);
    w = walk_to_page_end(system + vm_bios.substr(0, static_cast<std::uint8_t>(vm_bios[1])));
    EXPECT_EQ(w.evidence, qemu);
    EXPECT_EQ(w.probes, error);

    // One to five bytes after the last whole structure: a header cut short,
    // a bare header, a header and one byte.
    const std::string next = end_of_table();
    for (std::size_t left = 1; left <= 5; ++left) {
        w = walk_to_page_end(system + next.substr(0, left));
        EXPECT_EQ(w.evidence, qemu) << left << " bytes left";
        EXPECT_EQ(w.probes, error) << left << " bytes left";
    }
}

TEST(Smbios, EndOfStringSetIsSearchedAfterTheFormattedArea) {
    // The handle and the zero fields are pairs of NULs inside the formatted
    // area; the string set begins after it.
    const Walk w = walk(structure(1, {0, 0, 1, 0, 0}, {"Xen"}) + end_of_table());
    EXPECT_EQ(w.evidence, Found{"xen 85 xen"});
    EXPECT_EQ(w.probes, ok);
}

}  // namespace
}  // namespace vmd
