// The framework under the dialog: the modal loop and its commands, and the process's end hooks.
#include <cstdio>
#include <optional>
#include <stdexcept>

#include "host/framework.h"
#include "tests/dialog/dialog_fixture.h"

namespace dialog_test {
namespace {

using host::ControlKind;

constexpr host::ControlTemplate kControls[] = {
    {10, ControlKind::kButton, L"Go", true, true, {0, 0, 40, 12}, 0},
    {11, ControlKind::kButton, L"Disabled", true, false, {0, 20, 40, 12}, 0},
    {12, ControlKind::kButton, L"Hidden", false, true, {0, 40, 40, 12}, 0},
};
constexpr host::DialogTemplate kTemplate = {7, 100, 80, L"System", 8, 0, 0, L"Test", kControls};

// A dialog that records its handlers.
class TestDlg : public host::CDialog {
  public:
    TestDlg() : host::CDialog(kTemplate) {}
    void OnOK() override {
        handled.push_back(1);
        host::CDialog::OnOK();
    }
    void On10() { handled.push_back(10); }
    void On11() { handled.push_back(11); }
    void On12() { handled.push_back(12); }
    void On40() { handled.push_back(40); }

    std::vector<int> handled;

  protected:
    std::span<const MessageMapEntry> GetMessageMap() const override {
        static const MessageMapEntry kMap[] = {
            {10, static_cast<CommandHandler>(&TestDlg::On10)},
            {11, static_cast<CommandHandler>(&TestDlg::On11)},
            {12, static_cast<CommandHandler>(&TestDlg::On12)},
            {40, static_cast<CommandHandler>(&TestDlg::On40)},
        };
        return kMap;
    }
};

using FrameworkTest = DialogFixture;

TEST_F(FrameworkTest, ModalLoopDispatchesCommandsInOrderAndSkipsUnclickableButtons) {
    TestDlg dlg;
    for (int id : {11, 12, 10, 40, host::kIdOk, 10})
        ui_.PostOnOpen(id);
    EXPECT_EQ(dlg.DoModal(), host::kIdOk);
    // Disabled and hidden buttons cannot be clicked; commands after the end are dropped.
    EXPECT_EQ(dlg.handled, (std::vector<int>{10, 40, 1}));
    EXPECT_TRUE(dlg.IsClosed());
    EXPECT_FALSE(ui_.IsOpen());
}

// However the process ends at once, the end hooks run first, the last added first.
TEST(EndHooksDeathTest, EndProcessNowRunsTheHooksLastAddedFirst) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            host::AddEndHook([] { std::fputs("first\n", stderr); });
            const int removed = host::AddEndHook([] { std::fputs("removed\n", stderr); });
            host::AddEndHook([] { std::fputs("second\n", stderr); });
            host::RemoveEndHook(removed);
            host::EndProcessNow(7);
        },
        ::testing::ExitedWithCode(7), "^second\nfirst\n$");
}

// Records whether the UART settings key was open while InitInstance ran, and may leave by an
// exception.
class KeyWatchingApp final : public CUpdaterApp {
  public:
    explicit KeyWatchingApp(bool fail) : fail_(fail) {}
    bool InitInstance() override {
        key_open_in_init = g_uartSettings.has_value();
        SetExitCode(kExitClosedEarly);
        if (fail_)
            throw std::runtime_error("init failed");
        return false;
    }
    bool key_open_in_init = false;

  private:
    const bool fail_;
};

// The application's run holds the key open around InitInstance and closes it however the run
// is left; a key that an outer scope opened (a test around a run) stays that scope's.
TEST(UpdaterAppTest, RunHoldsTheUartKeyOpenAroundInitInstance) {
    host::VirtualClock clock;
    host::CaptureLog log;
    host::MemoryRegistry registry;
    host::ScopedPlatform platform({.clock = &clock, .log = &log, .registry = &registry});
    for (const bool outer : {false, true}) {
        for (const bool fail : {false, true}) {
            std::optional<ScopedUartSettings> outer_scope;
            if (outer)
                outer_scope.emplace();
            KeyWatchingApp app(fail);
            if (fail)
                EXPECT_THROW(host::AppMain(app), std::runtime_error);
            else
                EXPECT_EQ(host::AppMain(app), kExitClosedEarly);
            EXPECT_TRUE(app.key_open_in_init) << outer << fail;
            EXPECT_EQ(g_uartSettings.has_value(), outer) << outer << fail;
        }
    }
    EXPECT_FALSE(g_uartSettings.has_value());
}

}  // namespace
}  // namespace dialog_test
