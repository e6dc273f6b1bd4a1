#include "linux/probe_file.h"

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdint>
#include <fstream>
#include <iterator>
#include <limits>
#include <set>
#include <string>
#include <vector>

#include "linux/groups.h"
#include "support/child.h"
#include "support/privileges.h"
#include "support/tree.h"

namespace vmd {
namespace {

using test::Tree;

std::string status(const File& file) { return file.status; }

// The descriptors this process holds right now.
std::set<std::string> open_descriptors() {
    std::set<std::string> names;
    DIR* dir = ::opendir("/proc/self/fd");
    if (dir == nullptr) return names;
    const int own = ::dirfd(dir);
    while (const dirent* entry = ::readdir(dir)) {
        const std::string name = entry->d_name;
        if (name != "." && name != ".." && name != std::to_string(own)) names.insert(name);
    }
    ::closedir(dir);
    return names;
}

TEST(ReadFile, ReadsRootPlusPathByPlainConcatenation) {
    Tree tree;
    tree.file("/proc/self/cgroup", "0::/fixture\n");
    const File file = read_file(tree.root(), "/proc/self/cgroup", 65536);
    EXPECT_EQ(status(file), "ok");
    EXPECT_EQ(file.contents, "0::/fixture\n");
    // A separator is neither added nor removed.
    EXPECT_EQ(status(read_file(tree.root() + "/", "proc/self/cgroup", 65536)), "ok");
    EXPECT_EQ(status(read_file(tree.root() + "/proc", "/self/cgroup", 65536)), "ok");
}

TEST(ReadFile, ReadsKernelFilesWholeAlthoughStatSaysZero) {
    // With the empty root the real file is read; procfs reports a size of 0,
    // so a reader sized by stat would come back empty.
    std::ifstream in("/proc/self/cgroup", std::ios::binary);
    const std::string expected{std::istreambuf_iterator<char>(in), {}};
    ASSERT_FALSE(expected.empty());
    const File file = read_file("", "/proc/self/cgroup", 65536);
    EXPECT_EQ(status(file), "ok");
    EXPECT_EQ(file.contents, expected);

    // smaps, not maps: qemu-user (the aarch64 suite) fakes a short maps.
    const File maps = read_file("", "/proc/self/smaps", 1048576);
    EXPECT_EQ(status(maps), "ok");
    EXPECT_GT(maps.contents.size(), 4096u) << "read stopped at a page";
}

TEST(ReadFile, AbsentFilesAreUnavailableWithEmptyContents) {
    Tree tree;
    tree.file("/sys/class/dmi/id", "a regular file where a folder belongs");
    for (const char* path : {"/missing", "/sys/class/dmi/id/sys_vendor"}) {
        const File file = read_file(tree.root(), path, 4096);
        EXPECT_EQ(status(file), "unavailable") << path;
        EXPECT_TRUE(file.contents.empty());
    }
}

TEST(ReadFile, ForbiddenFileIsUnavailable) {
    if (::geteuid() == 0) GTEST_SKIP() << "permissions do not apply to root";
    Tree tree;
    tree.file("/run/systemd/container", "docker\n");
    tree.forbid("/run/systemd/container");
    EXPECT_EQ(status(read_file(tree.root(), "/run/systemd/container", 4096)), "unavailable");
}

// The name of one of this process's mappings in /proc/self/map_files: links
// that the kernel refuses to follow with EPERM, not EACCES, for a process
// without the checkpoint/restore capability (confined links are read, not
// followed, so only an open that follows them meets it); empty if there is
// none to be had.
std::string mapped_file() {
    std::string name;
    DIR* dir = ::opendir("/proc/self/map_files");
    if (dir == nullptr) return name;
    while (const dirent* entry = ::readdir(dir)) {
        if (entry->d_name[0] != '.') {
            name = std::string("/proc/self/map_files/") + entry->d_name;
            break;
        }
    }
    ::closedir(dir);
    return name;
}

// errno of a plain open of `path`, 0 if it opens.
int open_error(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return errno;
    ::close(fd);
    return 0;
}

TEST(ReadFile, RefusalsAreUnavailableWhicheverErrnoTheKernelPicks) {
    // Containers are refused some reads with EPERM rather than EACCES; both
    // mean the file is not this process's to read. Tried without
    // capabilities, as an unprivileged process meets them, root included.
    Tree tree;
    tree.file("/run/systemd/container", "docker\n");
    tree.forbid("/run/systemd/container");
    const std::string mapped = mapped_file();
    if (!mapped.empty()) tree.link("/sys/class/dmi/id/sys_vendor", mapped);

    int forbidden_error = 0;
    int mapped_error = 0;
    std::vector<std::string> forbidden;
    std::vector<std::string> refused;
    test::without_capabilities([&] {
        forbidden_error = open_error(tree.at("/run/systemd/container"));
        for (const bool confined : {false, true}) {
            forbidden.push_back(
                status(read_file(Root(tree.root(), confined), "/run/systemd/container", 4096)));
        }
        if (mapped.empty()) return;
        mapped_error = open_error(mapped);
        refused.push_back(status(read_file("", mapped.c_str(), 4096)));
        refused.push_back(status(read_file(tree.root(), "/sys/class/dmi/id/sys_vendor", 4096)));
    });
    if (forbidden_error != EACCES && mapped_error != EPERM) {
        GTEST_SKIP() << "neither EACCES nor EPERM can be had here";
    }
    if (forbidden_error == EACCES) {
        EXPECT_EQ(forbidden, (std::vector<std::string>{"unavailable", "unavailable"}));
    }
    if (mapped_error == EPERM) {
        EXPECT_EQ(refused, (std::vector<std::string>{"unavailable", "unavailable"}));
    }
}

TEST(ReadFile, AReadThatFailsIsAnErrorAndEndsTheRead) {
    // /proc/self/mem is a regular file whose read fails with EIO where
    // nothing is mapped, as at its start: opened, then unreadable. The read
    // runs in a child, so that a read retried for ever ends with the child.
    const std::string memory = "/proc/self/mem";
    const int fd = ::open(memory.c_str(), O_RDONLY | O_CLOEXEC);
    char byte = 0;
    const bool fails = fd >= 0 && ::read(fd, &byte, 1) < 0 && errno == EIO;
    if (fd >= 0) ::close(fd);
    if (!fails) GTEST_SKIP() << "no read of /proc/self/mem fails with EIO here";

    Tree tree;
    tree.link("/proc/cpuinfo", memory);
    const test::ChildOutcome outcome = test::in_child([&] {
        std::string out;
        out += status(read_file("", memory.c_str(), 4096)) + " ";
        out += status(read_file(tree.root(), "/proc/cpuinfo", 1048576));
        return out;
    });
    EXPECT_TRUE(outcome.finished) << "the read did not end";
    EXPECT_EQ(outcome.output, "error error");
}

TEST(ReadFile, OtherOpenFailuresAreErrors) {
    Tree tree;
    tree.link("/loop/a", "b");
    tree.link("/loop/b", "a");
    EXPECT_EQ(status(read_file(tree.root(), "/loop/a", 4096)), "error");  // ELOOP
    const std::string long_root = tree.root() + "/" + std::string(5000, 'x');
    EXPECT_EQ(status(read_file(long_root, "/f", 4096)), "error");  // ENAMETOOLONG
}

TEST(ReadFile, SizeLimitIsInclusive) {
    Tree tree;
    tree.file("/empty", "");
    tree.file("/full", std::string(4096, 'a'));
    tree.file("/over", std::string(4097, 'a'));
    tree.file("/far_over", std::string(100000, 'a'));

    const File empty = read_file(tree.root(), "/empty", 4096);
    EXPECT_EQ(status(empty), "ok");
    EXPECT_TRUE(empty.contents.empty());
    const File full = read_file(tree.root(), "/full", 4096);
    EXPECT_EQ(status(full), "ok");
    EXPECT_EQ(full.contents.size(), 4096u);
    for (const char* path : {"/over", "/far_over"}) {
        const File over = read_file(tree.root(), path, 4096);
        EXPECT_EQ(status(over), "error") << path;
        EXPECT_TRUE(over.contents.empty()) << path;
    }
    EXPECT_EQ(status(read_file(tree.root(), "/full", 4095)), "error");
    EXPECT_EQ(status(read_file(tree.root(), "/over", 0)), "error");
    EXPECT_EQ(status(read_file(tree.root(), "/empty", 0)), "ok");

    // Limits beyond 32 bits, up to the largest, read a small file whole: the
    // byte past the limit must not wrap to none, nor a 32-bit size keep only
    // the limit's low half.
    for (const std::uint64_t wide : {std::uint64_t{1} << 32, (std::uint64_t{1} << 32) + 4096,
                                     std::numeric_limits<std::uint64_t>::max()}) {
        const File whole = read_file(tree.root(), "/far_over", wide);
        EXPECT_EQ(status(whole), "ok") << wide;
        EXPECT_EQ(whole.contents.size(), 100000u) << wide;
    }
}

TEST(ReadFile, KeepsNulAndHighBytes) {
    Tree tree;
    const std::string bytes("\0\x01linux,dummy-virt\0\xff\0", 22);
    tree.file("/proc/device-tree/compatible", bytes);
    const File file = read_file(tree.root(), "/proc/device-tree/compatible", 4096);
    EXPECT_EQ(status(file), "ok");
    EXPECT_EQ(file.contents, bytes);
}

TEST(ReadFile, OnlyRegularFilesAreRead) {
    Tree tree;
    tree.folder("/sys/class/dmi/id/sys_vendor");
    // A character device reads as an empty "ok" file if it is read at all.
    tree.link("/sys/class/dmi/id/product_name", "/dev/null");
    for (const char* path : {"/sys/class/dmi/id/sys_vendor", "/sys/class/dmi/id/product_name"}) {
        const File file = read_file(tree.root(), path, 4096);
        EXPECT_EQ(status(file), "error") << path;
        EXPECT_TRUE(file.contents.empty()) << path;
        EXPECT_TRUE(exists(tree.root(), path)) << path;
    }
    // A link to a regular file is followed.
    tree.file("/real", "QEMU\n");
    tree.link("/sys/class/dmi/id/bios_vendor", tree.at("/real"));
    EXPECT_EQ(read_file(tree.root(), "/sys/class/dmi/id/bios_vendor", 4096).contents, "QEMU\n");
}

TEST(ReadFile, LeavesNoDescriptorOpenWhateverTheOutcome) {
    Tree tree;
    tree.file("/sys/class/dmi/id/sys_vendor", "QEMU\n");
    tree.file("/sys/class/dmi/id/product_name", std::string(5000, 'x'));
    tree.folder("/sys/class/dmi/id/board_name");
    tree.link("/sys/class/dmi/id/board_vendor", "/dev/null");
    tree.file("/sys/firmware/dmi/entries/0-0/raw", std::string("\x7f\x04\0\0\0\0", 6));
    tree.file("/proc/device-tree/compatible", std::string("linux,dummy-virt\0", 17));
    const std::set<std::string> before = open_descriptors();
    ASSERT_FALSE(before.empty());

    // Close-on-exec cannot be seen from outside the call; that no descriptor
    // outlives it can.
    Result result;
    detect_firmware_tables(result, tree.root());
    EXPECT_EQ(open_descriptors(), before);
    detect_firmware_tables(result, Root(tree.root(), true));
    EXPECT_EQ(open_descriptors(), before);
}

TEST(Exists, IsAPlainStatFollowingLinks) {
    Tree tree;
    tree.file("/proc/device-tree/ibm,partition-name", "lpar1");
    tree.folder("/proc/device-tree/chosen");
    tree.fifo("/run/.containerenv");
    tree.link("/good", tree.at("/proc/device-tree/ibm,partition-name"));
    tree.link("/dangling", tree.at("/nowhere"));
    EXPECT_TRUE(exists(tree.root(), "/proc/device-tree/ibm,partition-name"));
    EXPECT_TRUE(exists(tree.root(), "/proc/device-tree/chosen"));
    EXPECT_TRUE(exists(tree.root(), "/run/.containerenv"));
    EXPECT_TRUE(exists(tree.root(), "/good"));
    EXPECT_FALSE(exists(tree.root(), "/dangling"));
    EXPECT_FALSE(exists(tree.root(), "/nowhere"));
    EXPECT_FALSE(exists(tree.root(), "/proc/device-tree/ibm,partition-name/x"));
}

TEST(Observe, RecordsOneProbeWithTheFileStatus) {
    Result result;
    File file;
    file.status = status_error;
    file.contents = "ignored";
    observe(result, "container", file);
    file.status = status_unavailable;
    observe(result, "container", file);
    ASSERT_EQ(result.probes.size(), 2u);
    EXPECT_EQ(result.probes[0].source, "container");
    EXPECT_EQ(result.probes[0].status, "error");
    EXPECT_EQ(result.probes[1].status, "unavailable");
    EXPECT_TRUE(result.evidence.empty());
}

}  // namespace
}  // namespace vmd
