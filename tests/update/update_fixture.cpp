#include "tests/update/update_fixture.h"

#include "host/board.h"
#include "host/radio.h"
#include "res/dialog_template.h"

namespace update_test {

void UpdateTest::Run(const std::string& faults) {
    std::string error;
    ASSERT_TRUE(SetModemFaults(faults, &error)) << error;
    EXPECT_TRUE(RunDialog()) << "the dialog did not end by itself";
}

std::vector<std::string> UpdateTest::ProgressFromFailure() {
    std::vector<std::string> writes;
    for (const std::string& entry : journal().Entries()) {
        if (entry == "set Progress=4294967295" || !writes.empty()) {
            if (entry.starts_with("set Progress="))
                writes.push_back(entry);
        }
    }
    return writes;
}

std::vector<std::wstring> UpdateTest::ActiveSubkeys() {
    std::vector<std::wstring> subkeys;
    host::RegKey active = 0;
    if (store().OpenKey(host::kHkeyLocalMachine, host::kActiveDriversKey, &active) != host::kRegOk)
        return subkeys;
    for (uint32_t index = 0;; ++index) {
        wchar_t name[64];
        uint32_t chars = 64;
        if (store().EnumKey(active, index, name, &chars) != host::kRegOk)
            break;
        subkeys.emplace_back(name);
    }
    store().CloseKey(active);
    return subkeys;
}

void UpdateTest::ExpectClosedAndRestored() {
    ExpectClosedAndRestoredBoard();
    EXPECT_EQ(Uart(L"AWRCWR"), 1u);
    EXPECT_EQ(Uart(L"CLK"), 1u);
}

void UpdateTest::ExpectClosedAndRestoredBoard() {
    EXPECT_EQ(modal_result(), host::kIdOk);
    EXPECT_TRUE(workers_ended()) << "workers still held the dialog after its end";
    EXPECT_FALSE(ui().IsOpen());
    const std::vector<uint32_t> modes = Writes(host::reg::kCpldMode);
    ASSERT_FALSE(modes.empty());
    EXPECT_EQ(modes.back(), 1u);
    EXPECT_FALSE(com1().NearIsOpen());
    const std::vector<host::RecordingPower::Requirement> held = power().Requirements();
    ASSERT_EQ(held.size(), 1u);
    EXPECT_EQ(held[0].device, L"BKL1:");
    EXPECT_EQ(held[0].device_state, host::kDevicePowerD0);
    EXPECT_TRUE(held[0].released_us.has_value());
    EXPECT_EQ(power().BadReleaseCount(), 0);
    // Power saving off for the run, on again at the end; the word's other bits kept.
    EXPECT_EQ(Writes(host::reg::kDvsControl),
              (std::vector<uint32_t>{kDvsOtherBits | 1u, kDvsOtherBits}));
}

void UpdateTest::ExpectDownloadCompleted() {
    ExpectClosedAndRestored();
    EXPECT_EQ(UpdateOutcome(), kExitSuccess);
    EXPECT_EQ(Settings(L"Progress"), 100u);
    EXPECT_EQ(report().sw.records_confirmed, 1667u);
    EXPECT_EQ(report().fs.records_confirmed, 885u);
    EXPECT_EQ(report().errors, 0u);
    EXPECT_EQ(log().Count("  Modem Download_Success  !!!!!!!    \r\n"), 1);
    // The completion writes AWRCWR 1 itself and again through the restore.
    EXPECT_EQ(journal().Count("set AWRCWR=1"), 2);
    EXPECT_EQ(Writes(host::reg::kCpldMode), (std::vector<uint32_t>{6, 1}));
    EXPECT_EQ(Writes(host::reg::kUart0Mcr), std::vector<uint32_t>{0});
    EXPECT_EQ(Writes(host::reg::kCpldAux), std::vector<uint32_t>{2});
    EXPECT_EQ(RisingEdges(host::reg::kGpioBDat, sim::kPowerKeyBit), 1);
    EXPECT_EQ(RisingEdges(host::reg::kGpioADat, sim::kResetLineBit), 0);
    const host::DialogState state = ui().State();
    EXPECT_EQ(state.Find(res::kIdcStatus)->text, L"Processing...  ");
    EXPECT_FALSE(state.Find(res::kIdcTimeLeft)->visible);
    EXPECT_EQ(state.Find(res::kIdcProgress)->position, 480);
}

}  // namespace update_test
