// The radio stack as a whole run meets it: whatever the shutdown finds (a radio already off,
// a driver's subkey that cannot be read, no AT channel), it only logs, and the update goes on
// to its success.  How the search treats each kind of entry is the radio stack tests' concern.
// The loaded drivers sit in subkeys 01 (RIL1:), 02 to 06 (VEI1: to VEI5:), 07 (MUX1:), 08
// (SPI2:) and 09 (an unrelated driver).
#include <functional>
#include <map>

#include "tests/update/update_fixture.h"

namespace update_test {
namespace {

const std::string kBothCommands = "AT*USER1OFF\rAT+CFUN=0\r";

struct RadioCase {
    const char* name;
    std::function<void(sim::InProcessBoard&)> setup;
    std::map<std::string, int> counts;  // log lines and how often they appear
    std::vector<std::wstring> left;     // subkeys under Drivers\Active afterwards
    size_t switch_offs;                 // requests to switch the phone radio off
    std::string at_commands;            // what reached the far end of "VEI1:"
};

void PrintTo(const RadioCase& c, std::ostream* out) {
    *out << c.name;
}

class RadioRunTest : public UpdateTest, public ::testing::WithParamInterface<RadioCase> {};

TEST_P(RadioRunTest, ShutdownLogsWhatItFindsAndTheUpdateSucceeds) {
    const RadioCase& c = GetParam();
    c.setup(*this);
    Run();
    ExpectDownloadCompleted();
    for (const auto& [text, count] : c.counts)
        EXPECT_EQ(log().Count(text), count) << text;
    EXPECT_EQ(ActiveSubkeys(), c.left);
    EXPECT_EQ(radio().Requests().size(), c.switch_offs);
    EXPECT_FALSE(radio().RadioOn(phone_radio()));
    EXPECT_EQ(at_commands(), c.at_commands);
}

const RadioCase kCases[] = {
    RadioCase{"RadioAlreadyOff",
              [](sim::InProcessBoard& b) { b.radio().SetRadioOn(b.phone_radio(), false); },
              {{"Start to Turn off RIL \r\n", 1},
               {"Turn GSM OFF\r\n", 0},
               {"Deactive RIL1:\r\n", 1},
               {"Deactive SPI2:\r\n", 1}},
              {L"09"},
              0,
              kBothCommands},
    RadioCase{"AtChannelMissing",
              [](sim::InProcessBoard& b) { b.vei1().Unplug(); },
              {{"Try to Open VEI1 \r\n", 2},
               {"Open VEI1: failed\r\n", 2},
               {"Close VEI1: failed\r\n", 2},
               {"Send AT*USER1OFF\r\n", 0},
               {"Send AT+CFUN=0\r\n", 0},
               {"Deactive VEI1:\r\n", 1},
               {"Deactive SPI2:\r\n", 1}},
              {L"09"},
              1,
              ""},
    // The subkey of MUX1: cannot be opened: its search and the one for SPI2: (in a later
    // subkey) both end there.
    RadioCase{"UnopenableSubkeyEndsTheSearch",
              [](sim::InProcessBoard& b) { b.store().FailOpen(L"Drivers\\Active\\07"); },
              {{"Deactive VEI5:\r\n", 1},
               {"FindActivatedDeviceHandle: Open Device Reg error\r\n", 2},
               {"Full Key: Drivers\\Active\\08\r\n", 0},
               {"Deactive MUX1:\r\n", 0},
               {"Deactive SPI2:\r\n", 0}},
              {L"07", L"08", L"09"},
              1,
              kBothCommands},
};

INSTANTIATE_TEST_SUITE_P(Whole, RadioRunTest, ::testing::ValuesIn(kCases),
                         [](const ::testing::TestParamInfo<RadioCase>& test) {
                             return test.param.name;
                         });

}  // namespace
}  // namespace update_test
