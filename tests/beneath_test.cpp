// Probe files beneath a live system's root: its links resolve inside the
// prefix as if it were "/", and none leads out.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "linux/beneath.h"
#include "linux/probe_file.h"
#include "support/tree.h"

namespace vmd {
namespace {

using test::Tree;

std::string read(const Tree& tree, const char* path) {
    const File file = read_file(Root(tree.root(), true), path, 4096);
    return file.status == status_ok ? file.contents : file.status;
}

using Resolver = int (*)(std::string_view, const char*, int);

// What a probe reads through `resolve`: the bytes, or its status word.
std::string read_with(Resolver resolve, const Tree& tree, const char* path) {
    const int fd = resolve(tree.root(), path, O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) {
        const int e = errno;
        return e == ENOENT || e == ENOTDIR || e == EACCES || e == EPERM ? "unavailable" : "error";
    }
    char buffer[64];
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    ::close(fd);
    return n < 0 ? "error" : std::string(buffer, static_cast<std::size_t>(n));
}

bool present(Resolver resolve, const Tree& tree, const char* path) {
    const int fd = resolve(tree.root(), path, O_PATH | O_CLOEXEC);
    if (fd >= 0) ::close(fd);
    return fd >= 0;
}

// The kernel's resolution and the walk that stands in where it is refused
// must give the same answers.
class Resolution : public testing::TestWithParam<Resolver> {};

INSTANTIATE_TEST_SUITE_P(Beneath, Resolution, testing::Values(&open_beneath, &walk_beneath),
                         [](const auto& param) { return param.index == 0 ? "Kernel" : "Walk"; });

TEST_P(Resolution, ATrailingSlashAsksForADirectory) {
    const Resolver resolve = GetParam();
    Tree node;
    node.file("/real", "x");
    node.folder("/dir");
    node.fifo("/fifo");
    // In a link's text as in a path.
    node.link("/slash-file", "real/");
    node.link("/slash-fifo", "fifo/");
    node.link("/slash-dir", "dir/");
    node.link("/plain", "real");
    EXPECT_EQ(read_with(resolve, node, "/slash-file"), "unavailable");
    EXPECT_EQ(read_with(resolve, node, "/slash-fifo"), "unavailable");
    EXPECT_EQ(read_with(resolve, node, "/real/"), "unavailable");
    EXPECT_EQ(read_with(resolve, node, "/plain/"), "unavailable");
    EXPECT_EQ(read_with(resolve, node, "/slash-dir"), "error");  // a directory, opened
    EXPECT_EQ(read_with(resolve, node, "/dir/./../real"), "x");
    EXPECT_EQ(read_with(resolve, node, "/fifo"), "error");  // ENXIO, unopened
}

TEST(Beneath, ANodesLinksResolveInsideThePrefix) {
    // A node's root as the kernel lays it out: the DMI class directory a
    // relative link into /sys/devices, the device tree an absolute one into
    // /sys/firmware.
    Tree node;
    node.file("/sys/devices/virtual/dmi/id/sys_vendor", "QEMU\n");
    node.link("/sys/class/dmi/id", "../../devices/virtual/dmi/id");
    node.file("/sys/firmware/devicetree/base/compatible", std::string("linux,dummy-virt\0", 17));
    node.link("/proc/device-tree", "/sys/firmware/devicetree/base");
    EXPECT_EQ(read(node, "/sys/class/dmi/id/sys_vendor"), "QEMU\n");
    EXPECT_EQ(read(node, "/proc/device-tree/compatible"), std::string("linux,dummy-virt\0", 17));
    EXPECT_TRUE(exists(Root(node.root(), true), "/proc/device-tree/compatible"));
    // ".." at the top stays there, as it does at "/".
    node.link("/up", "../../../../sys/class/dmi/id/sys_vendor");
    EXPECT_EQ(read(node, "/up"), "QEMU\n");
    // /proc/self, as the node's procfs shows it to the process reading it.
    node.file("/proc/4242/cgroup", "0::/\n");
    node.link("/proc/self", "4242");
    EXPECT_EQ(read(node, "/proc/self/cgroup"), "0::/\n");
}

TEST_P(Resolution, NoLinkLeadsOut) {
    Tree node;
    Tree outside;
    outside.file("/secret", "QEMU\n");
    const std::string escape = "../../../../../../../../../.." + outside.root() + "/secret";
    node.link("/relative", escape);
    node.link("/absolute", outside.at("/secret"));
    node.link("/folder", outside.root());
    node.link("/device", "/dev/null");
    node.link("/chain", "relative");
    for (const char* path : {"/relative", "/absolute", "/folder/secret", "/device", "/chain"}) {
        EXPECT_EQ(read_with(GetParam(), node, path), "unavailable") << path;
        EXPECT_FALSE(present(GetParam(), node, path)) << path;
    }
    // The same names made inside the prefix are what the links reach.
    node.file(outside.at("/secret"), "inside\n");
    EXPECT_EQ(read_with(GetParam(), node, "/relative"), "inside\n");
    EXPECT_EQ(read_with(GetParam(), node, "/absolute"), "inside\n");
    EXPECT_EQ(read_with(GetParam(), node, "/folder/secret"), "inside\n");
    EXPECT_EQ(read_with(GetParam(), node, "/chain"), "inside\n");
    // Without confinement a link goes where the kernel takes it.
    EXPECT_EQ(read_file(node.root(), "/absolute", 4096).contents, "QEMU\n");
}

TEST_P(Resolution, FailuresReadAsTheKernelWouldHaveThem) {
    Tree node;
    node.link("/loop/a", "b");
    node.link("/loop/b", "/loop/a");
    node.file("/file", "x");
    node.link("/to-file", "/file");
    node.link("/to-folder", "/sys");
    node.folder("/sys");
    node.link("/dangling", "/nowhere");
    EXPECT_EQ(read_with(GetParam(), node, "/loop/a"), "error");           // ELOOP
    EXPECT_EQ(read_with(GetParam(), node, "/loop/a/x"), "error");         // ELOOP on the way
    EXPECT_EQ(read_with(GetParam(), node, "/to-file/x"), "unavailable");  // ENOTDIR
    EXPECT_EQ(read_with(GetParam(), node, "/file/x"), "unavailable");
    EXPECT_EQ(read_with(GetParam(), node, "/to-folder"),
              "error");  // a directory opens, but is not read
    EXPECT_TRUE(present(GetParam(), node, "/to-folder"));
    EXPECT_EQ(read_with(GetParam(), node, "/to-file"), "x");
    EXPECT_EQ(read_with(GetParam(), node, "/dangling"), "unavailable");
    EXPECT_FALSE(present(GetParam(), node, "/loop/a"));
    EXPECT_EQ(GetParam()(node.at("/missing"), "/file", O_PATH | O_CLOEXEC), -1);
}

TEST(Beneath, TheWalksWorkIsBounded) {
    // The kernel's own lookups are cheap; the walk's each cost calls.
    const auto read = [](const Tree& tree, const char* path) {
        return read_with(&walk_beneath, tree, path);
    };
    const auto exists = [](const Root& root, const char* path) {
        const int fd = walk_beneath(root.prefix, path, O_PATH | O_CLOEXEC);
        if (fd >= 0) ::close(fd);
        return fd >= 0;
    };
    Tree node;
    node.file("/f", "x");
    // Every component counts, "." and those of a link's text too: "/at" is
    // one, then as many "." as make up the budget, then "f".
    const auto padded = [](int steps) {
        std::string text;
        for (int i = 0; i < steps - 2; ++i) text += "./";
        return text + "f";
    };
    node.link("/at", padded(max_resolution_steps));
    node.link("/over", padded(max_resolution_steps + 1));
    EXPECT_EQ(read(node, "/at"), "x");
    EXPECT_EQ(read(node, "/over"), "error");  // ELOOP
    EXPECT_FALSE(exists(Root(node.root(), true), "/over"));

    // Forty links are followed, as the kernel follows them; not forty-one.
    for (int i = 0; i < 41; ++i) {
        node.link("/chain/" + std::to_string(i), i == 40 ? "../f" : std::to_string(i + 1));
    }
    EXPECT_EQ(read(node, "/chain/1"), "x");
    EXPECT_EQ(read(node, "/chain/0"), "error");

    // Forty links padded to PATH_MAX with "a/..": the kernel resolves them
    // (without the prefix confining them), the budget ends the walk early.
    node.file("/real/f", "x");
    node.slow_link("/slow", "/real");
    EXPECT_EQ(read_file(node.root(), "/slow/f", 4096).contents, "x");
    EXPECT_EQ(read(node, "/slow/f"), "error");
    EXPECT_FALSE(exists(Root(node.root(), true), "/slow/f"));
}

TEST(Beneath, WithoutProcTheNameIsOpenedAgainOnlyForTheFileLookedAt) {
    Tree tree;
    tree.file("/file", "looked at");
    tree.file("/other", "swapped in");
    tree.link("/link", tree.at("/file"));
    const std::string file = tree.at("/file");
    const int seen = ::open(file.c_str(), O_PATH | O_CLOEXEC);
    struct stat st {};
    ASSERT_EQ(::fstat(seen, &st), 0);
    // The contents of what opens, or the errno.
    const auto read_as = [&](const std::string& name, const char* descriptors) {
        const int fd =
            open_seen(seen, st, O_RDONLY | O_CLOEXEC, AT_FDCWD, name.c_str(), descriptors);
        if (fd < 0) return std::string(std::strerror(errno));
        char buffer[32];
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        ::close(fd);
        return std::string(buffer, n > 0 ? static_cast<std::size_t>(n) : 0);
    };
    const char* proc = "/proc/self/fd/";
    const char* no_proc = "/nonexistent/self/fd/";
    EXPECT_EQ(read_as(file, proc), "looked at");
    EXPECT_EQ(read_as(file, no_proc), "looked at");
    // By name, a link is not followed, even to the very file.
    EXPECT_EQ(read_as(tree.at("/link"), no_proc), std::strerror(ELOOP));
    // Another file under the name: through /proc the one looked at still
    // opens; by name, nothing does.
    ASSERT_EQ(std::rename(tree.at("/other").c_str(), file.c_str()), 0);
    EXPECT_EQ(read_as(file, proc), "looked at");
    EXPECT_EQ(read_as(file, no_proc), std::strerror(ENXIO));
    ::close(seen);
}

}  // namespace
}  // namespace vmd
