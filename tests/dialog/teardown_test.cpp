// The restore, the three failure exits and the completion, with the board, the registry and
// the power manager they leave behind.
#include <functional>

#include "app/teardown.h"
#include "download/progress.h"
#include "host/thread.h"
#include "res/dialog_template.h"
#include "tests/dialog/dialog_fixture.h"

namespace dialog_test {
namespace {

using Lines = std::vector<std::string>;

const Lines kRestoreLines = {"\nAWRCWR=1\r\n", "Switch CPLD Mode  001  == > normal mode\r\n",
                             "Close Serial connection\r\n"};

class TeardownTest : public DialogFixture {
  protected:
    // A dialog in the middle of a download, as the preparation and the replay leave it.
    void Running(CUpdaterDlg& dlg) {
        dlg.ClaimUpdateStart();
        dlg.m_nState = 1;
        dlg.m_bNeedRestore = true;
        dlg.m_bDownloadEnabled = true;
        dlg.m_dwImageSize = 5000;
        dlg.m_nImagePos = 1200;
        dlg.m_settings.SetDWORD(L"Progress", 40);
        g_uartSettings->SetDWORD(L"AWRCWR", 0);
        g_uartSettings->SetDWORD(L"CLK", 1);
        HoldBacklight(dlg);
        log_.Clear();
    }

