// read_file starts with a buffer smaller than the largest limit and grows it
// while a file keeps filling it: files around and across those steps must
// still come back whole, byte for byte, and oversized ones still fail.
#include <gtest/gtest.h>

#include <cstdint>
#include <new>
#include <string>

#include "linux/probe_file.h"
#include "support/alloc_hook.h"
#include "support/tree.h"

namespace vmd {
namespace {

// Bytes that differ from their neighbours, so a misplaced or lost chunk shows.
std::string pattern(std::size_t size) {
    std::string bytes(size, '\0');
    for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>((i * 131 + i / 251) & 0xFF);
    return bytes;
}

TEST(ReadBuffer, FilesAcrossEveryGrowthStepComeBackWhole) {
    test::Tree tree;
    constexpr std::uint64_t limit = 1048576;
    for (std::size_t size : {65536u, 65537u, 65538u, 131074u, 131075u, 300000u, 1048576u}) {
        const std::string bytes = pattern(size);
        tree.file("/proc/cpuinfo", bytes);
        const File file = read_file(tree.root(), "/proc/cpuinfo", limit);
        EXPECT_STREQ(file.status, "ok") << size;
        EXPECT_TRUE(file.contents == bytes) << size;
    }
    tree.file("/proc/cpuinfo", pattern(limit + 1));
    const File over = read_file(tree.root(), "/proc/cpuinfo", limit);
    EXPECT_STREQ(over.status, "error");
    EXPECT_TRUE(over.contents.empty());
}

TEST(ReadBuffer, LimitsBetweenTheStepsHoldExactly) {
    test::Tree tree;
    for (std::size_t limit : {65536u, 65537u, 100000u}) {
        tree.file("/f", pattern(limit));
        EXPECT_STREQ(read_file(tree.root(), "/f", limit).status, "ok") << limit;
        tree.file("/f", pattern(limit + 1));
        EXPECT_STREQ(read_file(tree.root(), "/f", limit).status, "error") << limit;
    }
}

TEST(ReadBuffer, NoReadTakesInMoreThanTheByteThatShowsAFileTooLarge) {
    // A buffer grown past the limit would let a larger file in whole, and a
    // read that went on once the limit's last byte was in would cost another
    // buffer: files well over limits that need the buffer to grow are still
    // refused, and a file over a limit within the first buffer costs no more
    // than an empty one.
    test::Tree tree;
    for (std::size_t limit : {100000u, 150000u, 1048576u}) {
        for (std::size_t size : {limit + 2, limit + limit / 2, 3 * limit}) {
            tree.file("/proc/cpuinfo", pattern(size));
            const File over = read_file(tree.root(), "/proc/cpuinfo", limit);
            EXPECT_STREQ(over.status, "error") << size << " bytes at " << limit;
            EXPECT_TRUE(over.contents.empty()) << size << " bytes at " << limit;
        }
    }
    const auto cost = [&](std::size_t size) {
        tree.file("/sys/class/dmi/id/product_name", pattern(size));
        test::allow_allocations();
        const File file = read_file(tree.root(), "/sys/class/dmi/id/product_name", 4096);
        const std::int64_t made = test::allocations();
        EXPECT_EQ(file.contents.size(), size > 4096 ? 0u : size) << size;
        return made;
    };
    EXPECT_LE(cost(4097), cost(0));
}

TEST(ReadBuffer, FailedGrowthLeavesByException) {
    test::Tree tree;
    tree.file("/proc/cpuinfo", pattern(200000));
    bool grew = false;
    for (std::int64_t k = 1; k < 100; ++k) {
        test::fail_allocation(k);
        bool threw = false;
        try {
            (void)read_file(tree.root(), "/proc/cpuinfo", 1048576);
        } catch (const std::bad_alloc&) {
            threw = true;
        }
        const bool reached = test::allocations() >= k;
        test::allow_allocations();
        EXPECT_EQ(threw, reached) << "allocation " << k;
        if (!reached) {
            grew = k > 3;  // path, first buffer, at least one larger one
            break;
        }
    }
    EXPECT_TRUE(grew);
}

}  // namespace
}  // namespace vmd
