// The table of probe files must be what the probes really do: each file
// listed as read is read with exactly its limit, each one listed as tested
// is consulted, and docs/probes.md lists the same files. (cli_test.py traces
// the probes to show that nothing they touch is missing from the table.)
#include "linux/probe_files.h"

#include <gtest/gtest.h>

#include <fstream>
#include <string>
#include <vector>

#include "detection/report.h"
#include "linux/linux.h"
#include "support/tree.h"

namespace vmd {
namespace {

std::string report(const test::Tree& tree) {
    Result result;
    detect_linux(result, tree.root());
    return to_json(result, 0);
}

// Contents of `size` bytes that the probe reading `path` accepts as sound,
// so that the only change one byte more makes is the size.
// The table's 64-bit limits all fit a 32-bit size.
std::string filler(const ProbeFile& file, std::uint64_t size) {
    std::string bytes(static_cast<std::size_t>(size), '0');
    if (&file == &files::bios_structure) {
        // An end-of-table structure; the zeros after it are never parsed.
        bytes.assign(static_cast<std::size_t>(size), '\0');
        bytes.replace(0, 4, "\x7f\x04\x00\x00", 4);
    }
    return bytes;
}

std::vector<const ProbeFile*> used(ProbeFile::Use use) {
    std::vector<const ProbeFile*> out;
    for (const ProbeFile* file : probe_files) {
        if (file->use == use) out.push_back(file);
    }
    return out;
}

TEST(ProbeFiles, EveryFileListedAsReadIsReadWithItsLimit) {
    for (const ProbeFile* file : used(ProbeFile::Use::read)) {
        SCOPED_TRACE(file->path);
        test::Tree tree;
        if (file == &files::systemd_container) {
            // Only an exact identifier shows, never the file's size or status.
            tree.file(file->path, "systemd-nspawn\n");
            EXPECT_NE(report(tree).find("systemd container identifier"), std::string::npos);
            continue;
        }
        // A Xen type makes the probes read the Xen role files too.
        if (file != &files::hypervisor_type) tree.file(files::hypervisor_type.path, "xen\n");
        tree.file(file->path, filler(*file, file->limit));
        const std::string full = report(tree);
        EXPECT_EQ(full.find("\"error\""), std::string::npos) << full;
        tree.file(file->path, filler(*file, file->limit + 1));
        EXPECT_NE(report(tree), full) << "one byte past the limit changes nothing";
    }
}

TEST(ProbeFiles, EveryFileListedAsTestedIsConsulted) {
    const std::vector<const ProbeFile*> markers = used(ProbeFile::Use::exists);
    const std::size_t count = markers.size();
    for (std::size_t m = 0; m < count; ++m) {
        SCOPED_TRACE(markers[m]->path);
        // Some marker counts only beside others, so try it among every
        // combination of the rest.
        bool matters = false;
        for (unsigned others = 0; others < (1u << count) && !matters; ++others) {
            if (others & (1u << m)) continue;
            test::Tree tree;
            for (std::size_t k = 0; k < count; ++k) {
                if (others & (1u << k)) tree.file(markers[k]->path, "");
            }
            const std::string without = report(tree);
            tree.file(markers[m]->path, "");
            matters = report(tree) != without;
        }
        EXPECT_TRUE(matters);
    }
}

TEST(ProbeFiles, TheDocsListEveryFileWithItsLimitInOrder) {
    std::ifstream doc(VMD_PROBES_DOC_PATH);
    ASSERT_TRUE(doc) << VMD_PROBES_DOC_PATH;
    // Rows of the probe table: | probe | `path` | limit or "tested" | finds |
    std::vector<std::string> listed;
    for (std::string line; std::getline(doc, line);) {
        std::vector<std::string> cells;
        for (std::size_t bar = line.find('|'); bar != std::string::npos;) {
            const std::size_t next = line.find('|', bar + 1);
            if (next == std::string::npos) break;
            const std::string cell = line.substr(bar + 1, next - bar - 1);
            const std::size_t first = cell.find_first_not_of(' ');
            cells.push_back(first == std::string::npos
                                ? ""
                                : cell.substr(first, cell.find_last_not_of(' ') - first + 1));
            bar = next;
        }
        if (line.rfind("| ", 0) != 0 || cells.size() < 3) continue;
        const std::string& path = cells[1];
        if (path.size() < 3 || path.rfind("`/", 0) != 0 || path.back() != '`') continue;
        listed.push_back(path.substr(1, path.size() - 2) + " " + cells[2]);
    }
    std::vector<std::string> table;
    for (const ProbeFile* file : probe_files) {
        table.push_back(
            std::string(file->path) + " " +
            (file->use == ProbeFile::Use::read ? std::to_string(file->limit) : "tested"));
    }
    EXPECT_EQ(listed, table);
}

}  // namespace
}  // namespace vmd
