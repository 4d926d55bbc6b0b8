// The bench wiring's settings file: a table of good files with what they wire, and of bad
// ones with the reason given.
#include <gtest/gtest.h>

#include <string>

#include "host/modem_wiring.h"

namespace {

using host::ModemLine;
using host::ModemWiring;
using host::WiredLine;

constexpr WiredLine kDtr{ModemLine::kDtr, false}, kDtrInv{ModemLine::kDtr, true};
constexpr WiredLine kRts{ModemLine::kRts, false}, kRtsInv{ModemLine::kRts, true};

// A good file with what it wires, or a bad one with the reason given.
struct File {
    std::string text;
    std::optional<ModemWiring> want;
    const char* why = "";
};

constexpr std::nullopt_t kBad = std::nullopt;

TEST(ModemWiringFile, GoodFilesWireAndBadOnesSayWhatAndWhere) {
    const File files[] = {
        {"power-key = dtr asserted\nreset = rts asserted\n", ModemWiring{kDtr, kRts}},
        {"reset=dtr inverted\npower-key=rts inverted", ModemWiring{kRtsInv, kDtrInv}},
        {"# bench 3\n\n  Power-Key =  DTR  Inverted  # via a transistor\r\nreset = none\r\n",
         ModemWiring{kDtrInv, std::nullopt}},
        {"", kBad, "power-key is not given (dtr, rts or none)"},
        {"power-key = dtr asserted\n# reset = rts asserted\n", kBad,
         "reset is not given (dtr, rts or none)"},
        {"power-key dtr asserted\n", kBad,
         "line 1: expected 'SETTING = LINE POLARITY', e.g. 'power-key = dtr asserted'"},
        {"powerkey = dtr asserted\n", kBad,
         "line 1: unknown setting 'powerkey' (power-key or reset)"},
        {"power-key = dsr asserted\n", kBad, "line 1: 'dsr' is not a line (dtr, rts or none)"},
        {"power-key =\n", kBad, "line 1: no line for the power key (dtr, rts or none)"},
        {"reset = rts high\n", kBad, "line 1: 'high' is not a polarity (asserted or inverted)"},
        {"reset = rts asserted now\n", kBad, "line 1: unexpected 'now' after the polarity"},
        {"reset = none asserted\n", kBad, "line 1: 'none' takes no polarity, found 'asserted'"},
        {"reset = none\npower-key = rts asserted\nreset = dtr asserted\n", kBad,
         "line 3: reset is set twice (first on line 1)"},
        {"power-key = dtr asserted\nreset = dtr inverted\n", kBad,
         "the power key and the reset cannot share DTR (line 2)"},
        {"power-key = \x01\xff asserted\n", kBad,
         "line 1: '?"
         "?' is not a line (dtr, rts or none)"},
        {std::string(host::kModemWiringMaxBytes + 1, '#'), kBad,
         "larger than 4096 bytes: not a settings file"},
    };
    for (const File& file : files) {
        std::string why;
        EXPECT_EQ(host::ParseModemWiring(file.text, &why), file.want) << file.text;
        EXPECT_EQ(why, file.why) << file.text;
    }
}

TEST(ModemWiringFile, DescriptionNamesEveryLine) {
    EXPECT_EQ(host::DescribeModemWiring({kDtr, kRtsInv}),
              "power key on DTR (asserted), reset on RTS (inverted)");
    EXPECT_EQ(host::DescribeModemWiring({std::nullopt, kDtr}),
              "power key not wired, reset on DTR (asserted)");
}

}  // namespace
