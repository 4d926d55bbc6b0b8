// The dialog as a real window of the platform's own API: a dialog box built in memory from the
// dialog's model (template, controls, texts, geometry in dialog units, styles), with its
// colours asked of the dialog's control-colour hook, and real message boxes and beeps.
//
// Threads: the window lives on a UI thread of its own, which runs the window's message loop.
// The framework's modal loop runs elsewhere and may publish changes from any thread; each is
// copied into a queue and the UI thread, woken by a private message, applies them in order
// (a repaint too: it is done when the UI thread reaches it).  A thread that changes the dialog
// therefore never waits for drawing: a window that does not answer cannot hold up the update.
//
// Commands go back to the dialog through its site, which queues them for its modal loop: a
// button's click as its id, Escape and the close box as the cancel command, any other command
// id sent to the window as itself.  The desktop's caption has no OK button; Enter is the OK
// command once no enabled push button has the focus (the update disables the only one).
//
// The window is created hidden and shown once the dialog's initialisation has centred it, or
// kShowDelayMs after creation for a dialog that never centres.  The window's notice appears as
// a status line in the band below the lowest visible control when that band holds two lines
// of text, otherwise after the title (" - " and the notice).
#pragma once

#ifndef NOMINMAX
#define NOMINMAX
#endif
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <cstdint>
#include <deque>
#include <map>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "host/frontend.h"

namespace host::win32 {

// The status line's control id; no template uses it.
constexpr int kNoticeId = 0x7FFF;
// How long a window that is never centred stays hidden after its creation.
constexpr UINT kShowDelayMs = 300;
// How long opening waits for the window, and closing for the UI thread to end.
constexpr DWORD kUiThreadTimeoutMs = 10000;

// The dialog's model as an in-memory extended dialog template (DLGTEMPLATEEX and its items),
// ready for CreateDialogIndirectParamW.  Styles are the model's, plus the font flag; the
// window's own visibility is left off (the front-end shows it), and extended-style bits that
// have no meaning on this platform (the caption's OK button) are dropped.
std::vector<WORD> BuildDialogTemplate(const DialogState& state);

class Win32Dialog final : public FrontEnd {
  public:
    Win32Dialog() = default;
    ~Win32Dialog() override;
    Win32Dialog(const Win32Dialog&) = delete;
    Win32Dialog& operator=(const Win32Dialog&) = delete;

    // A box owned by the dialog's window while it is open (unowned otherwise); blocks the
    // calling thread until it is answered.
    int ShowMessageBox(const std::wstring& text, const std::wstring& caption,
                       uint32_t style) override;
    void ErrorBeep() override;
    // Starts the UI thread and waits (at most kUiThreadTimeoutMs) until the window exists.  A
    // window that cannot be created is reported on the debug output; the dialog then runs
    // without one.
    void OnDialogOpened(const DialogState& state, DialogSite& site) override;
    void OnDialogChanged(const DialogChange& change, const DialogState& state) override;
    // Destroys the window and joins the UI thread (waiting at most kUiThreadTimeoutMs).
    void OnDialogClosed() override;

    // The window while the dialog is open, else null.  Any thread.
    HWND Window();
    // Applies every change published so far before it returns; false when there is no window
    // or it did not answer within timeout_ms.  For tools and tests that look at the window.
    bool Sync(DWORD timeout_ms);

  private:
    // A change with the values it brought, so that the UI thread applies it as it was made.
    struct Pending {
        DialogChange change;
        ControlState control;
        std::wstring title;
        std::wstring notice;
        HIcon big_icon = nullptr;
        HIcon small_icon = nullptr;
    };

    static DWORD WINAPI ThreadMain(LPVOID self);
    static INT_PTR CALLBACK DialogProc(HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam);
    INT_PTR OnMessage(HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam);
    void RunUiThread();
    bool CreateWindowFor(const DialogState& state);
    void Post(int command_id);
    INT_PTR OnCtlColorStatic(HDC dc, HWND control);
    void Drain();
    void Apply(const Pending& pending);
    void ApplyBar(int id, int32_t low, int32_t high, int32_t position);
    void ApplyIcons(HIcon big_icon, HIcon small_icon);
    void ApplyTitle();
    void LayoutNotice();
    RECT NoticeBand();
    void CentreOnDesktop();
    void ShowOnce();
    HICON IconFor(HIcon icon, bool big);
    HFONT FontOfWeight(int weight);
    void ReleaseGdi();

    // Guards site_, queue_ and hwnd_.  Held by the UI thread while it calls into the site, so
    // that OnDialogClosed returns only once no call into the site is under way.
    std::mutex mutex_;
    DialogSite* site_ = nullptr;
    HWND hwnd_ = nullptr;
    std::deque<Pending> queue_;
    HANDLE thread_ = nullptr;
    HANDLE ready_ = nullptr;  // set by the UI thread once the window exists (or failed)

    // UI thread only.
    DialogState opening_;  // the state the window is built from
    HWND window_ = nullptr;
    std::wstring title_;
    std::wstring notice_;
    bool notice_in_title_ = false;
    bool shown_ = false;
    HWND notice_window_ = nullptr;
    std::map<std::pair<HIcon, bool>, HICON> icons_;
    std::map<int, HFONT> fonts_;
};

}  // namespace host::win32
