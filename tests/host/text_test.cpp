// Wide text and UTF-8 both ways, whatever the width of the platform's wide characters (four
// bytes on Linux, two on Windows, where a character above U+FFFF is a surrogate pair).
#include <gtest/gtest.h>

#include <string>

#include "host/debug_log.h"

namespace {

struct TextCase {
    const char* what;
    std::u32string code_points;
    std::string utf8;
};

std::wstring WideOf(const std::u32string& code_points) {
    std::wstring wide;
    for (char32_t c : code_points) {
        if (sizeof(wchar_t) == 2 && c >= 0x10000) {
            wide += static_cast<wchar_t>(0xD800 + ((c - 0x10000) >> 10));
            wide += static_cast<wchar_t>(0xDC00 + ((c - 0x10000) & 0x3FF));
        } else {
            wide += static_cast<wchar_t>(c);
        }
    }
    return wide;
}

TEST(TextTest, WideTextRoundTripsThroughUtf8) {
    const TextCase cases[] = {
        {"ascii", U"COM1:", "COM1:"},
        {"two bytes", U"\u00e9t\u00e9", "\xc3\xa9t\xc3\xa9"},
        {"three bytes", U"\u20ac5",
         "\xe2\x82\xac"
         "5"},
        {"four bytes", U"a\U0001F600b",
         "a\xf0\x9f\x98\x80"
         "b"},
    };
    for (const TextCase& c : cases) {
        EXPECT_EQ(host::Narrow(WideOf(c.code_points)), c.utf8) << c.what;
        EXPECT_EQ(host::Widen(c.utf8), WideOf(c.code_points)) << c.what;
    }
}

TEST(TextTest, MalformedInputBecomesOneReplacementAndSparesTheRest) {
    const std::wstring replacement(1, static_cast<wchar_t>(0xFFFD));
    EXPECT_EQ(host::Widen("a\xff"
                          "b"),
              L"a" + replacement + L"b");
    EXPECT_EQ(host::Widen("a\xc3"), L"a" + replacement);  // cut at the end
    EXPECT_EQ(host::Widen("\xe2\x82"
                          "b"),
              replacement + L"b");  // cut before a plain byte
    const std::wstring lone_half = L"x" + std::wstring(1, static_cast<wchar_t>(0xD800)) + L"y";
    EXPECT_EQ(host::Narrow(lone_half), "x\xef\xbf\xbdy");
}

}  // namespace
