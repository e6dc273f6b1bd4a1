// Inputs the fuzz targets (fuzz/) once failed on, kept as plain tests.
#include <gtest/gtest.h>

#include <cstdint>
#include <limits>

#include "detection/report.h"

namespace {

// fuzz_to_json: two strong sources with the largest weight a Result can hold
// overflowed the score when the agreement bonus was added.
TEST(FuzzRegression, AgreementBonusCannotOverflowTheScore) {
    const std::int32_t huge = std::numeric_limits<std::int32_t>::max();
    vmd::Result result;
    result.add("firmware", "guest", "qemu", huge, "qemu");
    result.add("system", "guest", "kvm", huge - 2, "s390 KVM control program");
    const vmd::Assessment a = vmd::assess(result);
    EXPECT_EQ(a.vm_score, 99);
    EXPECT_EQ(a.vm_likelihood, "very_likely");

    // Just below the cap the bonus still adds 5.
    vmd::Result near;
    near.add("firmware", "guest", "qemu", 93, "qemu");
    near.add("system", "guest", "kvm", 50, "s390 KVM control program");
    EXPECT_EQ(vmd::assess(near).vm_score, 98);
}

}  // namespace
