// Whatever sits at a probe path (a container's owner controls most of them)
// the platform run must come back promptly and normally, with "error" or
// "unavailable" for what it could not read.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "cli.h"
#include "detection/report.h"
#include "detection/result.h"
#include "linux/linux.h"
#include "linux/probe_files.h"
#include "support/fifo_writer.h"
#include "support/tree.h"

namespace {

using namespace std::string_literals;

// A read that blocks would hang the test instead of failing it: the alarm
// ends the whole process then. Far above what any of these runs needs.
class HostileTree : public ::testing::Test {
protected:
    void SetUp() override { ::alarm(120); }
    void TearDown() override { ::alarm(0); }
};

using vmd::ProbeFile;
namespace files = vmd::files;

bool xen_role(const ProbeFile& f) {
    return &f == &files::xen_capabilities || &f == &files::xen_features;
}

// Every file the platform run reads, except the two Xen role files, which
// are only read after a non-empty hypervisor type file.
std::vector<const ProbeFile*> read_files() {
    std::vector<const ProbeFile*> out;
    for (const ProbeFile* f : vmd::probe_files) {
        if (f->use == ProbeFile::Use::read && !xen_role(*f)) out.push_back(f);
    }
    return out;
}
const std::vector<const ProbeFile*> reads = read_files();

const std::vector<std::string> probe_names = {"firmware", "firmware", "device_tree", "hypervisor",
                                              "system",   "system",   "system",      "container"};

vmd::Result run(const vmd::test::Tree& tree) {
    vmd::Result result;
    vmd::detect_linux(result, tree.root());
    return result;
}

std::vector<std::string> statuses(const vmd::Result& result) {
    std::vector<std::string> out;
    for (const vmd::Probe& p : result.probes) out.push_back(p.source + ":" + p.status);
    return out;
}

// The probe list when every probe has `status`.
std::vector<std::string> every(const std::string& status) {
    std::vector<std::string> out;
    for (const std::string& name : probe_names) out.push_back(name + ":" + status);
    return out;
}

std::vector<std::string> findings(const vmd::Result& result) {
    std::vector<std::string> out;
    for (const vmd::Evidence& e : result.evidence) {
        out.push_back(e.source + "/" + e.category + "/" + e.vendor);
    }
    return out;
}

// Puts one kind of hostile object at every probe path and checks that each
// read of them is `status` and nothing is concluded.
void expect_every_read(const std::function<void(const vmd::test::Tree&, const char*)>& place,
                       const std::string& status) {
    vmd::test::Tree tree;
    for (const ProbeFile* f : reads) place(tree, f->path);
    const vmd::Result result = run(tree);
    EXPECT_EQ(statuses(result), every(status));
    EXPECT_TRUE(result.evidence.empty()) << testing::PrintToString(findings(result));

    // The Xen role files, behind a hypervisor type that names Xen: neither
    // can be used, so the role stays undecided.
    vmd::test::Tree xen;
    xen.file(files::hypervisor_type.path, "xen\n");
    place(xen, files::xen_capabilities.path);
    place(xen, files::xen_features.path);
    EXPECT_EQ(findings(run(xen)), std::vector<std::string>{"hypervisor/guest/xen"});
    EXPECT_EQ(run(xen).evidence.at(0).weight, 50);
}

TEST_F(HostileTree, FifosWithoutAWriterAreErrors) {
    expect_every_read([](const vmd::test::Tree& t, const char* path) { t.fifo(path); }, "error");
}

TEST_F(HostileTree, FifosWithAnIdleWriterAreErrors) {
    // The test holds each FIFO open for writing and never writes: a reader
    // that got as far as read() would wait for ever.
    std::vector<int> writers;
    expect_every_read(
        [&](const vmd::test::Tree& t, const char* path) {
            t.fifo(path);
            const int fd = ::open(t.at(path).c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
            ASSERT_GE(fd, 0);
            writers.push_back(fd);
        },
        "error");
    for (int fd : writers) ::close(fd);
}

TEST_F(HostileTree, TerminalsAndDevicesAreErrors) {
    const int master = ::posix_openpt(O_RDWR | O_NOCTTY);
    if (master < 0 || ::grantpt(master) != 0 || ::unlockpt(master) != 0) {
        if (master >= 0) ::close(master);
        GTEST_SKIP() << "no pseudo-terminals here";
    }
    const std::string terminal = ::ptsname(master);
    const auto link_to = [](const std::string& target) {
        return [target](const vmd::test::Tree& t, const char* path) { t.link(path, target); };
    };
    expect_every_read(link_to(terminal), "error");
    // /dev/null would read as an empty file and /dev/zero as endless data.
    expect_every_read(link_to("/dev/null"), "error");
    expect_every_read(link_to("/dev/zero"), "error");
    ::close(master);
}

TEST_F(HostileTree, ATreeOfFifosSocketsAndDevicesIsReadWithNoneOpened) {
    // As --host-root reads a node's root: every file a probe reads holds a
    // FIFO with a writer waiting for a reader, a socket or (as root) a
    // device node, in turn.
    vmd::test::Tree tree;
    std::vector<std::unique_ptr<vmd::test::FifoWriter>> writers;
    std::size_t n = 0;
    for (const ProbeFile* f : vmd::probe_files) {
        if (f->use != ProbeFile::Use::read) continue;
        if (n % 3 == 1) {
            tree.socket(f->path);
        } else if (n % 3 == 2 && tree.device(f->path)) {
        } else {
            tree.fifo(f->path);
            writers.push_back(std::make_unique<vmd::test::FifoWriter>(tree.at(f->path)));
        }
        ++n;
    }
    // As --root reads a capture too: beneath a prefix, links not confined.
    for (const bool confined : {true, false}) {
        vmd::Result result;
        vmd::detect_linux(result, vmd::Root(tree.root(), confined));
        EXPECT_EQ(statuses(result), every("error")) << confined;
    }
    for (auto& writer : writers) EXPECT_TRUE(writer->blocked()) << "a FIFO was opened";
    for (auto& writer : writers) EXPECT_TRUE(writer->release());
}

TEST_F(HostileTree, CaptureOpensNoFifoDeviceOrSocket) {
    // vmd-detect --root TREE --capture DIR: read as a replay reads it, then
    // each "error" file again to keep as much of it as can be kept.
    vmd::test::Tree tree;
    tree.fifo(files::sys_vendor.path);
    tree.socket(files::product_name.path);
    std::vector<const char*> unopened = {files::sys_vendor.path, files::product_name.path};
    if (tree.device(files::board_name.path)) unopened.push_back(files::board_name.path);
    tree.file(files::bios_vendor.path, "QEMU\n");
    vmd::test::FifoWriter writer(tree.at(files::sys_vendor.path));

    vmd::Machine machine;
    std::string message;
    ASSERT_TRUE(vmd::cli::machine_of_tree(tree.root(), machine, message)) << message;
    const vmd::test::Tree target;
    const std::string capture = target.at("/capture");
    EXPECT_EQ(vmd::cli::capture(machine, capture.c_str()), vmd::cli::exit_ok);
    EXPECT_TRUE(writer.blocked()) << "the FIFO was opened";
    EXPECT_TRUE(writer.release());
    // Kept as empty directories, which read "error" again.
    for (const char* path : unopened) {
        EXPECT_TRUE(std::filesystem::is_directory(capture + path)) << path;
    }
    EXPECT_TRUE(std::filesystem::is_regular_file(capture + files::bios_vendor.path));
}

TEST_F(HostileTree, DirectoriesAreErrors) {
    expect_every_read([](const vmd::test::Tree& t, const char* path) { t.folder(path); }, "error");
}

TEST_F(HostileTree, SymbolicLinkLoopsAreErrors) {
    expect_every_read(
        [](const vmd::test::Tree& t, const char* path) {
            t.link(path, t.at(path) + ".loop");
            t.link(std::string(path) + ".loop", t.at(path));
        },
        "error");
    // A link to itself, at the marker files: they only count as absent.
    vmd::test::Tree tree;
    for (const ProbeFile* f : {&files::containerenv, &files::dockerenv}) {
        tree.link(f->path, tree.at(f->path));
    }
    EXPECT_TRUE(run(tree).evidence.empty());
}

TEST_F(HostileTree, PathsThroughARegularFileAreUnavailable) {
    vmd::test::Tree tree;
    tree.file("/proc", "not a directory");
    tree.file("/sys", "not a directory");
    tree.file("/run", "not a directory");
    const vmd::Result result = run(tree);
    EXPECT_EQ(statuses(result), every("unavailable"));
    EXPECT_TRUE(result.evidence.empty());
}

TEST_F(HostileTree, FifosAtMarkerFilesCountAsPresentWithoutBeingOpened) {
    vmd::test::Tree tree;
    tree.fifo(files::dockerenv.path);
    EXPECT_EQ(findings(run(tree)), std::vector<std::string>{"container/container/docker"});
}

// `text`, then blanks up to exactly `size` bytes. Sizes come from the
// 64-bit limits of the table, which all fit a 32-bit size.
std::string padded(const std::string& text, std::uint64_t size) {
    return text + std::string(static_cast<std::size_t>(size - text.size()), ' ');
}

// Contents that each give a finding of their own when read whole, so that a
// read of part of an oversized file would show.
std::string telling(const ProbeFile& f, std::uint64_t size) {
    const std::string path = f.path;
    if (&f == &files::chassis_asset_tag) return padded("Amazon EC2", size);
    if (path.rfind("/sys/class/dmi/id/", 0) == 0) return padded("QEMU", size);
    if (&f == &files::bios_structure) {
        std::string bios = "\x00\x08\x00\x00\x01\x00\x00\x00"s + "Bochs\0\0"s;
        std::string end = "\x7f\x04\x00\x00\x00\x00"s;
        return bios + end +
               std::string(static_cast<std::size_t>(size - bios.size() - end.size()), '\xff');
    }
    if (path.rfind("/proc/device-tree/", 0) == 0) return padded("crosvm", size);
    if (&f == &files::hypervisor_type) return padded("kvm", size);
    if (&f == &files::sysinfo) return padded("Control Program: z/VM", size);
    if (&f == &files::cpuinfo) return padded("User Mode Linux", size);
    if (&f == &files::osrelease) return padded("4.4.0-Microsoft", size);
    if (&f == &files::cgroup) return padded("0::/docker/" + std::string(64, 'c') + "\n", size);
    return padded("docker", size);
}

TEST_F(HostileTree, FilesOneByteOverTheirLimitAreErrorsAndUnread) {
    vmd::test::Tree full;
    vmd::test::Tree over;
    for (const ProbeFile* f : reads) {
        full.file(f->path, telling(*f, f->limit));
        over.file(f->path, telling(*f, f->limit + 1));
    }
    const vmd::Result at_limit = run(full);
    EXPECT_EQ(statuses(at_limit), every("ok"));
    EXPECT_EQ(findings(at_limit),
              (std::vector<std::string>{
                  "firmware/guest/qemu", "firmware/cloud/aws", "firmware/guest/bochs",
                  "device_tree/guest/crosvm", "hypervisor/guest/unknown", "system/guest/zvm",
                  "system/guest/uml", "system/compatibility/wsl", "container/container/docker"}));

    const vmd::Result beyond = run(over);
    EXPECT_EQ(statuses(beyond), every("error"));
    EXPECT_TRUE(beyond.evidence.empty()) << testing::PrintToString(findings(beyond));

    // The Xen role files: at their limit a control domain, one byte over
    // undecided.
    for (const std::uint64_t extra : {0u, 1u}) {
        vmd::test::Tree xen;
        xen.file(files::hypervisor_type.path, "xen\n");
        xen.file(files::xen_capabilities.path,
                 padded("control_d", files::xen_capabilities.limit + extra));
        xen.file(files::xen_features.path, padded("801", files::xen_features.limit + extra));
        const vmd::Result result = run(xen);
        ASSERT_EQ(result.evidence.size(), 1u);
        EXPECT_EQ(result.evidence[0].category, extra == 0 ? "host" : "guest");
        EXPECT_EQ(result.evidence[0].weight, extra == 0 ? 0 : 50);
    }
}

TEST_F(HostileTree, FilesThatReportZeroSizeAreReadWhole) {
    // Like every /proc file, /proc/self/limits says its size is 0; unlike
    // status it does not hold the name of the program (under qemu-user, "qemu...").
    vmd::test::Tree tree;
    for (const ProbeFile* f : reads) tree.link(f->path, "/proc/self/limits");
    const vmd::Result result = run(tree);
    std::vector<std::string> want = every("ok");
    want[1] = "firmware:error";  // read whole, but its text is no SMBIOS structure
    EXPECT_EQ(statuses(result), want);
    // A hypervisor type without "xen" is recorded with its text as read.
    ASSERT_EQ(findings(result), std::vector<std::string>{"hypervisor/guest/unknown"});
    EXPECT_EQ(result.evidence[0].detail.rfind("Limit ", 0), 0u) << result.evidence[0].detail;
}

// Bytes of every value, NUL included, none repeated within 256.
std::string noise(std::size_t size) {
    std::string out;
    for (std::size_t i = 0; i < size; ++i) out += static_cast<char>((i * 37) & 0xFF);
    return out;
}

TEST_F(HostileTree, NulAndHighBytesEverywhereGiveAnAsciiReport) {
    const std::string id(64, 'e');
    // NUL and high bytes around a marker are word boundaries.
    const std::string text = noise(100) + "\0QEMU\xff"s + "\n0::/docker/" + id + "\n" + noise(1000);
    vmd::test::Tree tree;
    for (const ProbeFile* f : reads) tree.file(f->path, text);
    // A well-formed structure whose vendor string is full of odd bytes.
    tree.file(files::bios_structure.path, "\x00\x08\x00\x00\x01\xff\x80\x00"s +
                                              "\x01\xffQEMU\x80\0\0"s + "\x7f\x04\x00\x00\0\0"s);
    tree.file(files::xen_capabilities.path, text);
    tree.file(files::xen_features.path, text);
    tree.file(files::partition_name.path, text);
    tree.file(files::containerenv.path, text);

    const vmd::Result result = run(tree);
    EXPECT_EQ(statuses(result), every("ok"));
    const std::vector<std::string> found = findings(result);
    for (const char* f :
         {"firmware/guest/qemu", "device_tree/guest/qemu", "hypervisor/guest/unknown",
          "container/container/podman", "container/container/docker"}) {
        EXPECT_NE(std::find(found.begin(), found.end(), f), found.end()) << f;
    }

    const std::string json = vmd::to_json(result, 0);
    for (char c : json) {
        const auto byte = static_cast<unsigned char>(c);
        ASSERT_TRUE(byte >= 0x20 && byte < 0x7F) << "byte " << int{byte} << " in " << json;
    }
    // The type file's bytes are in the report, escaped one by one.
    EXPECT_NE(json.find("\\u0000QEMU\\u00ff\\u000a0::/docker/"), std::string::npos) << json;
}

}  // namespace
