// The progress step, the display and range set-ups, and CountdownThread, in virtual time.
#include <cstring>

#include "download/progress.h"
#include "host/thread.h"
#include "res/dialog_template.h"
#include "tests/dialog/dialog_fixture.h"

namespace dialog_test {
namespace {

using Texts = std::vector<std::pair<int64_t, std::wstring>>;

struct Update {
    int32_t count;
    int32_t position;
    uint32_t progress;
    std::wstring label;
};

class ProgressTest : public DialogFixture {
  protected:
    // One pass as the replay drives the step: after each of the five leading records with
    // nSuccessCount 0, then once per confirmed record.  Answers the display updates.
    std::vector<Update> RunPass(int32_t records, bool fs, int32_t last_count,
                                PassDisplay& display) {
        dlg_.m_nRecordCount = records;
        dlg_.m_bFsPhase = fs;
        std::vector<Update> updates;
        for (int32_t record = 1; record <= records; ++record) {
            const int32_t count = record > 5 ? record - 5 : 0;
            if (count > last_count)
                break;
            const int before = LogCount("\n==============REM=");
            StepProgress(&dlg_, display, count);
            if (LogCount("\n==============REM=") != before)
                updates.push_back({count, Position(), Settings(L"Progress"), Label()});
        }
        return updates;
    }

    std::vector<Update> RunPass(int32_t records, bool fs, int32_t last_count = INT32_MAX) {
        PassDisplay display;
        SetUpDisplay(&dlg_, display);
        return RunPass(records, fs, last_count, display);
    }

    int32_t Position() {
        return static_cast<int32_t>(
            dlg_.SendItemMessage(res::kIdcProgress, host::kPbmGetPos, 0, 0));
    }
    std::wstring Label() { return dlg_.GetItemText(res::kIdcTimeLeft); }