    static uint32_t Restore(void* param) {
        CloseSerialConnection(static_cast<CUpdaterDlg*>(param));
        return 0;
    }
};

TEST_F(TeardownTest, RestoreRunsOncePerArming) {
    Running(dlg_);
    CloseSerialConnection(&dlg_);
    CloseSerialConnection(&dlg_);
    EXPECT_EQ(Logs(), kRestoreLines);
    EXPECT_EQ(CpldModes(), (std::vector<uint32_t>{1}));
    EXPECT_EQ(Uart(L"AWRCWR"), 1u);
    EXPECT_TRUE(dlg_.m_bStopWait);
    EXPECT_FALSE(dlg_.m_bNeedRestore);
    EXPECT_EQ(clock_.now_ms(), 1100);  // 100 ms after the switch, 1000 in the port's close

    // Two threads at the same moment (a reset give-up during a failing replay).
    dlg_.m_bNeedRestore = true;
    log_.Clear();
    {
        host::ScopedClockThread self(clock_);
        host::StartThread(Restore, &dlg_);
        host::StartThread(Restore, &dlg_);
        clock_.wait_for_threads_to_end_us();
    }
    EXPECT_EQ(Logs(), kRestoreLines);
    EXPECT_EQ(CpldModes(), (std::vector<uint32_t>{1, 1}));
}

// The guard stays shut while a give-up restores the board: an OK pressed meanwhile must not
// end the process with the modem path half restored.
TEST_F(TeardownTest, CloseDuringTheGiveUpsRestoreIsRefused) {
    Running(dlg_);
    bool closed_during_restore = true;
    {
        host::ScopedClockThread self(clock_);
        host::StartThread(
            [](void* param) -> uint32_t {
                TakeFailureExit(static_cast<CUpdaterDlg*>(param), FailureExit::kEighthReset);
                return 0;
            },
            &dlg_);
        clock_.sleep_ms(500);  // inside the port's close
        dlg_.OnOK();
        closed_during_restore = dlg_.IsClosed();
        clock_.wait_for_threads_to_end_us();
    }
    EXPECT_FALSE(closed_during_restore);
    EXPECT_EQ(LogCount("Can't close the Dlg\r\n"), 1);
    EXPECT_TRUE(dlg_.IsClosed());
}

// The end's writes against a store that refuses them: a busy store is waited out (bounded), a
// failing write retried briefly; what still did not land makes the outcome kExitNotRestored
// with a note saying which setting and why.
TEST_F(TeardownTest, EndWritesThatDoNotLandAreRetriedThenTold) {
    struct Case {
        const char* name;
        bool busy;              // the store's write lock held by another program...
        long fault;             // ...or every write failing with this
        uint32_t clears_after;  // ms after the exit starts that the store is fine again; 0 never
        int outcome;
        const char* note;
        const char* log;  // a line the wait or the give-up leaves
    };
    const Case cases[] = {
        {"busy 3 s", true, host::kRegOk, 2990, kExitFailure, "",
         "\nRegistry busy for 3000 ms before set AWRCWR\r\n"},
        {"busy for good", true, host::kRegOk, 0, kExitNotRestored,
         "the modem update failed, and AWRCWR could not be set back to 1 (the registry stayed "
         "busy) and Progress could not be set to -1 (the registry stayed busy)",
         "\nRegistry busy for 10000 ms: set AWRCWR not done\r\n"},
        {"disk full once", false, host::kRegDiskFull, 150, kExitFailure, "", ""},
        {"disk full for good", false, host::kRegDiskFull, 0, kExitNotRestored,
         "the modem update failed, and AWRCWR could not be set back to 1 (the disk is full) and "
         "Progress could not be set to -1 (the disk is full)",
         "\nProgress=-1 not written: the disk is full (112)\r\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        CUpdaterDlg dlg;
        Running(dlg);
        bus_.ClearAccesses();
        const int64_t start_ms = clock_.now_ms();
        if (c.busy)
            registry_.store.SetBusy(true);
        else
            registry_.store.FailWrites(c.fault);
        {
            host::ScopedClockThread self(clock_);
            if (c.clears_after != 0) {
                static uint32_t clears_after;
                clears_after = c.clears_after;
                host::StartThread(
                    [](void* param) -> uint32_t {
                        host::Sleep(clears_after);
                        auto* store = static_cast<host::MemoryRegistry*>(param);
                        store->SetBusy(false);
                        store->FailWrites(host::kRegOk);
                        return 0;
                    },
                    &registry_.store);
            }
            TakeFailureExit(&dlg, FailureExit::kSixthAttempt);
            clock_.wait_for_threads_to_end_us();
        }
        registry_.store.SetBusy(false);
        registry_.store.FailWrites(host::kRegOk);
        const bool landed = c.outcome == kExitFailure;
        EXPECT_EQ(UpdateOutcome(), c.outcome);
        EXPECT_EQ(UpdateOutcomeNote(), c.note);
        EXPECT_EQ(Uart(L"AWRCWR"), landed ? 1u : 0u);
        EXPECT_EQ(Settings(L"Progress"), landed ? kMinusOne : 40u);
        if (*c.log != '\0') {
            EXPECT_EQ(LogCount(c.log), 1);
        }
        // The restore and the close happened all the same, within the waits' bounds.
        EXPECT_EQ(CpldModes(), (std::vector<uint32_t>{1}));
        EXPECT_TRUE(dlg.IsClosed());
        EXPECT_LE(clock_.now_ms() - start_ms, 25000);
    }
}

class CompletionTest : public TeardownTest {
  protected:
    // Runs CompleteUpdate on a worker under the open dialog, as ReadThread does.
    // then runs once the dialog is running, before the completion.
    void Complete(const std::function<void()>& then = {}) {
        Running(dlg_);
        if (then)
            then();
        SetUpProgressRange(&dlg_);
        dlg_.SendItemMessage(res::kIdcProgress, host::kPbmSetPos, 479, 0);
        dlg_.ShowItem(res::kIdcTimeLeft, true);
        result_ = RunModal([](ModalDlg& dlg) {
            host::StartThread(
                [](void* param) -> uint32_t {
                    CompleteUpdate(static_cast<CUpdaterDlg*>(param));
                    return 0;
                },
                &dlg);
        });
    }

    int result_ = 0;
};

TEST_F(CompletionTest, WithoutRebootShowsTheSuccessBoxAfterTwoSeconds) {
    Complete();
    const std::vector<host::ScriptedUi::Box> boxes = ui_.Boxes();
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].text, L"GSM upgrade Success!");
    EXPECT_EQ(boxes[0].caption, L"Success!!");
    EXPECT_EQ(boxes[0].style, host::kMbOk);
    // 500 ms, the restore's 1,100 ms, then 2,000 ms.
    EXPECT_EQ(boxes[0].time_us, 3600000);
    EXPECT_EQ(result_, host::kIdOk);
    EXPECT_EQ(Logs().front(), "  Modem Download_Success  !!!!!!!    \r\n");
    EXPECT_EQ(registry_.Writes(L"AWRCWR"), 3);  // the set-up's 0, then 1 twice
    EXPECT_EQ(registry_.Writes(L"CLK"), 1);     // the set-up's only
    EXPECT_EQ(Uart(L"AWRCWR"), 1u);
    EXPECT_EQ(Settings(L"Progress"), 100u);
    EXPECT_EQ(dlg_.m_nState, 2);
    EXPECT_EQ(dlg_.GetItemText(res::kIdcStatus), L"Processing...  ");
    EXPECT_FALSE(dlg_.IsItemVisible(res::kIdcTimeLeft));
    EXPECT_EQ(dlg_.SendItemMessage(res::kIdcProgress, host::kPbmGetPos, 0, 0), 480);
    EXPECT_TRUE(power_.SystemStates().empty());
    EXPECT_FALSE(power_.Held(L"BKL1:"));
    EXPECT_EQ(UpdateOutcome(), kExitSuccess);
    EXPECT_EQ(UpdateOutcomeNote(), "");
}

TEST_F(CompletionTest, RebootRestartsOnlyWhenTheBoxAnswersOk) {
    registry_.store.PutDword(kSettingsKeyPath, L"Reboot", 1);
    ui_.QueueAnswer(host::kIdOk);
    Complete();
    ASSERT_EQ(ui_.Boxes().size(), 1u);
    EXPECT_EQ(ui_.Boxes()[0].text, L"GSM upgrade Success.\nPlease press OK to reboot ME");
    EXPECT_EQ(ui_.Boxes()[0].time_us, 1600000);  // no 2,000 ms wait first
    ASSERT_EQ(power_.SystemStates().size(), 1u);
    EXPECT_EQ(power_.SystemStates()[0].state, host::kPowerStateReset);
    EXPECT_EQ(power_.SystemStates()[0].options, host::kPowerForce);
    EXPECT_EQ(result_, host::kIdOk);

    // Declined: the dialog closes all the same, without the restart.
    ui_.QueueAnswer(host::kIdCancel);
    Complete();
    EXPECT_EQ(ui_.Boxes().size(), 2u);
    EXPECT_EQ(power_.SystemStates().size(), 1u);
    EXPECT_EQ(result_, host::kIdOk);
    EXPECT_FALSE(power_.Held(L"BKL1:"));
}

}  // namespace
}  // namespace dialog_test
