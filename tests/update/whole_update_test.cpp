// Whole updates from the dialog's start to its end: the successful ends (the device variant's
// texts, the success box or the restart), and the three failure exits with the state they
// leave on the board, in the registry and on the screen.
#include <chrono>
#include <cstdio>
#include <optional>

#include "device/board.h"
#include "host/board.h"
#include "host/ui.h"
#include "res/dialog_template.h"
#include "tests/update/update_run.h"

namespace update_test {
namespace {

// ---- success ----

struct SuccessCase {
    const char* name;
    std::optional<uint32_t> device_name;  // DeviceName; empty: no value
    std::optional<uint32_t> reboot;       // Reboot; empty: no value
    int answer;                           // to the success box
    std::optional<uint32_t> awrcwr;       // the UART driver's values before the run
    std::optional<uint32_t> clk;
    bool first_open_fails;  // the first open of COM1: fails, the second succeeds
};

void PrintTo(const SuccessCase& c, std::ostream* out) {
    *out << c.name;
}

class SuccessTest : public UpdateRun, public ::testing::WithParamInterface<SuccessCase> {
  protected:
    void SetUpCase(const SuccessCase& c) {
        if (c.device_name)
            store_.PutDword(kSettingsKeyPath, L"DeviceName", *c.device_name);
        if (c.reboot)
            store_.PutDword(kSettingsKeyPath, L"Reboot", *c.reboot);
        if (c.awrcwr)
            store_.PutDword(kUartKeyPath, L"AWRCWR", *c.awrcwr);
        if (c.clk)
            store_.PutDword(kUartKeyPath, L"CLK", *c.clk);
        ui_.QueueAnswer(c.answer);
        if (c.first_open_fails) {
            com1_->FailOpen(host::kErrorFileNotFound);
            serial_.SetOpenHook([this](const std::wstring& name) {
                if (name.starts_with(L"COM1"))
                    com1_->FailOpen(0);
            });
        }
    }

    // The registry values of the preparation, up to the first serial open.
    std::vector<std::string> PreparationValues() {
        std::vector<std::string> values;
        for (const std::string& entry : journal_.Entries()) {
            if (entry.starts_with("open "))
                break;
            if (entry.find("DeviceName") == std::string::npos)
                values.push_back(entry);
        }
        return values;
    }

    std::wstring TemplateText(int id) {
        for (const host::ControlTemplate& control : dlg_->Template().controls) {
            if (control.id == id)
                return control.text;
        }
        return L"";
    }
};

TEST_P(SuccessTest, RunsToTheSuccessBoxOrTheRestart) {
    const SuccessCase& c = GetParam();
    SetUpCase(c);
    const auto wall_start = std::chrono::steady_clock::now();
    Run();
    const double wall_s =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - wall_start).count();
    std::printf(
        "[ figures  ] whole run, wire time off: %.3f s of virtual time, %.3f s of wall "
        "time\n",
        clock_.now_us() / 1e6, wall_s);

    ExpectDownloadCompleted();
    // Progress 0, the UART driver's AWRCWR read, CLK 1 and AWRCWR 0, all before any port.
    EXPECT_EQ(PreparationValues(), (std::vector<std::string>{"set Progress=0", "get AWRCWR",
                                                             "set CLK=1", "set AWRCWR=0"}));
    EXPECT_EQ(log_.Count("\nget Default AWRCWR value=" + std::to_string(c.awrcwr.value_or(0))), 1);
    // The first open (closed again at once, or failed) and the one that stays.
    EXPECT_EQ(JournalCount("open COM1:"), 2);
    EXPECT_EQ(log_.Count("Open COM1 failed\r\n"), 0);

    // The device variant's texts.
    const bool rom = c.device_name == kDeviceNameRom;
    const host::DialogState state = ui_.State();
    EXPECT_EQ(state.title, rom ? L"ROM Updater" : L"GSM Updater");
    EXPECT_EQ(state.Find(res::kIdcWarning)->text,
              rom ? L"Upgrading in progress, please do not remove USB cable."
                  : TemplateText(res::kIdcWarning));

    // The radio stack is off the modem: the phone radio switched off, both commands sent,
    // every radio driver unloaded and nothing else.
    EXPECT_EQ(log_.Count("Turn GSM OFF\r\n"), 1);
    EXPECT_FALSE(radio_.RadioOn(phone_radio_));
    EXPECT_EQ(at_commands_, "AT*USER1OFF\rAT+CFUN=0\r");
    EXPECT_EQ(ActiveSubkeys(), std::vector<std::wstring>{L"09"});
    for (const char* name :
         {"RIL1:", "VEI1:", "VEI2:", "VEI3:", "VEI4:", "VEI5:", "MUX1:", "SPI2:"})
        EXPECT_EQ(log_.Count(std::string("Deactive ") + name + "\r\n"), 1) << name;

    // The end: the question and, answered OK, the restart; or the plain box 2000 ms after the
    // bar was filled.
    const std::vector<host::ScriptedUi::Box> boxes = ui_.Boxes();
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].caption, L"Success!!");
    EXPECT_EQ(boxes[0].style, host::kMbOk);
    const int64_t filled_us = TextTimeUs(res::kIdcStatus, L"Processing...  ");
    const bool question = c.reboot == 1u;
    EXPECT_EQ(boxes[0].text, question ? L"GSM upgrade Success.\nPlease press OK to reboot ME"
                                      : L"GSM upgrade Success!");
    EXPECT_EQ(boxes[0].time_us - filled_us, question ? 0 : 2'000'000);
    const std::vector<host::RecordingPower::SystemState> resets = power_.SystemStates();
    if (question && c.answer == host::kIdOk) {
        ASSERT_EQ(resets.size(), 1u);
        EXPECT_EQ(resets[0].state, host::kPowerStateReset);
        EXPECT_EQ(resets[0].options, host::kPowerForce);
    } else {
        EXPECT_TRUE(resets.empty());
    }
}

