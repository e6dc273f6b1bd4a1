// Calls from many threads at once must not disturb each other: the library
// keeps no shared state. Built with ThreadSanitizer this also checks that no
// data is shared behind the scenes.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "vm_detection.h"

namespace {

constexpr int thread_count = 8;
constexpr int calls_per_thread = 100;

// Replaces the digits that follow each occurrence of `key` by one "_".
void blank_number(std::string& text, std::string_view key) {
    std::string out;
    std::size_t from = 0;
    for (std::size_t p = text.find(key); p != std::string::npos; p = text.find(key, from)) {
        const std::size_t start = p + key.size();
        out.append(text, from, start - from);
        out += '_';
        from = std::min(text.find_first_not_of("0123456789", start), text.size());
    }
    out.append(text, from, std::string::npos);
    text = std::move(out);
}

// The report with what legitimately differs between runs blanked out: the
// run's duration and the measured cycle count of the timing evidence.
std::string comparable(std::string report) {
    blank_number(report, "\"duration_us\":");
    blank_number(report, "\"detail\":\"cpuid ");
    return report;
}

struct Outcome {
    int failures = 0;                  // calls that did not return 0 or gave no report
    std::vector<std::string> reports;  // distinct comparable reports seen
};

void call_repeatedly(Outcome& outcome) {
    for (int i = 0; i < calls_per_thread; ++i) {
        char* report = nullptr;
        if (vmd_detect_json(&report) != VMD_OK || report == nullptr) {
            ++outcome.failures;
            continue;
        }
        std::string text = comparable(report);
        vmd_free(report);
        bool seen = false;
        for (const std::string& r : outcome.reports) seen = seen || r == text;
        if (!seen) outcome.reports.push_back(std::move(text));
    }
}

TEST(Threads, EightThreadsAtOnceAllSucceedWithTheSameReport) {
    // Each thread gets its own outcome; nothing is shared while they run.
    std::vector<Outcome> outcomes(thread_count);
    std::vector<std::thread> threads;
    for (Outcome& outcome : outcomes) threads.emplace_back(call_repeatedly, std::ref(outcome));
    for (std::thread& t : threads) t.join();

    char* single = nullptr;
    ASSERT_EQ(vmd_detect_json(&single), VMD_OK);
    const std::string expected = comparable(single);
    vmd_free(single);
    ASSERT_NE(expected.find("\"duration_us\":_}"), std::string::npos) << expected;

    for (int t = 0; t < thread_count; ++t) {
        const Outcome& outcome = outcomes[static_cast<std::size_t>(t)];
        EXPECT_EQ(outcome.failures, 0) << "thread " << t;
        ASSERT_EQ(outcome.reports.size(), 1u) << "thread " << t << " saw differing reports";
        EXPECT_EQ(outcome.reports.front(), expected) << "thread " << t;
    }
}

}  // namespace
