// The framework under the dialog: the modal loop and its commands, the bar's messages, the
// wait for the workers, the process's end hooks, and line mode's output.
#include <algorithm>
#include <cstdio>
#include <sstream>

#include "host/framework.h"
#include "host/posix/line_ui.h"
#include "host/thread.h"
#include "tests/dialog/dialog_fixture.h"

namespace dialog_test {
namespace {

using host::ControlKind;

constexpr host::ControlTemplate kControls[] = {
    {10, ControlKind::kButton, L"Go", true, true, {0, 0, 40, 12}, 0},
    {11, ControlKind::kButton, L"Disabled", true, false, {0, 20, 40, 12}, 0},
    {12, ControlKind::kButton, L"Hidden", false, true, {0, 40, 40, 12}, 0},
    {20, ControlKind::kStatic, L"Two\nlines", true, true, {50, 0, 40, 16}, 0},
    {30, ControlKind::kProgressBar, L"", true, true, {0, 60, 90, 8}, 0},
};
constexpr host::DialogTemplate kTemplate = {7, 100, 80, L"System", 8, 0, 0, L"Test", kControls};

// A dialog that records its handlers and runs a start-up action from OnInitDialog.
class TestDlg : public host::CDialog {
  public:
    TestDlg() : host::CDialog(kTemplate) {}
    bool OnInitDialog() override {
        host::CDialog::OnInitDialog();
        if (on_init)
            on_init(*this);
        return true;
    }
    void OnOK() override {
        handled.push_back(1);
        host::CDialog::OnOK();
    }
    // Interrupts are recorded as 100 + their number; kHangUp ends the dialog as the base does.
    void OnInterrupt(host::Interrupt interrupt) override {
        handled.push_back(100 + static_cast<int>(interrupt));
        if (interrupt == host::Interrupt::kHangUp)
            host::CDialog::OnInterrupt(interrupt);
    }
    void On10() { handled.push_back(10); }
    void On11() { handled.push_back(11); }
    void On12() { handled.push_back(12); }
    void On40() { handled.push_back(40); }

    std::function<void(TestDlg&)> on_init;
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

// Interrupts go in order with the commands; one that came while no dialog ran goes first,
// before OnInitDialog; one that comes after the loop has ended is dropped, also for the next
// dialog.  The base handler ends the dialog like the cancel command.
TEST_F(FrameworkTest, InterruptsReachTheModalDialogInOrder) {
    using host::Interrupt;
    host::PostInterrupt(Interrupt::kTerminate);
    TestDlg dlg;
    dlg.on_init = [this](TestDlg& d) {
        d.handled.push_back(0);
        ui_.Post(10);
        ui_.SendInterrupt(Interrupt::kInterrupt);
        ui_.Post(40);
        ui_.SendInterrupt(Interrupt::kHangUp);
        ui_.Post(10);
        host::StartThread(
            [](void* param) -> uint32_t {
                auto* dialog = static_cast<TestDlg*>(param);
                host::CurrentClock().wait_until_us(host::kForever,
                                                   [dialog] { return dialog->IsClosed(); });
                host::Sleep(10);  // the loop has ended; the dialog waits for this thread
                host::PostInterrupt(Interrupt::kTerminate);
                return 0;
            },
            &d);
    };
    bool workers_ended = false;
    EXPECT_EQ(dlg.DoModalAndWait(1000, &workers_ended), host::kIdCancel);
    EXPECT_TRUE(workers_ended);
    EXPECT_EQ(dlg.handled, (std::vector<int>{101, 0, 10, 100, 40, 102}));

    TestDlg next;
    ui_.PostOnOpen(host::kIdOk);
    EXPECT_EQ(next.DoModal(), host::kIdOk);
    EXPECT_EQ(next.handled, std::vector<int>{1});
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

// Threads that still hold the dialog after its end are waited for; one that outstays the
// grace period makes the wait give up instead of letting the dialog be destroyed under it.
TEST_F(FrameworkTest, WaitForWorkersHonoursTheGracePeriod) {
    for (uint32_t linger_ms : {3000u, 10000u}) {
        TestDlg dlg;
        static uint32_t s_linger_ms;
        s_linger_ms = linger_ms;
        dlg.on_init = [](TestDlg& d) {
            d.EndDialog(host::kIdOk);
            host::StartThread(
                [](void*) -> uint32_t {
                    host::Sleep(s_linger_ms);
                    return 0;
                },
                &d);
        };
        const int64_t start_ms = clock_.now_ms();
        bool all_ended = false;
        const int result = dlg.DoModalAndWait(5000, &all_ended);
        const int64_t waited_ms = clock_.now_ms() - start_ms;
        EXPECT_EQ(result, host::kIdOk);
        EXPECT_EQ(all_ended, linger_ms < 5000);
        // Seen at the first poll after the worker's end.  (Past a give-up the worker alone
        // moves time, so only the answer tells.)
        if (all_ended) {
            EXPECT_GE(waited_ms, linger_ms);
            EXPECT_LE(waited_ms, linger_ms + 10);
        }
        clock_.WaitForThreadsToEnd();
    }
}

}  // namespace
}  // namespace dialog_test