    void SetUp() override { SetUpProgressRange(&dlg_); }
};

// One field of every update, in order.
std::vector<int32_t> Column(const std::vector<Update>& updates, int32_t Update::*field) {
    std::vector<int32_t> column;
    for (const Update& update : updates)
        column.push_back(update.*field);
    return column;
}

TEST(ProgressPositionTest, SinglePrecisionStepsGiveTheShippedImagesPositions) {
    // The ends of both shipped images: just below 320 and 480, never reaching them.
    EXPECT_EQ(ProgressPosition(1667, 1672, false), 319);
    EXPECT_EQ(ProgressPosition(885, 890, true), 479);
    EXPECT_EQ(ProgressPosition(995, 1000, false), 318);
    EXPECT_EQ(ProgressPosition(0, 890, true), 320);
    // A count of zero records (nothing loaded) must not divide by zero.
    EXPECT_EQ(ProgressPosition(10, 0, false), 0);
}

TEST_F(ProgressTest, SwImageOf1672RecordsUpdates32Times) {
    const std::vector<Update> updates = RunPass(1672, false);
    EXPECT_EQ(
        Column(updates, &Update::count),
        (std::vector<int32_t>{89,   99,   183,  199,  288,  299,  387,  399,  486,  499,  586,
                              599,  685,  699,  784,  799,  884,  899,  988,  999,  1087, 1099,
                              1187, 1199, 1286, 1299, 1385, 1399, 1484, 1499, 1584, 1599}));
    EXPECT_EQ(updates[0].progress, 3u);
    EXPECT_EQ(updates[0].label, L" 7m43s ");
    EXPECT_EQ(updates[1].label, L" 7m42s ");
    // The last update stays on screen: the pass ends at 319 without showing it.
    EXPECT_EQ(Position(), 306);
    EXPECT_EQ(Settings(L"Progress"), 63u);
    EXPECT_EQ(Label(), L" 2m54s ");
}

TEST_F(ProgressTest, FsImageOf890RecordsStartsAt320AndUpdates17Times) {
    PassDisplay display;
    SetUpDisplay(&dlg_, display);
    RunPass(1672, false, INT32_MAX, display);
    display.nLastShownPos = 0;  // the FS pass's set-up; it has no display set-up
    const int before = LogCount("\n==============REM=");
    std::vector<Update> first = RunPass(890, true, 0, display);
    ASSERT_EQ(first.size(), 1u);
    EXPECT_EQ(LogCount("\n==============REM=") - before, 1);
    EXPECT_EQ(Position(), 320);
    EXPECT_EQ(Settings(L"Progress"), 66u);
    EXPECT_EQ(Label(), L" 2m40s ");

    display.nLastShownPos = 0;
    std::vector<Update> updates = RunPass(890, true, INT32_MAX, display);
    EXPECT_EQ(Column(updates, &Update::count),
              (std::vector<int32_t>{0, 95, 99, 190, 199, 290, 299, 390, 399, 490, 499, 590, 599,
                                    690, 699, 790, 799}));
    EXPECT_EQ(updates[1].position, 337);
    EXPECT_EQ(updates[2].position, 337);  // the modulo rule repeats the same numbers
    EXPECT_EQ(updates[3].position, 354);
    EXPECT_EQ(Position(), 463);
    EXPECT_EQ(Settings(L"Progress"), 96u);
    EXPECT_EQ(Label(), L" 0m17s ");
}

TEST_F(ProgressTest, LabelExtremesAndOnlyFirstFiveCharactersRewritten) {
    PassDisplay display;
    std::memcpy(display.szTimeLeft, L"abcdeYZ", sizeof display.szTimeLeft);
    dlg_.m_nRecordCount = 890;
    dlg_.m_bFsPhase = true;
    StepProgress(&dlg_, display, 885);
    EXPECT_EQ(Position(), 479);
    EXPECT_EQ(Settings(L"Progress"), 99u);
    EXPECT_EQ(Label(), L" 0m01YZ");
    const std::vector<std::string> logs = Logs();
    ASSERT_GE(logs.size(), 6u);
    EXPECT_EQ(std::vector<std::string>(logs.end() - 6, logs.end()),
              (std::vector<std::string>{"\n==============REM=", " ", "0", "m", "0", "1"}));

    display = PassDisplay{};
    SetUpDisplay(&dlg_, display);
    dlg_.m_nRecordCount = 100000;
    dlg_.m_bFsPhase = false;
    StepProgress(&dlg_, display, 99);
    EXPECT_EQ(Position(), 0);
    EXPECT_EQ(Label(), L" 8m00s ");
}

TEST_F(ProgressTest, DisplaySetUpLeavesTheLabelToTheCountdown) {
    dlg_.m_settings.SetDWORD(L"Progress", 40);
    dlg_.SendItemMessage(res::kIdcProgress, host::kPbmSetPos, 200, 0);
    dlg_.m_bCountdown = true;
    PassDisplay display;
    SetUpDisplay(&dlg_, display);
    EXPECT_EQ(Label(), L".....");
    EXPECT_EQ(std::wstring(display.szTimeLeft), L" 8m00s ");
    EXPECT_EQ(Settings(L"Progress"), 0u);
    EXPECT_EQ(clock_.now_us(), 10000);

    dlg_.m_bCountdown = false;
    SetUpDisplay(&dlg_, display);
    EXPECT_EQ(Label(), L" 8m00s ");
    // A retry shows the full time again while the bar stays where the last pass left it,
    // also through the range set-up.
    SetUpProgressRange(&dlg_);
    EXPECT_EQ(Position(), 200);
}

// Another program holds the store's write lock during the first 400 records: the download is
// never held up by it (only the label's own 10 ms per update), and once the store is free
// again the latest value lands at the next step, the values in between never.
TEST_F(ProgressTest, BusyStoreNeverHoldsUpTheStepAndTheLatestValueWins) {
    dlg_.m_settings.SetDWORD(L"Progress", 0);
    dlg_.m_nRecordCount = 1672;
    dlg_.m_bFsPhase = false;
    registry_.store.SetBusy(true);
    PassDisplay display;
    const int writes_before = registry_.Writes(L"Progress");
    int64_t in_steps_us = 0;
    int updates = 0;
    for (int32_t count = 1; count <= 420; ++count) {
        if (count == 401)
            registry_.store.SetBusy(false);
        clock_.sleep_ms(5);
        const int64_t before_us = clock_.now_us();
        const int rem_before = LogCount("\n==============REM=");
        StepProgress(&dlg_, display, count);
        in_steps_us += clock_.now_us() - before_us;
        updates += LogCount("\n==============REM=") - rem_before;
        if (count == 400) {
            EXPECT_EQ(Settings(L"Progress"), 0u) << "written while the store was busy";
            EXPECT_TRUE(display.bProgressPending);
        }
    }
    EXPECT_EQ(updates, 8);  // 89, 99, 183, 199, 288, 299, 387, 399
    EXPECT_EQ(in_steps_us, updates * 10000);
    EXPECT_GT(registry_.store.BusyAnswers(), updates);  // tried again between the updates
    // 399 showed position 76: Progress 15, published once the store was free.
    EXPECT_EQ(Settings(L"Progress"), 15u);
    EXPECT_EQ(registry_.Writes(L"Progress") - writes_before, 1);
    EXPECT_FALSE(display.bProgressPending);
    EXPECT_EQ(LogCount("\nProgress 3 held back: registry busy\r\n"), 1);
}

class CountdownTest : public DialogFixture {
  protected:
    Texts LabelTexts() {
        Texts texts;
        for (const auto& change : ui_.TextsOf(res::kIdcTimeLeft))
            texts.push_back({change.time_us / 1000, change.text});
        return texts;
    }

