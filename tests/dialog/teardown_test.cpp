// The restore, the three failure exits and the completion, with the board, the registry and
// the power manager they leave behind.
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

// The end's writes against a store that refuses them for a while: a busy store is waited
// out, a failing write retried briefly, and the failure exit ends as usual.  (Writes that never
// land are held by the whole-update store faults.)
TEST_F(TeardownTest, EndWritesAreWaitedOutOrRetried) {
    for (const bool busy : {true, false}) {
        SCOPED_TRACE(busy ? "busy 3 s" : "disk full once");
        CUpdaterDlg dlg;
        Running(dlg);
        bus_.ClearAccesses();
        const int64_t start_ms = clock_.now_ms();
        static uint32_t clears_after;
        clears_after = busy ? 2990 : 150;  // ms after the exit starts
        if (busy)
            registry_.store.SetBusy(true);
        else
            registry_.store.FailWrites(host::kRegDiskFull);
        {
            host::ScopedClockThread self(clock_);
            host::StartThread(
                [](void* param) -> uint32_t {
                    host::Sleep(clears_after);
                    auto* store = static_cast<host::MemoryRegistry*>(param);
                    store->SetBusy(false);
                    store->FailWrites(host::kRegOk);
                    return 0;
                },
                &registry_.store);
            TakeFailureExit(&dlg, FailureExit::kSixthAttempt, "wrong answer at record 7");
            clock_.wait_for_threads_to_end_us();
        }
        EXPECT_EQ(UpdateOutcome(), kExitFailure);
        EXPECT_EQ(UpdateOutcomeNote(), "wrong answer at record 7");
        EXPECT_EQ(Uart(L"AWRCWR"), 1u);
        EXPECT_EQ(Settings(L"Progress"), kMinusOne);
        EXPECT_EQ(LogCount("\nRegistry busy for 3000 ms before set AWRCWR\r\n"), busy ? 1 : 0);
        EXPECT_EQ(CpldModes(), (std::vector<uint32_t>{1}));
        EXPECT_TRUE(dlg.IsClosed());
        EXPECT_LE(clock_.now_ms() - start_ms, 25000);
    }
}

}  // namespace
}  // namespace dialog_test