INSTANTIATE_TEST_SUITE_P(
    Whole, SuccessTest,
    ::testing::Values(
        SuccessCase{"RomVariantPlainBox", kDeviceNameRom, std::nullopt, host::kIdOk, 5, 0, false},
        SuccessCase{"RebootConfirmed", std::nullopt, 1, host::kIdOk, std::nullopt, std::nullopt,
                    false},
        SuccessCase{"RebootDeclined", 3616, 1, host::kIdCancel, 1, 1, false},
        SuccessCase{"RomVariantRebootZero", kDeviceNameRom, 0, host::kIdOk, 0, 7, false},
        SuccessCase{"FirstOpenOfCom1Fails", std::nullopt, std::nullopt, host::kIdOk, 3, 1, true}),
    [](const ::testing::TestParamInfo<SuccessCase>& info) { return info.param.name; });

// ---- failure exits ----

struct FailureCase {
    const char* name;
    bool com1_missing;
    const char* faults;     // the modem model's
    const char* exit_line;  // the exit's own log line, if it has one
    bool download_path;     // the board was switched to the download path
    int resets;             // modem resets
    std::vector<int> attempts;
    bool watchdog = false;  // given up by the reset watchdog
};

void PrintTo(const FailureCase& c, std::ostream* out) {
    *out << c.name;
}

class FailureTest : public UpdateRun, public ::testing::WithParamInterface<FailureCase> {
  protected:
    // Progress entries of the journal from the first -1 on.
    std::vector<std::string> ProgressFromFailure() {
        std::vector<std::string> writes;
        for (const std::string& entry : journal_.Entries()) {
            if (entry == "set Progress=4294967295" || !writes.empty()) {
                if (entry.starts_with("set Progress="))
                    writes.push_back(entry);
            }
        }
        return writes;
    }
};

TEST_P(FailureTest, RestoresTheBoardAndClosesWithProgressMinusOne) {
    const FailureCase& c = GetParam();
    if (c.com1_missing)
        com1_->Unplug();
    Run(c.faults);

    ExpectClosedAndRestored();
    EXPECT_EQ(UpdateOutcome(), kExitFailure);
    EXPECT_EQ(Settings(L"Progress"), kProgressFailed);
    // Nothing writes Progress again once the failure is published.
    EXPECT_EQ(ProgressFromFailure(), std::vector<std::string>{"set Progress=4294967295"});
    EXPECT_EQ(JournalCount("set AWRCWR=1"), 1);
    EXPECT_TRUE(ui_.Boxes().empty());
    EXPECT_TRUE(power_.SystemStates().empty());
    EXPECT_EQ(log_.Count("  Modem Download_Success  !!!!!!!    \r\n"), 0);
    if (c.exit_line != nullptr) {
        EXPECT_EQ(log_.Count(c.exit_line), 1);
    }
    EXPECT_EQ(log_.Attempts(), c.attempts);

    // The board: the download path prepared and the modem powered, or nothing but the
    // restore's mode 001.
    const std::vector<uint32_t> none;
    EXPECT_EQ(Writes(host::reg::kUart0Mcr), c.download_path ? std::vector<uint32_t>{0} : none);
    EXPECT_EQ(Writes(host::reg::kCpldAux), c.download_path ? std::vector<uint32_t>{2} : none);
    if (!c.download_path) {
        EXPECT_EQ(Writes(host::reg::kCpldMode), std::vector<uint32_t>{1});
    }
    EXPECT_EQ(RisingEdges(host::reg::kGpioADat, sim::kResetLineBit), c.resets);
    EXPECT_EQ(RisingEdges(host::reg::kGpioBDat, sim::kPowerKeyBit),
              c.download_path ? 1 + c.resets : 0);
    EXPECT_EQ(log_.Count("ReadThread \r\n"), c.download_path ? 1 : 0);
    EXPECT_EQ(log_.Count("ResetThread ::Reset\r\n"), c.resets);

    // The watchdog gives a silent modem up at the eighth reset of its one pass, about a
    // minute after the pass began: 81 polls of 100 ms per reset, then the last reset's pulses.
    if (c.watchdog) {
        EXPECT_EQ(log_.Count("Start Reading:\r\n"), 1);
        const int64_t pass_us = FirstTimeUs("Start Reading:\r\n");
        const int64_t given_up_us = FirstTimeUs(c.exit_line);
        EXPECT_GE(given_up_us - pass_us, 60'000'000);
        EXPECT_LE(given_up_us - pass_us, 70'000'000);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Whole, FailureTest,
    ::testing::Values(
        FailureCase{"Com1Missing", true, "", "Open COM1 failed\r\n", false, 0, {}},
        FailureCase{"SilentModem", false, "never-boot", "Reset times >  N \r\n", true, 8, {}, true},
        FailureCase{"SixWrongAttempts",
                    false,
                    "wrong-answer=66:always",
                    nullptr,
                    true,
                    0,
                    {2, 3, 4, 5, 6}}),
    [](const ::testing::TestParamInfo<FailureCase>& info) { return info.param.name; });

}  // namespace
}  // namespace update_test
