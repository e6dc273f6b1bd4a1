// The table of probe files that `vmd-detect --capture` copies must match what
// the probes really read: each listed file is read, with exactly its limit,
// and each listed marker is consulted. (cli_test.py traces the probes to show
// that nothing they touch is missing from the table.)
#include "linux/probe_paths.h"

#include <gtest/gtest.h>

#include <string>

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
std::string filler(std::string_view path, std::uint64_t size) {
    std::string bytes(size, '0');
    if (path == "/sys/firmware/dmi/entries/0-0/raw") {
        // An end-of-table structure; the zeros after it are never parsed.
        bytes.assign(size, '\0');
        bytes.replace(0, 4, "\x7f\x04\x00\x00", 4);
    }
    return bytes;
}

TEST(ProbePaths, EveryListedFileIsReadWithItsLimit) {
    for (const ProbeRead& read : probe_reads) {
        SCOPED_TRACE(read.path);
        const std::string_view path = read.path;
        test::Tree tree;
        if (path == "/run/systemd/container") {
            // Only an exact identifier shows, never the file's size or status.
            tree.file(path, "systemd-nspawn\n");
            EXPECT_NE(report(tree).find("systemd container identifier"), std::string::npos);
            continue;
        }
        // A Xen type makes the probes read the Xen role files too.
        if (path != "/sys/hypervisor/type") tree.file("/sys/hypervisor/type", "xen\n");
        tree.file(path, filler(path, read.limit));
        const std::string full = report(tree);
        EXPECT_EQ(full.find("\"error\""), std::string::npos) << full;
        tree.file(path, filler(path, read.limit + 1));
        EXPECT_NE(report(tree), full) << "one byte past the limit changes nothing";
    }
}

TEST(ProbePaths, EveryListedMarkerIsConsulted) {
    constexpr std::size_t count = std::size(probe_markers);
    for (std::size_t m = 0; m < count; ++m) {
        SCOPED_TRACE(probe_markers[m]);
        // Some marker counts only beside others, so try it among every
        // combination of the rest.
        bool matters = false;
        for (unsigned others = 0; others < (1u << count) && !matters; ++others) {
            if (others & (1u << m)) continue;
            test::Tree tree;
            for (std::size_t k = 0; k < count; ++k) {
                if (others & (1u << k)) tree.file(probe_markers[k], "");
            }
            const std::string without = report(tree);
            tree.file(probe_markers[m], "");
            matters = report(tree) != without;
        }
        EXPECT_TRUE(matters);
    }
}

}  // namespace
}  // namespace vmd
