// Whole updates from the dialog's start to its end: the successful ends (the device variant's
// texts, the success box or the restart), and the three failure exits with the state they
// leave on the board, in the registry and on the screen.
#include <algorithm>
#include <memory>

#include "host/board.h"
#include "host/ui.h"
#include "res/dialog_template.h"
#include "tests/update/update_fixture.h"

namespace update_test {
namespace {

// ---- success ----

struct SuccessCase {
    const char* name;
    sim::BoardValues values;  // DeviceName, Reboot, AWRCWR, CLK before the run
    int answer;               // to the success box
    bool first_open_fails;    // the first open of COM1: fails, the second succeeds
};

void PrintTo(const SuccessCase& c, std::ostream* out) {
    *out << c.name;
}

class SuccessTest : public UpdateTest, public ::testing::WithParamInterface<SuccessCase> {
  protected:
    void SetUpCase(const SuccessCase& c) {
        Provision(c.values);
        ui().QueueAnswer(c.answer);
        if (c.first_open_fails) {
            com1().FailOpen(host::kErrorFileNotFound);
            // The journal sees each open as it is made: the second is let through.
            journal().SetHook([this, opens = std::make_shared<int>(0)](const std::string& entry) {
                if (entry == "open COM1:" && ++*opens == 2)
                    com1().FailOpen(0);
            });
        }
    }

    // The registry values of the preparation, up to the first serial open.
    std::vector<std::string> PreparationValues() {
        std::vector<std::string> values;
        for (const std::string& entry : journal().Entries()) {
            if (entry.starts_with("open "))
                break;
            if (entry.find("DeviceName") == std::string::npos)
                values.push_back(entry);
        }
        return values;
    }

    // Virtual time at which control `id` first got `text`, or -1.
    int64_t TextTimeUs(int id, const std::wstring& text) {
        for (const host::ScriptedUi::TextChange& change : ui().TextsOf(id)) {
            if (change.text == text)
                return change.time_us;
        }
        return -1;
    }

    int64_t BusTimeUs(uint32_t address) {
        for (const host::BusAccess& access : bus().Accesses()) {
            if (access.address == address && access.kind == host::BusAccess::kWrite)
                return access.time_us;
        }
        return -1;
    }

    // The preparation's waits from "Open COM1:": 500 ms before the first open's close (which
    // waits 1000 ms itself, unless the open failed), 500 ms, the reopen, 1000 ms to the modem
    // control and CPLD writes, 1000 ms to mode 110.  ReadThread is started before the power key.
    void ExpectPreparationTimeline(bool first_open_fails) {
        const int64_t open_us = log().TimesUs("Open COM1:\r\n").at(0);
        EXPECT_EQ(BusTimeUs(host::reg::kUart0Mcr) - open_us,
                  first_open_fails ? 1'500'000 : 3'000'000);
        EXPECT_EQ(BusTimeUs(host::reg::kCpldAux), BusTimeUs(host::reg::kUart0Mcr));
        EXPECT_EQ(BusTimeUs(host::reg::kCpldMode) - BusTimeUs(host::reg::kUart0Mcr), 1'000'000);
        const std::vector<std::string> texts = log().Texts();
        const auto at = [&](const char* text) {
            return std::find(texts.begin(), texts.end(), text) - texts.begin();
        };
        EXPECT_LT(at("ReadThread \r\n"), at("Power on GSM Module\r\n"));
    }

    // The remaining-time label: the countdown's " 8m" steps end with ReadThread's first pass
    // (state 1), and the second loop's " 7m59s " follows a second later.
    void ExpectCountdownTimeline() {
        const int64_t reading_us = log().TimesUs("Start Reading:\r\n").at(0);
        int64_t last_8m_us = -1;
        int64_t first_7m_us = -1;
        for (const host::ScriptedUi::TextChange& change : ui().TextsOf(res::kIdcTimeLeft)) {
            if (change.text.starts_with(L" 8m1") || change.text.starts_with(L" 8m0"))
                last_8m_us = change.time_us;
            if (change.text == L" 7m59s " && first_7m_us < 0)
                first_7m_us = change.time_us;
        }
        EXPECT_GT(last_8m_us, 0);
        EXPECT_LT(last_8m_us, reading_us);
        EXPECT_GT(first_7m_us, reading_us);
        EXPECT_LE(first_7m_us, reading_us + 2'000'000);
    }

