// Probe files beneath a live system's root: its links resolve inside the
// prefix as if it were "/", and none leads out.
#include <gtest/gtest.h>

#include <string>

#include "linux/probe_file.h"
#include "support/tree.h"

namespace vmd {
namespace {

using test::Tree;

std::string read(const Tree& tree, const char* path) {
    const File file = read_file(Root(tree.root(), true), path, 4096);
    return file.status == status_ok ? file.contents : file.status;
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
}

TEST(Beneath, NoLinkLeadsOut) {
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
        EXPECT_EQ(read(node, path), "unavailable") << path;
        EXPECT_FALSE(exists(Root(node.root(), true), path)) << path;
    }
    // The same names made inside the prefix are what the links reach.
    node.file(outside.at("/secret"), "inside\n");
    EXPECT_EQ(read(node, "/relative"), "inside\n");
    EXPECT_EQ(read(node, "/absolute"), "inside\n");
    EXPECT_EQ(read(node, "/folder/secret"), "inside\n");
    EXPECT_EQ(read(node, "/chain"), "inside\n");
    // Without confinement a link goes where the kernel takes it.
    EXPECT_EQ(read_file(node.root(), "/absolute", 4096).contents, "QEMU\n");
}

TEST(Beneath, FailuresReadAsTheKernelWouldHaveThem) {
    Tree node;
    node.link("/loop/a", "b");
    node.link("/loop/b", "/loop/a");
    node.file("/file", "x");
    node.link("/to-file", "/file");
    node.link("/to-folder", "/sys");
    node.folder("/sys");
    node.link("/dangling", "/nowhere");
    EXPECT_EQ(read(node, "/loop/a"), "error");           // ELOOP
    EXPECT_EQ(read(node, "/loop/a/x"), "error");         // ELOOP on the way
    EXPECT_EQ(read(node, "/to-file/x"), "unavailable");  // ENOTDIR
    EXPECT_EQ(read(node, "/file/x"), "unavailable");
    EXPECT_EQ(read(node, "/to-folder"), "error");  // a directory opens, but is not read
    EXPECT_TRUE(exists(Root(node.root(), true), "/to-folder"));
    EXPECT_EQ(read(node, "/to-file"), "x");
    EXPECT_EQ(read(node, "/dangling"), "unavailable");
    EXPECT_FALSE(exists(Root(node.root(), true), "/loop/a"));
    EXPECT_EQ(read_file(Root(node.at("/missing"), true), "/file", 4096).status, status_unavailable);
}

}  // namespace
}  // namespace vmd
