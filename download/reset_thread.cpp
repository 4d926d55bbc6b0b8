// ResetThread: one modem reset for the handshake's watchdog, and the give-up after the eighth
// reset of a pass.
#include <atomic>
#include <string>

#include "app/teardown.h"
#include "app/updater_dlg.h"
#include "device/board.h"
#include "download/download.h"
#include "host/clock.h"
#include "host/platform.h"

namespace {

constexpr int32_t kResetsPerPass = 8;  // the eighth run of a pass gives up

// Set while a run owns the modem's reset and power-key lines.  Two pulse sequences interleaved
// on the same GPIO lines leave the modem in no defined state.  The watchdog starts no run
// while another is pending or running (m_bResetRunning); runs started otherwise take turns
// here: one that finds the lines taken waits for them, through the clock so that the owner's
// pulses (its sleeps) go on meanwhile.
std::atomic<bool> g_bResetRunning{false};

class ResetTurn {
  public:
    ResetTurn() {
        host::CurrentClock().wait_until_us(host::kForever,
                                           [] { return !g_bResetRunning.exchange(true); });
    }
    ~ResetTurn() {
        host::CurrentClock().update([] { g_bResetRunning = false; });
    }
    ResetTurn(const ResetTurn&) = delete;
    ResetTurn& operator=(const ResetTurn&) = delete;
};

// Clears m_bResetRunning when the run ends, however it ends, so that the watchdog may start
// the next one.
class ResetRunEnd {
  public:
    explicit ResetRunEnd(CUpdaterDlg* pDlg) : m_pDlg(pDlg) {}
    ~ResetRunEnd() { m_pDlg->m_bResetRunning = false; }
    ResetRunEnd(const ResetRunEnd&) = delete;
    ResetRunEnd& operator=(const ResetRunEnd&) = delete;

  private:
    CUpdaterDlg* m_pDlg;
};

// The give-up's outcome note.
std::string NoBootAnswer(const CUpdaterDlg* pDlg) {
    return std::string("the modem never answered the boot handshake of the ") +
           (pDlg->m_bFsPhase ? "FS" : "SW") + " image (" + std::to_string(kResetsPerPass) +
           " resets)";
}

}  // namespace

uint32_t ResetThread(void* pParam) {
    auto* pDlg = static_cast<CUpdaterDlg*>(pParam);
    ResetRunEnd end(pDlg);
    // Held through the give-up as well: a run waiting behind it must not pulse while the
    // board is being restored.
    ResetTurn turn;
    // A run whose turn comes after the update has ended leaves the board alone: the end has
    // put it back to normal mode, and a reset would switch it to the download path again.
    if (!pDlg->m_bDownloadEnabled)
        return 0;
    ++pDlg->m_nResetCount;
    if (!ResetGsmModule()) {
        if (pDlg->m_bDownloadEnabled)
            TakeFailureExit(pDlg, FailureExit::kBoardAccess,
                            "the modem could not be reset: a board register could not be read "
                            "or written");
        return 0;
    }
    // Read again after the pulses: a pass that began meanwhile counts from 0.  An update that
    // another exit ended meanwhile has been reported already.
    if (pDlg->m_nResetCount < kResetsPerPass || !pDlg->m_bDownloadEnabled)
        return 0;
    TakeFailureExit(pDlg, FailureExit::kEighthReset, NoBootAnswer(pDlg));
    return 0;
}
