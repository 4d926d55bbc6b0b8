// Wine's registry as text: the files its server writes, read back value by value, and the .reg
// files regedit imports.
#include "sim/wine_registry.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "tools/virtual-board/board_report.h"

namespace {

// As Wine writes them: escapes in key names and strings, a multi-line hex value, metadata.
const char kSystemReg[] = R"(WINE REGISTRY Version 2
;; All keys relative to \\Machine

#arch=win64

[Drivers\\Active\\01] 1796710500
#time=1dd86db74acd932
"Hnd"=dword:00000040
"Name"="BKL1:"

[Drivers\\Active\\05\\Extra] 1796710500
"Name"="not a driver of the list"

[Drivers\\Active\\10] 1796710500
"Hnd"=dword:00000280
"Name"="RIL1:"

[Drivers\\Active2\\11] 1796710500
"Name"="beside the list"

[Drivers\\BuiltIn\\2440UART0] 1796710500
"AWRCWR"=dword:1
"CLK"=dword:00000001
"Multi"=hex(7):41,00,00,00,\
  42,00,00,00,00,00
"After"=dword:0000002a

[Software\\QZX\\Kelvaro] 1796710500
@="the default value"
"Progress"=dword:ffffffff
"Quoted"="a\"b\\c"
"Accents"="\x00e9t\xe9 x"
"Beyond"="\xd83d\xde00"
"Controls"="\t\n\033\1"
"Blob"=hex:01,02

[System\\State\\Phone] 1796710500
"Radio"=dword:00000000

[Wide\\\x00e9l\x00e9ment] 1796710500
"Name"="key with accents"
)";

TEST(WineRegistryTest, ReadsTheValuesWineWrote) {
    sim::WineRegistry registry;
    std::string error;
    ASSERT_TRUE(registry.Parse(kSystemReg, &error)) << error;
    struct Case {
        const char* key;
        const char* name;
        std::variant<std::monostate, uint32_t, std::string> expected;  // monostate: none
    };
    const Case cases[] = {
        {"Drivers\\BuiltIn\\2440UART0", "AWRCWR", 1u},
        {"drivers\\builtin\\2440uart0\\", "clk", 1u},   // the case and a trailing '\' ignored
        {"Drivers\\BuiltIn\\2440UART0", "After", 42u},  // after the value that runs on
        {"Drivers\\BuiltIn\\2440UART0", "Multi", {}},   // neither a DWORD nor a string
        {"Software\\QZX\\Kelvaro", "Progress", 0xFFFFFFFFu},
        {"Software\\QZX\\Kelvaro", "Quoted", std::string("a\"b\\c")},
        {"Software\\QZX\\Kelvaro", "Accents", std::string("\xC3\xA9t\xC3\xA9 x")},
        {"Software\\QZX\\Kelvaro", "Beyond", std::string("\xF0\x9F\x98\x80")},
        {"Software\\QZX\\Kelvaro", "Controls", std::string("\t\n\x1B\x01")},
        {"Software\\QZX\\Kelvaro", "", std::string("the default value")},
        {"Software\\QZX\\Kelvaro", "Blob", {}},
        {"Software\\QZX\\Kelvaro", "Reboot", {}},  // missing value
        {"Software\\QZX", "Progress", {}},         // a key the file never names
        {"System\\State\\Phone", "Radio", 0u},
        {"Wide\\\xC3\xA9l\xC3\xA9ment", "Name", std::string("key with accents")},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.key) + " " + c.name);
        const std::optional<uint32_t> dword = registry.Dword(c.key, c.name);
        const std::optional<std::string> text = registry.String(c.key, c.name);
        if (const auto* number = std::get_if<uint32_t>(&c.expected)) {
            EXPECT_EQ(dword, *number);
            EXPECT_EQ(text, std::nullopt);
        } else if (const auto* string = std::get_if<std::string>(&c.expected)) {
            EXPECT_EQ(text, *string);
            EXPECT_EQ(dword, std::nullopt);
        } else {
            EXPECT_EQ(dword, std::nullopt);
            EXPECT_EQ(text, std::nullopt);
        }
    }
    EXPECT_EQ(registry.Subkeys("Drivers\\Active"), (std::vector<std::string>{"01", "10"}));
    EXPECT_TRUE(registry.HasKey("DRIVERS\\ACTIVE\\05\\extra"));
}

