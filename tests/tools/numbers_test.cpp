// The tools' one reading of numbers: what each kind of argument takes and refuses, at the
// edges of its range.
#include "tools/common/numbers.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>

namespace {

struct DwordCase {
    std::string text;
    bool allow_negative;
    std::optional<uint32_t> value;
};

TEST(NumbersTest, DwordsTakeDecimalAndHexWithinThirtyTwoBits) {
    const DwordCase cases[] = {
        {"0", false, 0u},
        {"42", false, 42u},
        {"010", false, 10u},  // decimal, not octal
        {"0x1C0", false, 448u},
        {"0XfF", false, 255u},
        {"4294967295", false, 0xFFFFFFFFu},
        {"0xFFFFFFFF", false, 0xFFFFFFFFu},
        {"4294967296", false, std::nullopt},
        {"0x100000000", false, std::nullopt},
        {"99999999999999999999999", false, std::nullopt},
        {"xyz", false, std::nullopt},
        {"", false, std::nullopt},
        {"0x", false, std::nullopt},
        {"12abc", false, std::nullopt},
        {" 1", false, std::nullopt},
        {"1 ", false, std::nullopt},
        {"+1", false, std::nullopt},
        {"-1", false, std::nullopt},
        {"-1", true, 0xFFFFFFFFu},
        {"-2147483648", true, 0x80000000u},
        {"-2147483649", true, std::nullopt},
        {"-0x1", true, std::nullopt},
        {"-", true, std::nullopt},
    };
    for (const DwordCase& c : cases) {
        SCOPED_TRACE("'" + c.text + "'" + (c.allow_negative ? " negative allowed" : ""));
        EXPECT_EQ(tools::ParseDword(c.text, c.allow_negative), c.value);
    }
}

TEST(NumbersTest, RangesAreInclusive) {
    EXPECT_EQ(tools::ParseNumber("1", 1, 10), 1u);
    EXPECT_EQ(tools::ParseNumber("10", 1, 10), 10u);
    EXPECT_EQ(tools::ParseNumber("0", 1, 10), std::nullopt);
    EXPECT_EQ(tools::ParseNumber("11", 1, 10), std::nullopt);
    EXPECT_EQ(tools::ParseNumber("18446744073709551615"), UINT64_MAX);
    EXPECT_EQ(tools::ParseNumber("18446744073709551616"), std::nullopt);
}

TEST(NumbersTest, SecondsAreDecimalWithinTheirLimit) {
    EXPECT_EQ(tools::ParseSeconds("2.5", 3600), 2'500'000);
    EXPECT_EQ(tools::ParseSeconds("0", 3600), 0);
    EXPECT_EQ(tools::ParseSeconds(".5", 3600), 500'000);
    EXPECT_EQ(tools::ParseSeconds("3600", 3600), 3'600'000'000);
    for (const char* bad : {"3600.5", "-1", "1e3", "1.2.3", ".", "", "inf", "nan", "0x10", "1 "})
        EXPECT_EQ(tools::ParseSeconds(bad, 3600), std::nullopt) << bad;
}

}  // namespace
