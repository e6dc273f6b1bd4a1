#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "support/alloc_hook.h"
#include "vm_detection.h"

namespace {

char* const sentinel = reinterpret_cast<char*>(0x1);

TEST(DetectJson, NullOutIsRejected) { EXPECT_EQ(vmd_detect_json(nullptr), VMD_INVALID_ARGUMENT); }

TEST(DetectJson, ReturnsOneLineObjectFromSchemaVersionToDuration) {
    char* report = sentinel;
    ASSERT_EQ(vmd_detect_json(&report), VMD_OK);
    ASSERT_NE(report, nullptr);
    ASSERT_NE(report, sentinel);
    const std::string text = report;
    vmd_free(report);

    EXPECT_EQ(text.rfind("{\"schema_version\":1,\"module_version\":\"1.0.0\",", 0), 0u) << text;
    EXPECT_EQ(text.find('\n'), std::string::npos);
    const std::size_t duration = text.rfind(",\"duration_us\":");
    ASSERT_NE(duration, std::string::npos);
    const std::string value = text.substr(duration + 15, text.size() - duration - 16);
    EXPECT_EQ(text.back(), '}');
    ASSERT_FALSE(value.empty());
    EXPECT_EQ(value.find_first_not_of("0123456789"), std::string::npos) << value;
    // The run always reaches the processor, platform and timing probes.
    EXPECT_NE(text.find("{\"source\":\"cpu\",\"status\":"), std::string::npos);
    EXPECT_NE(text.find("{\"source\":\"container\",\"status\":"), std::string::npos);
    EXPECT_NE(text.find("{\"source\":\"timing\",\"status\":"), std::string::npos);
}

TEST(DetectJson, FailedCopyForTheCallerIsOutOfMemoryWithNullReport) {
    char* report = sentinel;
    vmd::test::fail_next_malloc();
    EXPECT_EQ(vmd_detect_json(&report), VMD_OUT_OF_MEMORY);
    EXPECT_EQ(report, nullptr);
    vmd::test::allow_allocations();
}

TEST(DetectJson, OutOfMemoryInsideTheRunIsOutOfMemoryWithNullReport) {
    for (std::int64_t k : {1, 2, 5, 20}) {
        char* report = sentinel;
        vmd::test::fail_allocation(k);
        const int status = vmd_detect_json(&report);
        vmd::test::allow_allocations();
        EXPECT_EQ(status, VMD_OUT_OF_MEMORY) << "allocation " << k;
        EXPECT_EQ(report, nullptr);
    }
}

TEST(Free, AcceptsNull) { vmd_free(nullptr); }

TEST(Version, IsOneStaticTextMatchingTheReport) {
    const char* v = vmd_version();
    EXPECT_STREQ(v, "1.0.0");
    EXPECT_EQ(v, vmd_version());
    char* report = nullptr;
    ASSERT_EQ(vmd_detect_json(&report), VMD_OK);
    EXPECT_NE(std::strstr(report, "\"module_version\":\"1.0.0\""), nullptr);
    vmd_free(report);
}

}  // namespace