    // Runs the countdown under the open dialog; at_ms, if set, writes Progress := value then.
    void Run(int64_t at_ms = -1, uint32_t value = 0) {
        write_at_ms_ = at_ms;
        write_value_ = value;
        RunModal([this](ModalDlg&) {
            host::StartThread(TimedCountdown, this);
            if (write_at_ms_ >= 0)
                host::StartThread(WriteProgress, this);
        });
    }

    static uint32_t TimedCountdown(void* param) {
        auto* self = static_cast<CountdownTest*>(param);
        CountdownThread(&self->dlg_);
        self->ended_ms_ = self->clock_.now_ms();
        return 0;
    }

    static uint32_t WriteProgress(void* param) {
        auto* self = static_cast<CountdownTest*>(param);
        host::Sleep(static_cast<uint32_t>(self->write_at_ms_));
        self->dlg_.m_settings.SetDWORD(L"Progress", self->write_value_);
        return 0;
    }

    int64_t write_at_ms_ = -1;
    uint32_t write_value_ = 0;
    int64_t ended_ms_ = -1;  // when CountdownThread returned
};

TEST_F(CountdownTest, RunsBothLoopsWhileNothingElseMoves) {
    Run();
    Texts expected;
    for (int s = 0; s <= 10; ++s)  // " 8m10s " down to " 8m00s ", a second apart
        expected.push_back({1000 + 1000 * s, L" 8m" + std::to_wstring(110 - s).substr(1) + L"s "});
    expected.insert(
        expected.end(),
        {{13000, L" 7m59s "}, {15000, L" 7m56s "}, {17000, L" 7m53s "}, {19000, L" 7m50s "}});
    EXPECT_EQ(LabelTexts(), expected);
    EXPECT_EQ(ended_ms_, 21000);
    EXPECT_FALSE(dlg_.m_bCountdown);
    std::vector<std::string> shown;
    for (const auto& event : ui_.Events()) {
        if (event.text.rfind("show", 0) == 0)
            shown.push_back(std::to_string(event.time_us / 1000) + " " + event.text);
    }
    EXPECT_EQ(shown,
              (std::vector<std::string>{"500 show 1013", "1000 show 1007", "1000 show 1016"}));
}

// What ends the loops early: ReadThread's start (state 1) skips the first; a Progress of -1
// or of 2 % and more ends the second at its next read, 1 % does not.
TEST_F(CountdownTest, StateAndProgressEndTheLoops) {
    struct Case {
        int state;
        int64_t at_ms;
        uint32_t value;
        std::pair<int64_t, std::wstring> last_label;
        int64_t ended_ms;
    };
    const Case cases[] = {{1, -1, 0, {8000, L" 7m50s "}, 10000},
                          {0, 14000, kMinusOne, {13000, L" 7m59s "}, 15000},
                          {0, 0, 1, {19000, L" 7m50s "}, 21000},
                          {0, 16000, 2, {15000, L" 7m56s "}, 17000}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.ended_ms);
        dlg_.m_nState = c.state;
        const int64_t start_ms = clock_.now_ms();
        Run(c.at_ms, c.value);
        ASSERT_FALSE(LabelTexts().empty());
        EXPECT_EQ(LabelTexts().back(), (std::pair<int64_t, std::wstring>{
                                           start_ms + c.last_label.first, c.last_label.second}));
        EXPECT_EQ(ended_ms_ - start_ms, c.ended_ms);
    }
}

// The window is gone: nothing is left to move, and the workers must let go of the dialog.
TEST_F(CountdownTest, ClosedDialogEndsTheCountdown) {
    RunModal([this](ModalDlg&) { host::StartThread(TimedCountdown, this); }, 3500);
    EXPECT_EQ(LabelTexts().back().second, L" 8m08s ");
    EXPECT_EQ(ended_ms_, 5000);
}

}  // namespace
}  // namespace dialog_test