    std::wstring TemplateText(int id) {
        for (const host::ControlTemplate& control : dialog().Template().controls) {
            if (control.id == id)
                return control.text;
        }
        return L"";
    }
};

TEST_P(SuccessTest, RunsToTheSuccessBoxOrTheRestart) {
    const SuccessCase& c = GetParam();
    SetUpCase(c);
    Run();

    ExpectDownloadCompleted();
    // Progress 0, the UART driver's AWRCWR read, CLK 1 and AWRCWR 0, all before any port.
    EXPECT_EQ(PreparationValues(), (std::vector<std::string>{"set Progress=0", "get AWRCWR",
                                                             "set CLK=1", "set AWRCWR=0"}));
    EXPECT_EQ(
        log().Count("\nget Default AWRCWR value=" + std::to_string(c.values.awrcwr.value_or(0))),
        1);
    // The first open (closed again at once, or failed) and the one that stays.
    EXPECT_EQ(journal().Count("open COM1:"), 2);
    EXPECT_EQ(log().Count("Open COM1 failed\r\n"), 0);
    ExpectPreparationTimeline(c.first_open_fails);
    ExpectCountdownTimeline();

    // The device variant's texts; the template's hidden controls are never shown.
    const bool rom = c.values.device_name == kDeviceNameRom;
    const host::DialogState state = ui().State();
    for (const std::string& line : ui().Lines()) {
        for (const char* hidden :
             {"show 1004", "show 1017", "show 1018", "show 65535", "show 1009"})
            EXPECT_NE(line, hidden);
    }
    EXPECT_EQ(state.title, rom ? L"ROM Updater" : L"GSM Updater");
    EXPECT_EQ(state.Find(res::kIdcWarning)->text,
              rom ? L"Upgrading in progress, please do not remove USB cable."
                  : TemplateText(res::kIdcWarning));

    // The radio stack is off the modem: the phone radio switched off, both commands sent,
    // every radio driver unloaded and nothing else.
    EXPECT_EQ(log().Count("Turn GSM OFF\r\n"), 1);
    EXPECT_FALSE(radio().RadioOn(phone_radio()));
    EXPECT_EQ(at_commands(), "AT*USER1OFF\rAT+CFUN=0\r");
    EXPECT_EQ(ActiveSubkeys(), std::vector<std::wstring>{L"09"});
    for (const char* name :
         {"RIL1:", "VEI1:", "VEI2:", "VEI3:", "VEI4:", "VEI5:", "MUX1:", "SPI2:"})
        EXPECT_EQ(log().Count(std::string("Deactive ") + name + "\r\n"), 1) << name;

    // The end: the question and, answered OK, the restart; or the plain box 2000 ms after the
    // bar was filled.
    const std::vector<host::ScriptedUi::Box> boxes = ui().Boxes();
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].caption, L"Success!!");
    EXPECT_EQ(boxes[0].style, host::kMbOk);
    const int64_t filled_us = TextTimeUs(res::kIdcStatus, L"Processing...  ");
    const bool question = c.values.reboot == 1u;
    EXPECT_EQ(boxes[0].text, question ? L"GSM upgrade Success.\nPlease press OK to reboot ME"
                                      : L"GSM upgrade Success!");
    EXPECT_EQ(boxes[0].time_us - filled_us, question ? 0 : 2'000'000);
    const std::vector<host::RecordingPower::SystemState> resets = power().SystemStates();
    if (question && c.answer == host::kIdOk) {
        ASSERT_EQ(resets.size(), 1u);
        EXPECT_EQ(resets[0].state, host::kPowerStateReset);
        EXPECT_EQ(resets[0].options, host::kPowerForce);
    } else {
        EXPECT_TRUE(resets.empty());
    }
    EXPECT_EQ(UpdateOutcome(), kExitSuccess);
    EXPECT_EQ(UpdateOutcomeNote(), !question ? "the modem was updated"
                                   : c.answer == host::kIdOk
                                       ? "the modem was updated; the device restart was requested"
                                       : "the modem was updated; the device restart was declined");
}

