// On a processor without the x86 identification instruction (arm64, armhf,
// ppc64el, riscv64 and s390x, run by tests/architectures/run.sh) the
// processor probes are unavailable and the run goes on without them.
#include <gtest/gtest.h>

#include <string>

#include "vm_detection.h"

namespace {

TEST(WithoutIdentificationInstruction, CpuAndTimingAreUnavailable) {
#if defined(__i386__) || defined(__x86_64__)
    GTEST_SKIP() << "this processor has the identification instruction";
#else
    char* report = nullptr;
    ASSERT_EQ(vmd_detect_json(&report), VMD_OK);
    const std::string text = report;
    vmd_free(report);
    EXPECT_NE(text.find(R"({"source":"cpu","status":"unavailable"})"), std::string::npos) << text;
    EXPECT_NE(text.find(R"({"source":"timing","status":"unavailable"})"), std::string::npos)
        << text;
    // Neither probe has anything to say without the instruction.
    EXPECT_EQ(text.find(R"({"source":"cpu","category")"), std::string::npos) << text;
    EXPECT_EQ(text.find(R"({"source":"timing","category")"), std::string::npos) << text;
    // The platform probes still ran.
    EXPECT_NE(text.find(R"({"source":"container","status":)"), std::string::npos) << text;
#endif
}

}  // namespace
