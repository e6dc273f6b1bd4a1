#include "detection/result.h"

#include <gtest/gtest.h>

#include <string>

namespace vmd {
namespace {

TEST(ResultAdd, DropsExactRepeatAndKeepsTheFirstWeight) {
    Result r;
    r.add("cpu", "guest", "kvm", 50, "KVMKVMKVM");
    r.add("cpu", "guest", "kvm", 95, "KVMKVMKVM");
    ASSERT_EQ(r.evidence.size(), 1u);
    EXPECT_EQ(r.evidence[0].weight, 50);
}

TEST(ResultAdd, AnyDifferingTextMakesANewEntry) {
    Result r;
    r.add("system", "guest", "hyperv", 90, "WSL2 kernel");
    r.add("system", "compatibility", "hyperv", 90, "WSL2 kernel");
    r.add("firmware", "guest", "hyperv", 90, "WSL2 kernel");
    r.add("system", "guest", "wsl2", 90, "WSL2 kernel");
    r.add("system", "guest", "hyperv", 90, "WSL kernel");
    EXPECT_EQ(r.evidence.size(), 5u);
}

TEST(ResultAdd, CutsDetailAt160BytesAndComparesTheCutText) {
    Result r;
    const std::string long_detail(200, 'x');
    r.add("a", "b", "c", 1, long_detail);
    ASSERT_EQ(r.evidence.size(), 1u);
    EXPECT_EQ(r.evidence[0].detail, std::string(160, 'x'));

    // Differs only after byte 160: a repeat once cut.
    r.add("a", "b", "c", 1, std::string(160, 'x') + "yyy");
    EXPECT_EQ(r.evidence.size(), 1u);

    r.add("a", "b", "d", 1, std::string(160, 'z'));
    r.add("a", "b", "e", 1, std::string(161, 'z'));
    EXPECT_EQ(r.evidence[1].detail.size(), 160u);
    EXPECT_EQ(r.evidence[2].detail.size(), 160u);

    r.add("a", "b", "f", 1, "");
    EXPECT_EQ(r.evidence.back().detail, "");
}

TEST(ResultAdd, KeepsBytesAsGiven) {
    Result r;
    const std::string detail("a\0b\xff", 4);
    r.add("s", "c", "v", 0, detail);
    EXPECT_EQ(r.evidence[0].detail, detail);
}

TEST(ResultProbe, KeepsEveryRecordingInOrder) {
    Result r;
    r.probe("system", "ok");
    r.probe("system", "ok");
    r.probe("system", "error");
    r.probe("system", "ok");
    ASSERT_EQ(r.probes.size(), 4u);
    EXPECT_EQ(r.probes[2].status, "error");
    EXPECT_EQ(r.probes[3].source, "system");
}

TEST(Lower, FoldsOnlyAsciiCapitals) {
    EXPECT_EQ(lower("TCGTCGTCGTCG"), "tcgtcgtcgtcg");
    EXPECT_EQ(lower("Caf\xC3\x89 [Z@]_09 \x7f\xff"), "caf\xC3\x89 [z@]_09 \x7f\xff");
    const std::string with_nul("A\0B", 3);
    EXPECT_EQ(lower(with_nul), std::string("a\0b", 3));
}

TEST(Contains, IsACaseSensitiveByteSearch) {
    EXPECT_TRUE(contains("", ""));
    EXPECT_TRUE(contains("anything", ""));
    EXPECT_FALSE(contains("", "a"));
    EXPECT_FALSE(contains("KVM/Linux", "kvm"));
    EXPECT_TRUE(contains("KVM/Linux", "KVM"));
    EXPECT_TRUE(contains("xx/Linux", "/Linux"));
    EXPECT_FALSE(contains("ab", "abc"));
    EXPECT_TRUE(contains(std::string("a\0linux,dummy-virt", 18), "linux,dummy-virt"));
}

}  // namespace
}  // namespace vmd
