// The update dialog: construction, its handlers, the close guard and the warning's colour.
#include "app/updater_dlg.h"

#include <string>

#include "app/exit_codes.h"
#include "app/prepare.h"
#include "app/teardown.h"
#include "device/board.h"
#include "host/check.h"
#include "host/clock.h"
#include "host/debug_log.h"
#include "host/platform.h"
#include "host/thread.h"
#include "res/dialog_template.h"
#include "res/icon.h"

namespace {

constexpr const char* kClosedEarlyNote = "the dialog was closed before the update started";

}  // namespace

CUpdaterDlg::CUpdaterDlg() : host::CDialog(res::UpdaterDialogTemplate()) {
    m_hIcon = res::FindGroupIcon(res::kAppIconId);
}

// Members go in reverse order: the settings key is closed, then the port.
CUpdaterDlg::~CUpdaterDlg() = default;

std::span<const host::CDialog::MessageMapEntry> CUpdaterDlg::GetMessageMap() const {
    static const MessageMapEntry kMap[] = {
        {res::kIdcStart, static_cast<CommandHandler>(&CUpdaterDlg::OnStartClicked)},
        {res::kIdcCancel, static_cast<CommandHandler>(&CUpdaterDlg::OnCancelClicked)},
        {res::kIdcClose, static_cast<CommandHandler>(&CUpdaterDlg::OnCloseClicked)},
    };
    return kMap;
}

void CUpdaterDlg::DoDataExchange(host::CDataExchange* pDX) {
    host::CDialog::DoDataExchange(pDX);
    host::DDX_Control(pDX, res::kIdcEdit, m_edit);
}

bool CUpdaterDlg::OnInitDialog() {
    host::CDialog::OnInitDialog();
    SetIcon(m_hIcon, true);
    SetIcon(m_hIcon, false);
    CenterWindow();
    // Without its worker the update cannot begin; nothing has been touched yet, so the start
    // is refused and the dialog ends.
    if (!host::StartThread(PrepareThread, this) && ClaimUpdateStart()) {
        host::DebugOut("Start PrepareThread failed\r\n");
        SetUpdateOutcome(kExitRefused, "PrepareThread could not be started; nothing was touched");
        host::CDialog::OnOK();
    }
    return true;
}

bool CUpdaterDlg::IsStateStep(int32_t from, int32_t to) {
    return (from == -1 && to == 0) || (from == 0 && to == 1) || (from == 1 && to == 1) ||
           (from == 1 && to == 2);
}

void CUpdaterDlg::SetState(int32_t nState) {
    const int32_t from = m_nState.exchange(nState);
    HOST_CHECK(IsStateStep(from, nState));
}

void CUpdaterDlg::OnOK() {
    if (m_bAllowClose) {
        // A worker's close request and a key press may arrive together: one of them releases.
        if (!ClaimClose())
            return;
        ReleaseBacklight(m_hBacklightReq);
        host::DebugOut("\nTurn on DVS(Power saving)");
        SetDvsControl(false);
        host::CDialog::OnOK();
        return;
    }
    // Before the start nothing has been taken: the dialog simply ends, and no update can
    // begin under it any more.
    if (m_nState == -1 && ClaimUpdateStart()) {
        SetUpdateOutcome(kExitClosedEarly, kClosedEarlyNote);
        host::CDialog::OnOK();
        return;
    }
    RefuseClose();
}

void CUpdaterDlg::OnCancel() {
    OnOK();
}

void CUpdaterDlg::OnInterrupt(host::Interrupt interrupt) {
    const char* name = host::InterruptName(interrupt);
    // A close is under way: the run ends with the outcome it has recorded.
    if (IsClosed() || m_bAllowClose)
        return;
    if (m_nState == -1 && ClaimUpdateStart()) {
        host::DebugOut("Closed before the start (%s)\r\n", name);
        SetUpdateOutcome(kExitClosedEarly, std::string("the dialog was closed by ") + name +
                                               " before the update started");
        host::CDialog::OnOK();
        return;
    }
    // The completion ends by itself within seconds; the board is being restored already.
    if (m_nState == 2 || m_bFsDone)
        return;
    const int64_t now_ms = host::CurrentClock().now_ms();
    if (m_nFirstInterruptMs >= 0 && now_ms - m_nFirstInterruptMs <= kInterruptWindowMs) {
        StopOnInterrupt(interrupt);
        return;
    }
    m_nFirstInterruptMs = now_ms;
    host::DebugOut("Can't close the Dlg (%s)\r\n", name);
    SetNotice(
        L"The update cannot be stopped safely. A second interrupt within 10 s stops it "
        L"and restores the board.");
}

void CUpdaterDlg::StopOnInterrupt(host::Interrupt interrupt) {
    host::DebugOut("Stop requested (%s)\r\n", host::InterruptName(interrupt));
    SetNotice(L"Stopping the update and restoring the board...");
    WaitForPreparation();
    if (IsClosed() || m_bAllowClose || m_nState == 2)
        return;
    TakeFailureExit(this, FailureExit::kInterrupted, host::InterruptName(interrupt));
}

// The preparation switches the board step by step and checks nothing between its steps; a
// restore in the middle of it would be undone by its next step.  Once ReadThread has begun
// (state 1) everything it switches is switched, and the download stops at any point.  The
// preparation may also end the run itself (COM1: failed).
void CUpdaterDlg::WaitForPreparation() {
    host::Clock& clock = host::CurrentClock();
    const int64_t deadline_ms = clock.now_ms() + kPreparationWaitMs;
    while (m_nState != 1 && m_nState != 2 && !IsClosed() && !m_bAllowClose &&
           clock.now_ms() < deadline_ms)
        clock.sleep_ms(50);
}

void CUpdaterDlg::RefuseClose() {
    // Claimed but not yet in state 0 counts as preparing.
    const int32_t state = m_nState;
    if (state == -1 || state == 0 || state == 1)
        host::DebugOut("Can't close the Dlg\r\n");
}

void CUpdaterDlg::OnStartClicked() {
    PrepareThread(this);
}

void CUpdaterDlg::OnCancelClicked() {
    if (m_nState == -1 && ClaimUpdateStart()) {
        SetUpdateOutcome(kExitClosedEarly, kClosedEarlyNote);
        host::CDialog::OnOK();
    }
}

void CUpdaterDlg::OnCloseClicked() {
    OnOK();
}

host::Brush CUpdaterDlg::OnCtlColor(host::CDC& dc, int nCtlId, host::ControlKind kind) {
    host::Brush brush = host::CDialog::OnCtlColor(dc, nCtlId, kind);
    if (nCtlId == res::kIdcWarning) {
        dc.SetTextColor(host::MakeRgb(255, 0, 0));
        if (m_dwDeviceName == kDeviceNameRom) {
            host::LogFont font;
            font.weight = 600;
            dc.SelectFont(font);
        }
        dc.SetBkMode(host::kBkTransparent);
    }
    return brush;
}
