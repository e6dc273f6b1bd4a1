// The processor file of a capture: what vmd-detect writes it reads back
// unchanged, hand-written variations are accepted, and faults are refused
// whole with the line where they are.
#include <gtest/gtest.h>

#include <string>

#include "cli.h"

namespace vmd::cli {
namespace {

using namespace std::string_view_literals;

Processor parsed(std::string_view text) {
    Processor out;
    ParseError error;
    EXPECT_TRUE(parse_processor(text, out, error)) << error.line << ": " << error.message;
    return out;
}

std::size_t refused_at(std::string_view text) {
    Processor out;
    out.leaves.push_back(Leaf{7, 7, {}});
    ParseError error;
    EXPECT_FALSE(parse_processor(text, out, error)) << text;
    EXPECT_FALSE(error.message.empty());
    EXPECT_EQ(out.leaves.size(), 1u) << "a refused file changed the record";
    return error.line;
}

TEST(ProcessorFile, WhatIsWrittenReadsBackTheSame) {
    Processor recorded;
    recorded.leaves = {{0x40000000, 0, {0x40000001, 0x4b4d564b, 0x564b4d56, 0x0000004d}},
                       {1, 2, {0xffffffff, 0, 0x80000000, 1}}};
    recorded.timing = Timing{true, true, UINT64_MAX};
    const Processor back = parsed(write_processor(recorded));
    EXPECT_EQ(back.leaves, recorded.leaves);
    EXPECT_TRUE(back.timing.available && back.timing.measured);
    EXPECT_EQ(back.timing.cycles_over_baseline, UINT64_MAX);

    // No instruction and no figure.
    const Processor none = parsed(write_processor(Processor{}));
    EXPECT_TRUE(none.leaves.empty());
    EXPECT_FALSE(none.timing.available || none.timing.measured);
}

TEST(ProcessorFile, HandWrittenFormsAreRead) {
    const Processor p = parsed(
        "vmd-processor 1 \r\n"
        "  # comment\r\n"
        "\r\n"
        "\tcpuid\t0x1  0X0 0xABCDEF01 0x0 0x80000000 0xa\r\n"
        "timing 1 0 0");  // no final line feed
    ASSERT_EQ(p.leaves.size(), 1u);
    EXPECT_EQ(p.leaves[0], (Leaf{1, 0, {0xabcdef01, 0, 0x80000000, 10}}));
    EXPECT_TRUE(p.timing.available);
    EXPECT_FALSE(p.timing.measured);
    // Without a timing line the figure is unavailable.
    EXPECT_FALSE(parsed("vmd-processor 1\n").timing.available);
}

TEST(ProcessorFile, FaultsAreRefusedWithTheirLine) {
    EXPECT_EQ(refused_at(""), 1u);
    EXPECT_EQ(refused_at("# vmd-processor 1\n"), 1u);
    EXPECT_EQ(refused_at("vmd-processor 10\n"), 1u);
    EXPECT_EQ(refused_at("vmd-processor 1\ncpuid 0x1 0x0 0x0 0x0 0x0 0x0 0x0\n"), 2u);
    EXPECT_EQ(refused_at("vmd-processor 1\ncpuid 0x1 0x0 0x0 0x0 0x0 1\n"), 2u);
    EXPECT_EQ(refused_at("vmd-processor 1\ncpuid 0x 0x0 0x0 0x0 0x0 0x0\n"), 2u);
    EXPECT_EQ(refused_at("vmd-processor 1\ncpuid 0x123456789 0x0 0x0 0x0 0x0 0x0\n"), 2u);
    EXPECT_EQ(refused_at("vmd-processor 1\ncpuid 0x1 0x0 0x0 0x0 0x0 0xg\n"), 2u);
    EXPECT_EQ(refused_at("vmd-processor 1\ncpuid 0x1\0 0x0 0x0 0x0 0x0 0x0\n"sv), 2u);
    EXPECT_EQ(refused_at("vmd-processor 1\n\ntiming 1 1\n"), 3u);
    EXPECT_EQ(refused_at("vmd-processor 1\ntiming 2 1 5\n"), 2u);
    EXPECT_EQ(refused_at("vmd-processor 1\ntiming 1 1 -5\n"), 2u);
    EXPECT_EQ(refused_at("vmd-processor 1\ntiming 1 1 18446744073709551616\n"), 2u);
    EXPECT_EQ(refused_at("vmd-processor 1\ntiming 1 1 5\ntiming 1 1 5\n"), 3u);
    EXPECT_EQ(refused_at("vmd-processor 1\ntimings 1 1 5\n"), 2u);
    // The second of two equal leaves, wherever the first is.
    EXPECT_EQ(refused_at("vmd-processor 1\n"
                         "cpuid 0x40000000 0x0 0x0 0x0 0x0 0x0\n"
                         "cpuid 0x1 0x0 0x0 0x0 0x0 0x0\n"
                         "cpuid 0x40000000 0x1 0x0 0x0 0x0 0x0\n"
                         "cpuid 0x1 0x0 0x0 0x0 0x0 0x1\n"
                         "cpuid 0x40000000 0x0 0x0 0x0 0x0 0x0\n"),
              5u);
}

}  // namespace
}  // namespace vmd::cli
