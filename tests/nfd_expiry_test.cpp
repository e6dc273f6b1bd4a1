// NFD's expiry line of vmd-detect's repeat mode: the instant written in
// UTC, right across leap days, year ends, 1970, 2038 and the last year
// that has four digits.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <ctime>
#include <limits>
#include <string>

#include "cli.h"

namespace vmd::cli {
namespace {

std::string line(const char* rfc3339) { return std::string("# +expiry-time=") + rfc3339 + "\n"; }

TEST(NfdExpiry, InstantsWhereACalendarSlips) {
    // As Python's datetime gives them (year 0 by hand: 1 January of year 1
    // less the 366 days of year 0, a leap year in the proleptic calendar).
    const std::pair<std::time_t, const char*> known[] = {
        {0, "1970-01-01T00:00:00Z"},
        {-1, "1969-12-31T23:59:59Z"},
        {951868799, "2000-02-29T23:59:59Z"},
        {951868800, "2000-03-01T00:00:00Z"},
        {1709251199, "2024-02-29T23:59:59Z"},
        {1704067199, "2023-12-31T23:59:59Z"},
        {1704067200, "2024-01-01T00:00:00Z"},
        {4107542399, "2100-02-28T23:59:59Z"},  // no leap day in 2100
        {4107542400, "2100-03-01T00:00:00Z"},
        {2147483647, "2038-01-19T03:14:07Z"},
        {2147483648, "2038-01-19T03:14:08Z"},
        {253402300799, "9999-12-31T23:59:59Z"},
        {-62167219200, "0000-01-01T00:00:00Z"},
    };
    for (const auto& [at, text] : known) EXPECT_EQ(nfd_expiry(at), line(text)) << at;
}

TEST(NfdExpiry, NoLineForAYearWithoutFourDigits) {
    for (const std::time_t at :
         {std::time_t{253402300800}, std::time_t{-62167219201},
          std::numeric_limits<std::time_t>::max(), std::numeric_limits<std::time_t>::min()}) {
        EXPECT_EQ(nfd_expiry(at), "") << at;
    }
}

TEST(NfdExpiry, AgreesWithTheCLibraryOverTheFourDigitYears) {
    // A step that is no whole number of days, hours or minutes, so that
    // every field takes many values.
    constexpr std::time_t step = 86400 * 97 + 3600 + 61;
    for (std::time_t at = -62167219200; at <= 253402300799; at += step) {
        std::tm utc{};
        ASSERT_NE(::gmtime_r(&at, &utc), nullptr);
        char text[64];
        std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02dZ", utc.tm_year + 1900,
                      utc.tm_mon + 1, utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec);
        ASSERT_EQ(nfd_expiry(at), line(text)) << at;
    }
}

}  // namespace
}  // namespace vmd::cli