INSTANTIATE_TEST_SUITE_P(
    Whole, SuccessTest,
    ::testing::Values(
        SuccessCase{"RomVariantPlainBox", {kDeviceNameRom, {}, 5, 0}, host::kIdOk, false},
        SuccessCase{"RebootConfirmed", {{}, 1, {}, {}}, host::kIdOk, false},
        SuccessCase{"RebootDeclined", {3616, 1, 1, 1}, host::kIdCancel, false},
        SuccessCase{"RomVariantRebootZero", {kDeviceNameRom, 0, 0, 7}, host::kIdOk, false},
        SuccessCase{"FirstOpenOfCom1Fails", {{}, {}, 3, 1}, host::kIdOk, true}),
    [](const ::testing::TestParamInfo<SuccessCase>& test) { return test.param.name; });

// ---- failure exits ----

struct FailureCase {
    const char* name;
    bool com1_missing;
    const char* faults;     // the modem model's
    const char* exit_line;  // the exit's own log line, if it has one
    bool download_path;     // the board was switched to the download path
    int resets;             // modem resets
    std::vector<int> attempts;
    const char* note;                   // the outcome's: why the update failed
    const char* detail_line = nullptr;  // the line right after the exit's own, if any
};

void PrintTo(const FailureCase& c, std::ostream* out) {
    *out << c.name;
}

const std::vector<int> kNoAttempts, kSixAttempts = {2, 3, 4, 5, 6};

class FailureTest : public UpdateTest, public ::testing::WithParamInterface<FailureCase> {
  protected:
};

TEST_P(FailureTest, RestoresTheBoardAndClosesWithProgressMinusOne) {
    const FailureCase& c = GetParam();
    if (c.com1_missing)
        com1().Unplug();
    Run(c.faults);

    ExpectClosedAndRestored();
    EXPECT_EQ(UpdateOutcome(), kExitFailure);
    EXPECT_EQ(Settings(L"Progress"), kProgressFailed);
    // Nothing writes Progress again once the failure is published.
    EXPECT_EQ(ProgressFromFailure(), std::vector<std::string>{"set Progress=4294967295"});
    EXPECT_EQ(journal().Count("set AWRCWR=1"), 1);
    const std::vector<std::string> entries = journal().Entries();
    EXPECT_LT(std::find(entries.begin(), entries.end(), "set AWRCWR=1"),
              std::find(entries.begin(), entries.end(), "set Progress=4294967295"))
        << "-1 published before the restore";
    EXPECT_TRUE(ui().Boxes().empty());
    EXPECT_TRUE(power().SystemStates().empty());
    EXPECT_EQ(log().Count("  Modem Download_Success  !!!!!!!    \r\n"), 0);
    EXPECT_EQ(UpdateOutcomeNote(), c.note);
    if (c.exit_line != nullptr) {
        EXPECT_EQ(log().Count(c.exit_line), 1);
    }
    if (c.detail_line != nullptr) {
        EXPECT_EQ(log().Before(c.detail_line), std::vector<std::string>{c.exit_line});
    }
    EXPECT_EQ(log().Attempts(), c.attempts);

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
    EXPECT_EQ(log().Count("ReadThread \r\n"), c.download_path ? 1 : 0);
    EXPECT_EQ(log().Count("ResetThread ::Reset\r\n"), c.resets);
}

INSTANTIATE_TEST_SUITE_P(
    Whole, FailureTest,
    ::testing::Values(
        FailureCase{"Com1Missing", true, "", "Open COM1 failed\r\n", false, 0, kNoAttempts,
                    "COM1: could not be opened: sim:COM1: not connected",
                    "COM1: sim:COM1: not connected\r\n"},
        FailureCase{"SilentModem", false, "never-boot", "Reset times >  N \r\n", true, 8,
                    kNoAttempts,
                    "the modem never answered the boot handshake of the SW image (8 resets)"},
        FailureCase{"SixWrongAttempts", false, "wrong-answer=66:always", nullptr, true, 0,
                    kSixAttempts, "wrong answer at record 66 of the SW image in the 6th attempt"},
        FailureCase{"SixSilentAnswersInFs", false, "no-answer=700:always@fs", nullptr, true, 0,
                    kSixAttempts, "no answer at record 700 of the FS image in the 6th attempt"},
        FailureCase{"SixShortWrites", false, "partial-write=101:always@sw", nullptr, true, 0,
                    kSixAttempts,
                    "short write at record 101 of the SW image (2 of 4 bytes taken) in the 6th "
                    "attempt"}),
    [](const ::testing::TestParamInfo<FailureCase>& test) { return test.param.name; });

}  // namespace
}  // namespace update_test
