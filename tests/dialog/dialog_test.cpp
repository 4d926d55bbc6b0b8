// The update dialog: the close guard and the Cancel button in every state, the framework's
// cancel command, the warning's colours, the claim of the update's start.
#include "device/board.h"
#include "host/thread.h"
#include "res/dialog_template.h"
#include "tests/dialog/dialog_fixture.h"

namespace dialog_test {
namespace {

struct Pressed {
    bool closed;
    int refusals;   // "Can't close the Dlg\r\n" lines
    bool released;  // the backlight requirement
    bool dvs_bit;   // bit 0 of the DVS control word afterwards

    bool operator==(const Pressed&) const = default;
};

std::ostream& operator<<(std::ostream& out, const Pressed& p) {
    return out << "{closed " << p.closed << ", refusals " << p.refusals << ", released "
               << p.released << ", dvs " << p.dvs_bit << "}";
}

class DialogTest : public DialogFixture {
  protected:
    // A fresh dialog in the given state, with the backlight held and power saving off, and
    // one press of a close route.
    Pressed Press(int32_t state, bool allow, void (*press)(CUpdaterDlg&)) {
        CUpdaterDlg dlg;
        dlg.m_nState = state;
        dlg.m_bAllowClose = allow;
        if (state != -1)
            dlg.ClaimUpdateStart();  // as PrepareThread does before state 0
        HoldBacklight(dlg);
        bus_.Set(host::reg::kDvsControl, 0xFFFFFFFF);
        log_.Clear();
        press(dlg);
        return {dlg.IsClosed(), LogCount("Can't close the Dlg\r\n"), Released(dlg.m_hBacklightReq),
                (bus_.Get(host::reg::kDvsControl) & 1) != 0};
    }

    bool Released(host::PowerRequest handle) {
        for (const auto& requirement : power_.Requirements()) {
            if (requirement.handle == handle)
                return requirement.released_us.has_value();
        }
        return false;
    }
};

constexpr Pressed kCloses{true, 0, false, true};
constexpr Pressed kReleases{true, 0, true, false};
constexpr Pressed kRefusesLogged{false, 1, false, true};
constexpr Pressed kRefusesSilently{false, 0, false, true};

TEST_F(DialogTest, CloseGuardAndEscapeInEveryState) {
    struct Case {
        int32_t state;
        bool allow;
        Pressed expected;
    };
    const Case cases[] = {
        {-1, false, kCloses},         {0, false, kRefusesLogged}, {1, false, kRefusesLogged},
        {2, false, kRefusesSilently}, {-1, true, kReleases},      {0, true, kReleases},
        {1, true, kReleases},         {2, true, kReleases},
    };
    void (*const routes[])(CUpdaterDlg&) = {
        [](CUpdaterDlg& dlg) { dlg.OnOK(); },            // the caption's OK button
        [](CUpdaterDlg& dlg) { dlg.OnCancel(); },        // Escape, the close box
        [](CUpdaterDlg& dlg) { dlg.OnCloseClicked(); },  // command 1006
    };
    for (auto route : routes) {
        for (const Case& c : cases)
            EXPECT_EQ(Press(c.state, c.allow, route), c.expected) << c.state << " " << c.allow;
    }
}

TEST_F(DialogTest, CancelButtonEndsOnlyBeforeTheStart) {
    auto click = [](CUpdaterDlg& dlg) { dlg.OnCancelClicked(); };
    EXPECT_EQ(Press(-1, false, click), kCloses);
    for (int32_t state : {0, 1, 2}) {
        for (bool allow : {false, true})
            EXPECT_EQ(Press(state, allow, click), kRefusesSilently) << state << " " << allow;
    }
}

// A worker's close request and a key press at the same moment release the backlight once.
TEST_F(DialogTest, TwoClosesAtOnceReleaseOnce) {
    HoldBacklight(dlg_);
    dlg_.m_nState = 1;
    dlg_.m_bAllowClose = true;
    auto press = [](void* param) -> uint32_t {
        static_cast<CUpdaterDlg*>(param)->OnOK();
        return 0;
    };
    {
        host::ScopedClockThread self(clock_);
        host::StartThread(press, &dlg_);
        host::StartThread(press, &dlg_);
        clock_.wait_for_threads_to_end_us();
    }
    EXPECT_TRUE(dlg_.IsClosed());
    EXPECT_EQ(power_.ReleasedCount(), 1);
    EXPECT_EQ(power_.BadReleaseCount(), 0);
    EXPECT_EQ(LogCount("\nTurn on DVS(Power saving)"), 1);
}

// Closing before the start claims it: a preparation that comes later starts nothing, and a
// close that comes after the preparation's claim is refused like one in state 0.
TEST_F(DialogTest, CloseBeforeTheStartAndTheStartExcludeEachOther) {
    dlg_.OnOK();
    EXPECT_TRUE(dlg_.IsClosed());
    EXPECT_EQ(UpdateOutcome(), kExitClosedEarly);
    EXPECT_FALSE(dlg_.ClaimUpdateStart());

    CUpdaterDlg started;
    EXPECT_TRUE(started.ClaimUpdateStart());
    started.OnOK();
    EXPECT_FALSE(started.IsClosed());
    EXPECT_EQ(LogCount("Can't close the Dlg\r\n"), 1);
}

// Escape and the close box are refused while the update runs, each press logged like one of
// the caption's OK button; the worker's close request then ends the loop.
TEST_F(DialogTest, CancelCommandRefusedWhileTheUpdateRuns) {
    ui_.PostOnOpen(host::kIdCancel);
    ui_.PostOnOpen(host::kIdOk);
    ui_.PostOnOpen(host::kIdCancel);
    const int result = RunModal([this](ModalDlg& dlg) {
        dlg.ClaimUpdateStart();
        dlg.m_nState = 1;
        HoldBacklight(dlg);
        host::StartThread(
            [](void* param) -> uint32_t {
                host::Sleep(1000);
                auto* pDlg = static_cast<CUpdaterDlg*>(param);
                pDlg->m_bAllowClose = true;
                pDlg->OnOK();
                return 0;
            },
            &dlg);
    });
    EXPECT_EQ(result, host::kIdOk);
    EXPECT_EQ(LogCount("Can't close the Dlg\r\n"), 3);
    EXPECT_EQ(ui_.Events().back().text, "close");
    EXPECT_EQ(ui_.Events().back().time_us, 1000000);
    EXPECT_FALSE(power_.Held(L"BKL1:"));
}

TEST_F(DialogTest, WarningIsRedAndBoldOnlyForTheRomVariant) {
    host::ControlColors plain, rom, status;
    RunModal(
        [&](ModalDlg& dlg) {
            plain = ui_.Colors(res::kIdcWarning);
            status = ui_.Colors(res::kIdcStatus);
            dlg.m_dwDeviceName = kDeviceNameRom;
            rom = ui_.Colors(res::kIdcWarning);
        },
        0);
    EXPECT_TRUE(plain.custom_text_color);
    EXPECT_EQ(plain.text_rgb, 0xFF0000u);
    EXPECT_EQ(plain.font_weight, 0);
    EXPECT_TRUE(plain.transparent);
    EXPECT_EQ(rom.text_rgb, 0xFF0000u);
    EXPECT_EQ(rom.font_weight, 600);
    EXPECT_TRUE(rom.transparent);
    EXPECT_FALSE(status.custom_text_color);
    EXPECT_FALSE(status.transparent);
}

}  // namespace
}  // namespace dialog_test
