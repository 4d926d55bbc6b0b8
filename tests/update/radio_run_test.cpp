// The radio stack as a whole run meets it: whatever the shutdown finds (a radio already off,
// drivers missing or unreadable, no AT channel), it only logs, and the update goes on to its
// success.  The loaded drivers sit in subkeys 01 (RIL1:), 02 to 06 (VEI1: to VEI5:), 07
// (MUX1:), 08 (SPI2:) and 09 (an unrelated driver).
#include <functional>
#include <map>

#include "host/registry.h"
#include "tests/update/update_run.h"

namespace update_test {
namespace {

const std::string kBothCommands = "AT*USER1OFF\rAT+CFUN=0\r";

struct RadioCase {
    const char* name;
    std::function<void(UpdateRun&)> setup;
    std::map<std::string, int> counts;  // log lines and how often they appear
    std::vector<std::wstring> left;     // subkeys under Drivers\Active afterwards
    size_t switch_offs;                 // requests to switch the phone radio off
    std::string at_commands;            // what reached the far end of "VEI1:"
};

void PrintTo(const RadioCase& c, std::ostream* out) {
    *out << c.name;
}

class RadioRunTest : public UpdateRun, public ::testing::WithParamInterface<RadioCase> {};

TEST_P(RadioRunTest, ShutdownLogsWhatItFindsAndTheUpdateSucceeds) {
    const RadioCase& c = GetParam();
    c.setup(*this);
    Run();
    ExpectDownloadCompleted();
    for (const auto& [text, count] : c.counts)
        EXPECT_EQ(log_.Count(text), count) << text;
    EXPECT_EQ(ActiveSubkeys(), c.left);
    EXPECT_EQ(radio_.Requests().size(), c.switch_offs);
    EXPECT_FALSE(radio_.RadioOn(phone_radio_));
    EXPECT_EQ(at_commands_, c.at_commands);
}

const RadioCase kCases[] = {
    RadioCase{"RadioAlreadyOff",
              [](UpdateRun& r) { r.radio_.SetRadioOn(r.phone_radio_, false); },
              {{"Start to Turn off RIL \r\n", 1},
               {"Turn GSM OFF\r\n", 0},
               {"Deactive RIL1:\r\n", 1},
               {"Deactive SPI2:\r\n", 1}},
              {L"09"},
              0,
              kBothCommands},
    RadioCase{
        "DriverMissing",
        [](UpdateRun& r) { r.store_.DeleteKey(host::kHkeyLocalMachine, L"Drivers\\Active\\07"); },
        {{"Deactive VEI5:\r\n", 1},
         {"Deactive MUX1:\r\n", 0},
         {"Deactive SPI2:\r\n", 1},
         {"FindActivatedDeviceHandle: No more items\r\n", 1}},
        {L"09"},
        1,
        kBothCommands},
    RadioCase{"AtChannelMissing",
              [](UpdateRun& r) { r.vei1_->Unplug(); },
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
    RadioCase{"LowerCaseNameNotFound",
              [](UpdateRun& r) { r.store_.PutString(L"Drivers\\Active\\02", L"Name", L"vei1:"); },
              {{"FindActivatedDeviceHandle: Compare vei1: and VEI1:\r\n", 1},
               {"FindActivatedDeviceHandle: No more items\r\n", 1},
               {"Deactive VEI1:\r\n", 0},
               {"Deactive VEI2:\r\n", 1}},
              {L"02", L"09"},
              1,
              kBothCommands},
    // The subkey of MUX1: cannot be opened: its search and the one for SPI2: (in a later
    // subkey) both end there.
    RadioCase{"UnopenableSubkeyEndsTheSearch",
              [](UpdateRun& r) { r.store_.FailOpen(L"Drivers\\Active\\07"); },
              {{"Deactive VEI5:\r\n", 1},
               {"FindActivatedDeviceHandle: Open Device Reg error\r\n", 2},
               {"Full Key: Drivers\\Active\\08\r\n", 0},
               {"Deactive MUX1:\r\n", 0},
               {"Deactive SPI2:\r\n", 0}},
              {L"07", L"08", L"09"},
              1,
              kBothCommands},
    RadioCase{"MatchWithoutHandle",
              [](UpdateRun& r) {
                  r.store_.DeleteKey(host::kHkeyLocalMachine, L"Drivers\\Active\\01");
                  r.store_.PutString(L"Drivers\\Active\\01", L"Name", L"RIL1:");
              },
              {{"ReadSPPSetting: Error getting Hnd\r\n", 1},
               {"Deactive RIL1:\r\n", 0},
               {"Deactive VEI1:\r\n", 1},
               {"Deactive SPI2:\r\n", 1}},
              {L"01", L"09"},
              1,
              kBothCommands},
};

INSTANTIATE_TEST_SUITE_P(Whole, RadioRunTest, ::testing::ValuesIn(kCases),
                         [](const ::testing::TestParamInfo<RadioCase>& info) {
                             return info.param.name;
                         });

}  // namespace
}  // namespace update_test