TEST(WineRegistryTest, RefusesWhatIsNotARegistryFile) {
    const std::string header = "WINE REGISTRY Version 2\n";
    struct Case {
        std::string text;
        const char* error;
    };
    const Case cases[] = {
        {"REGEDIT4\n[A]\n", "line 1: not a Wine registry file"},
        {header + "\"V\"=dword:1\n", "line 2: a value before any key"},
        {header + "[A] 1\n\"V\"=\"open\n", "line 3: a string without its closing quote"},
        {header + "[A] 1\n\"V\"=dword:123456789\n",
         "line 3: a DWORD that is not 1 to 8 hex digits"},
        {header + "[A] 1\n\"V\"dword:1\n", "line 3: no '=' after the value name"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        sim::WineRegistry registry;
        std::string error;
        EXPECT_FALSE(registry.Parse(c.text, &error));
        EXPECT_EQ(error, c.error);
    }
}

TEST(WineRegistryTest, WritesARegFileThatRegeditTakesBack) {
    const std::string uart = "HKEY_LOCAL_MACHINE\\Drivers\\BuiltIn\\2440UART0";
    const std::vector<sim::RegEntry> entries = {
        {uart, "AWRCWR", 3u},
        {"HKEY_LOCAL_MACHINE\\Software\\Wine\\Ports", "COM1", std::string("/tmp/a \"b\"\\c/dev")},
        {"hkey_local_machine\\drivers\\builtin\\2440uart0", "CLK", 0xFFFFFFFFu},
        {"HKEY_CURRENT_USER\\Software\\Wine\\Drivers", "Graphics", std::string("two\r\nlines")},
    };
    std::string error;
    const std::optional<std::string> text = sim::RegFileText(entries, &error);
    ASSERT_TRUE(text) << error;
    EXPECT_EQ(*text,
              "Windows Registry Editor Version 5.00\r\n"
              "\r\n[HKEY_LOCAL_MACHINE\\Drivers\\BuiltIn\\2440UART0]\r\n"
              "\"AWRCWR\"=dword:00000003\r\n"
              "\"CLK\"=dword:ffffffff\r\n"
              "\r\n[HKEY_LOCAL_MACHINE\\Software\\Wine\\Ports]\r\n"
              "\"COM1\"=\"/tmp/a \\\"b\\\"\\\\c/dev\"\r\n"
              "\r\n[HKEY_CURRENT_USER\\Software\\Wine\\Drivers]\r\n"
              "\"Graphics\"=\"two\\r\\nlines\"\r\n");
}

TEST(WineRegistryTest, RefusesEntriesARegFileCannotCarry) {
    const std::string key = "HKEY_LOCAL_MACHINE\\Software";
    const sim::RegEntry cases[] = {
        {key, "Tab", std::string("a\tb")},
        {key, "Bad\xFF", 1u},
        {key + "\\", "Trailing", 1u},
        {"", "NoKey", 1u},
    };
    for (const sim::RegEntry& entry : cases) {
        SCOPED_TRACE(entry.name);
        std::string error;
        EXPECT_FALSE(sim::RegFileText({entry}, &error));
        EXPECT_NE(error.find(entry.key), std::string::npos) << error;
    }
}

TEST(WineRegistryTest, EncodesUtf16WithItsByteOrderMark) {
    EXPECT_EQ(sim::Utf16LeWithBom("A\xC3\xA9\xF0\x9F\x98\x80"),
              std::string("\xFF\xFE"
                          "A\0\xE9\0\x3D\xD8\x00\xDE",
                          10));
}

// The report reads the drivers' state and the values back from Wine's registry.
TEST(WineRegistryTest, TheReportReadsTheDeviceFromWinesRegistry) {
    sim::WineRegistry registry;
    std::string error;
    ASSERT_TRUE(registry.Parse(kSystemReg, &error)) << error;
    const vboard::DeviceFacts facts = vboard::ReadDeviceFacts("/nonexistent", registry);
    EXPECT_EQ(facts.progress, -1);
    EXPECT_EQ(facts.awrcwr, 1u);
    EXPECT_EQ(facts.clk, 1u);
    EXPECT_EQ(facts.radio, 0u);
    EXPECT_EQ(facts.drivers_loaded, (std::vector<std::string>{"BKL1:", "RIL1:"}));
    EXPECT_FALSE(facts.registers_read);
}

}  // namespace
