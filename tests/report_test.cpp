#include "detection/report.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace vmd {
namespace {

using List = std::vector<std::string>;

Result guests(std::initializer_list<std::pair<const char*, int>> entries) {
    Result r;
    for (const auto& [source, weight] : entries) {
        r.add(source, "guest", "kvm", weight, std::to_string(weight));
    }
    return r;
}

TEST(Assess, EmptyResultIsUnknown) {
    const Assessment a = assess(Result{});
    EXPECT_EQ(a.vm_score, 0);
    EXPECT_EQ(a.vm_likelihood, "unknown");
    EXPECT_TRUE(a.hypervisors.empty() && a.containers.empty() && a.compatibility_layers.empty() &&
                a.host_hypervisors.empty() && a.cloud_providers.empty());
}

TEST(Assess, NotDetectedNeedsASuccessfulCheckAimedAtMachines) {
    Result r;
    r.probe("container", "ok");
    r.probe("compatibility", "ok");
    r.probe("cpu", "unavailable");
    r.probe("firmware", "error");
    EXPECT_EQ(assess(r).vm_likelihood, "unknown");
    r.probe("firmware", "ok");
    EXPECT_EQ(assess(r).vm_likelihood, "not_detected");
}

TEST(Assess, LikelihoodBands) {
    EXPECT_EQ(assess(guests({{"cpu", 95}})).vm_likelihood, "very_likely");
    EXPECT_EQ(assess(guests({{"cpu", 90}})).vm_likelihood, "very_likely");
    EXPECT_EQ(assess(guests({{"cpu", 89}})).vm_likelihood, "likely");
    EXPECT_EQ(assess(guests({{"cpu", 70}})).vm_likelihood, "likely");
    EXPECT_EQ(assess(guests({{"cpu", 69}})).vm_likelihood, "possible");
    EXPECT_EQ(assess(guests({{"cpu", 1}})).vm_likelihood, "possible");
    const Assessment zero = assess(guests({{"cpu", 0}}));
    EXPECT_EQ(zero.vm_score, 0);
    EXPECT_EQ(zero.vm_likelihood, "unknown");
    EXPECT_EQ(zero.hypervisors, List{"kvm"});
}

TEST(Assess, TwoStrongSourcesEarnTheBonusCappedAt99) {
    EXPECT_EQ(assess(guests({{"firmware", 85}, {"device_tree", 50}})).vm_score, 90);
    EXPECT_EQ(assess(guests({{"system", 95}, {"firmware", 85}})).vm_score, 99);
    // Timing does not count as an independent source.
    EXPECT_EQ(assess(guests({{"firmware", 85}, {"timing", 50}})).vm_score, 85);
    // 49 is below the bar; one source never earns the bonus.
    EXPECT_EQ(assess(guests({{"firmware", 49}, {"cpu", 95}})).vm_score, 95);
    EXPECT_EQ(assess(guests({{"firmware", 85}, {"firmware", 90}})).vm_score, 90);
    // Negative weights never pull a peak below zero.
    EXPECT_EQ(assess(guests({{"firmware", -5}})).vm_score, 0);
}

TEST(Assess, UnknownVendorScoresButIsNotListed) {
    Result r;
    r.add("firmware", "guest", "unknown", 80, "Virtual Machine product");
    const Assessment a = assess(r);
    EXPECT_EQ(a.vm_score, 80);
    EXPECT_EQ(a.vm_likelihood, "likely");
    EXPECT_TRUE(a.hypervisors.empty());
}

TEST(Assess, HostSetsAsideCpuGuestOfTheSameVendorOnly) {
    Result r;
    r.add("cpu", "guest", "hyperv", 95, "Microsoft Hv");
    r.add("firmware", "guest", "hyperv", 85, "hyper-v");
    r.add("cpu", "guest", "kvm", 95, "KVMKVMKVM");
    r.add("hypervisor", "host", "hyperv", 0, "x");  // after the cpu entry: still applies
    const Assessment a = assess(r);
    EXPECT_EQ(a.hypervisors, (List{"hyperv", "kvm"}));  // from firmware, then cpu kvm
    EXPECT_EQ(a.host_hypervisors, List{"hyperv"});
    EXPECT_EQ(a.vm_score, 99);  // firmware 85 + cpu 95 (kvm) = two sources

    Result only;
    only.add("cpu", "guest", "hyperv", 95, "Microsoft Hv");
    only.add("cpu", "host", "hyperv", 0, "root partition privileges");
    const Assessment b = assess(only);
    EXPECT_EQ(b.vm_score, 0);
    EXPECT_TRUE(b.hypervisors.empty());
    EXPECT_NE(to_json(only, 0).find("\"Microsoft Hv\""), std::string::npos);
}

TEST(Assess, CategoriesFillTheirListsOnceInOrderOfFirstSight) {
    Result r;
    r.add("container", "container", "docker", 95, "a");
    r.add("container", "container", "kubepods", 0, "b");
    r.add("container", "container", "docker", 0, "c");
    r.add("system", "compatibility", "wsl2", 0, "d");
    r.add("firmware", "cloud", "aws", 0, "e");
    r.add("firmware", "cloud", "unknown", 0, "f");
    r.add("hypervisor", "host", "xen", 0, "g");
    r.add("timing", "diagnostic", "odd", 95, "h");
    r.add("firmware", "guest", "xen", 85, "i");
    r.add("hypervisor", "guest", "xen", 95, "j");
    const Assessment a = assess(r);
    EXPECT_EQ(a.containers, (List{"docker", "kubepods"}));
    EXPECT_EQ(a.compatibility_layers, List{"wsl2"});
    EXPECT_EQ(a.cloud_providers, List{"aws"});
    EXPECT_EQ(a.host_hypervisors, List{"xen"});
    EXPECT_EQ(a.hypervisors, List{"xen"});
    EXPECT_EQ(a.vm_score, 99);
}

TEST(ToJson, EmptyResultIsTheExactSkeleton) {
    EXPECT_EQ(to_json(Result{}, 0),
              "{\"schema_version\":1,\"module_version\":\"1.0.0\",\"vm_score\":0,"
              "\"vm_likelihood\":\"unknown\",\"hypervisors\":[],\"containers\":[],"
              "\"compatibility_layers\":[],\"host_hypervisors\":[],\"cloud_providers\":[],"
              "\"evidence\":[],\"probes\":[],\"duration_us\":0}");
}

TEST(ToJson, WritesEveryEntryInOrder) {
    Result r;
    r.add("cpu", "guest", "kvm", 95, "KVMKVMKVM");
    r.add("container", "container", "docker", -3, "/.dockerenv");
    r.probe("cpu", "ok");
    r.probe("container", "error");
    EXPECT_EQ(to_json(r, -12),
              "{\"schema_version\":1,\"module_version\":\"1.0.0\",\"vm_score\":95,"
              "\"vm_likelihood\":\"very_likely\",\"hypervisors\":[\"kvm\"],"
              "\"containers\":[\"docker\"],\"compatibility_layers\":[],\"host_hypervisors\":[],"
              "\"cloud_providers\":[],\"evidence\":["
              "{\"source\":\"cpu\",\"category\":\"guest\",\"vendor\":\"kvm\",\"weight\":95,"
              "\"detail\":\"KVMKVMKVM\"},"
              "{\"source\":\"container\",\"category\":\"container\",\"vendor\":\"docker\","
              "\"weight\":-3,\"detail\":\"/.dockerenv\"}],"
              "\"probes\":[{\"source\":\"cpu\",\"status\":\"ok\"},"
              "{\"source\":\"container\",\"status\":\"error\"}],\"duration_us\":-12}");
}

TEST(ToJson, EscapesEveryByteOutsidePrintableAscii) {
    Result r;
    r.add("s", "c", "v", 0,
          std::string("q\"b\\t\tn\nd\x7f"
                      "e\xC3\xA9/\0z\x1f ~",
                      19));
    const std::string json = to_json(r, 0);
    EXPECT_NE(json.find("\"detail\":\"q\\\"b\\\\t\\u0009n\\u000ad\\u007fe\\u00c3\\u00a9/"
                        "\\u0000z\\u001f ~\""),
              std::string::npos)
        << json;
    for (char c : json) {
        const auto byte = static_cast<unsigned char>(c);
        EXPECT_TRUE(byte >= 0x20 && byte < 0x7F) << static_cast<int>(byte);
    }
}

}  // namespace
}  // namespace vmd
