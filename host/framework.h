// A small application framework in the manner of the platform's own: an application object
// with InitInstance, a modal dialog built from a template, controls reached by id, a control
// colour hook, data exchange and button dispatch through a message map.  Names that the
// platform's headers define as macros (MessageBox, SendMessage, SetWindowText...) are avoided,
// so that a Win32 implementation of the host layer can sit beside this one.
//
// Threads: the modal loop runs on the thread that calls DoModal (the UI thread) and waits on
// the installed clock for commands.  Any thread may change controls, show message boxes owned
// by the dialog and end it; every change goes into the dialog's model under its lock and is
// published, in order, to the front-end (host/frontend.h).
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <span>
#include <string>

#include "host/frontend.h"
#include "host/interrupt.h"

namespace host {

// Window and control styles, in the platform's numbering.
namespace style {
constexpr uint32_t kPopup = 0x80000000;
constexpr uint32_t kCaption = 0x00C00000;
constexpr uint32_t kSysMenu = 0x00080000;
constexpr uint32_t kModalFrame = 0x00000080;
constexpr uint32_t kBorder = 0x00800000;
constexpr uint32_t kVScroll = 0x00200000;
constexpr uint32_t kGroup = 0x00020000;
constexpr uint32_t kTabStop = 0x00010000;
constexpr uint32_t kLeft = 0x00000000;  // static text
constexpr uint32_t kPushButton = 0x00000000;
constexpr uint32_t kEditMultiLine = 0x00000004;
constexpr uint32_t kEditAutoVScroll = 0x00000040;
constexpr uint32_t kEditAutoHScroll = 0x00000080;
constexpr uint32_t kExCaptionOkButton = 0x80000000;
constexpr uint32_t kExAppWindow = 0x00040000;
}  // namespace style

// Progress bar messages.
constexpr uint32_t kPbmSetPos = 0x0402;      // wparam: position; answers the previous one
constexpr uint32_t kPbmSetRange32 = 0x0406;  // wparam: low, lparam: high
constexpr uint32_t kPbmGetRange = 0x0407;    // wparam: nonzero for low; answers low or high
constexpr uint32_t kPbmGetPos = 0x0408;

struct ControlTemplate {
    int id;
    ControlKind kind;
    const wchar_t* text;
    bool visible;
    bool enabled;
    DialogRect rect;
    uint32_t style;
};

struct DialogTemplate {
    int id;
    int16_t cx;
    int16_t cy;
    const wchar_t* font_face;
    int font_points;
    uint32_t style;
    uint32_t ex_style;
    const wchar_t* caption;
    std::span<const ControlTemplate> controls;
};

// Colours are 0x00RRGGBB.
constexpr uint32_t MakeRgb(uint8_t red, uint8_t green, uint8_t blue) {
    return (uint32_t{red} << 16) | (uint32_t{green} << 8) | blue;
}

// A font description; all zeros is the platform's default font.
struct LogFont {
    int32_t height = 0;
    int32_t width = 0;
    int32_t weight = 0;
    uint8_t italic = 0;
    uint8_t underline = 0;
    uint8_t strike_out = 0;
    uint8_t char_set = 0;
    wchar_t face_name[32] = {};
};

constexpr int kBkTransparent = 1;
constexpr int kBkOpaque = 2;

// The drawing context a control-colour hook receives: what it sets is how the control is drawn.
class CDC {
  public:
    void SetTextColor(uint32_t rgb);
    void SetBkMode(int mode);
    // The font lives as long as the description; the context keeps a copy.
    void SelectFont(const LogFont& font);
    ControlColors colors() const { return colors_; }

  private:
    ControlColors colors_;
};

// A brush, named by its colour; kDialogBrush is the dialog's own background.
using Brush = uint32_t;
constexpr Brush kDialogBrush = 0xFFFFFFFF;

class CDialog;

// The data exchange context handed to DoDataExchange.
struct CDataExchange {
    CDialog* dialog;
    bool save_and_validate;
};

// An edit control reached through the dialog once bound by data exchange.
class CEdit {
  public:
    CEdit() = default;
    CEdit(const CEdit&) = delete;
    CEdit& operator=(const CEdit&) = delete;

    bool IsBound() const { return dialog_ != nullptr; }
    int ControlId() const { return id_; }
    void SetText(const std::wstring& text);
    std::wstring GetText() const;

  private:
    friend void DDX_Control(CDataExchange* dx, int id, CEdit& edit);
    CDialog* dialog_ = nullptr;
    int id_ = 0;
};

// Binds an edit control of the dialog to edit (once).
void DDX_Control(CDataExchange* dx, int id, CEdit& edit);

class CDialog : private DialogSite {
  public:
    using CommandHandler = void (CDialog::*)();
    struct MessageMapEntry {
        int id;
        CommandHandler handler;
    };

    explicit CDialog(const DialogTemplate& dialog_template);
    virtual ~CDialog();
    CDialog(const CDialog&) = delete;
    CDialog& operator=(const CDialog&) = delete;

    // Creates the window, runs OnInitDialog, then dispatches commands until EndDialog.
    // Answers EndDialog's result.  The calling thread (the UI thread) is registered with the
    // installed clock meanwhile, so it must not be registered already.
    int DoModal();
    // DoModal, then waits until every thread started while the dialog was open has ended, or
    // grace_ms has passed; *workers_ended tells which.  The dialog must not be destroyed while
    // one of them may still hold it.  The UI thread stays registered throughout, so that in
    // virtual time nothing moves between the end of the loop and the wait.
    int DoModalAndWait(uint32_t grace_ms, bool* workers_ended);
    // Ends the modal loop with result; from any thread, also before or during DoModal.
    void EndDialog(int result);
    // Whether EndDialog has been called: the window is gone or about to go.
    bool IsClosed() const { return closed_.load(); }

    virtual void OnOK();
    virtual void OnCancel();
    // An interrupt from outside the program (host::PostInterrupt), on the UI thread like a
    // command.  The base ends the dialog as the cancel command does.
    virtual void OnInterrupt(Interrupt interrupt);
    virtual bool OnInitDialog();
    virtual void DoDataExchange(CDataExchange* dx);
    // The control-colour hook; the base answers the dialog's brush and leaves dc alone.
    virtual Brush OnCtlColor(CDC& dc, int control_id, ControlKind kind);
    // Runs DoDataExchange in the given direction.
    bool UpdateData(bool save_and_validate);

    // Window.
    void SetTitle(const std::wstring& title);
    std::wstring GetTitle();
    void SetIcon(HIcon icon, bool big);
    void CenterWindow();
    void RepaintNow();  // repaints at once, as the platform's UpdateWindow does
    // A line of the window's own, outside the template's controls (a status bar): what the
    // user should know about the window itself.  Empty hides it.
    void SetNotice(const std::wstring& text);
    int ShowMessageBox(const std::wstring& text, const std::wstring& caption, uint32_t style);

    // Controls by id.  Unknown ids are ignored (answers: empty, false or 0).
    bool HasItem(int id);
    void SetItemText(int id, const std::wstring& text);
    std::wstring GetItemText(int id);
    void ShowItem(int id, bool show);
    bool IsItemVisible(int id);
    void EnableItem(int id, bool enable);
    bool IsItemEnabled(int id);
    intptr_t SendItemMessage(int id, uint32_t message, uintptr_t wparam, intptr_t lparam);

    // A copy of the model, for tests and tools.
    DialogState Snapshot();
    const DialogTemplate& Template() const { return template_; }

  protected:
    // Button clicks by control id; searched before the OK and cancel commands' defaults.
    virtual std::span<const MessageMapEntry> GetMessageMap() const { return {}; }
    // Answers true to the first caller only (per modal run): for a close that releases
    // something and may be asked for by two threads at once.
    bool ClaimClose() { return !close_claimed_.exchange(true); }

  private:
    friend void PostInterrupt(Interrupt interrupt);
    // A command by id, or an interrupt.
    struct Message {
        bool interrupt = false;
        int command_id = 0;
        Interrupt which = Interrupt::kInterrupt;
    };

    // DialogSite, for the front-end.
    void PostCommand(int command_id) override;
    void PostInterrupt(Interrupt interrupt) override;
    ControlColors ColorsOf(int control_id) override;

    int RunModalLoop();
    bool WaitForWorkers(uint32_t grace_ms);
    void Dispatch(const Message& message);
    void DispatchCommand(int command_id);
    bool IsClickable(int id);
    bool NextMessage(Message* message);
    ControlState* FindLocked(int id);
    void PublishLocked(DialogChange::Kind kind, int id);

    const DialogTemplate& template_;
    std::mutex mutex_;  // the model and the front-end pointer; never held across a wait
    DialogState state_;
    FrontEnd* front_end_ = nullptr;
    // The command queue and the end flag are read by the modal loop's wait predicate and so
    // change only under the clock's lock (Clock::update).
    std::deque<Message> messages_;
    bool end_requested_ = false;
    int result_ = 0;
    std::atomic<bool> closed_{false};
    std::atomic<bool> close_claimed_{false};
    int threads_at_open_ = 0;
};

class CWinApp {
  public:
    CWinApp();  // the one application object of the program
    virtual ~CWinApp();
    CWinApp(const CWinApp&) = delete;
    CWinApp& operator=(const CWinApp&) = delete;

    // InitInstance, then ExitInstance; answers the exit code.  An application that holds
    // something for the whole of its run overrides it around the base's.
    virtual int Run();
    // Answers false to end the application without a message loop of its own.
    virtual bool InitInstance();
    // The process's exit code.
    virtual int ExitInstance();

    void SetExitCode(int code) { exit_code_ = code; }
    int ExitCode() const { return exit_code_; }

    CDialog* m_pMainWnd = nullptr;

  private:
    int exit_code_ = 0;
};

// The application object, or null before it is constructed.
CWinApp* CurrentApp();

// The entry that main calls once the platform is installed: the application's Run; answers
// the exit code.
int AppMain(CWinApp& app);

// Hands an interrupt to the application, from any thread (the host's signal receiver, a test).
// The dialog in its modal loop gets it in OnInterrupt, in order with the commands.  One that
// comes while no dialog runs is kept for the next dialog, which gets it before its
// OnInitDialog (the program has not started anything yet); one that comes after the dialog's
// loop has ended is dropped (the program is ending with its recorded outcome).
void PostInterrupt(Interrupt interrupt);

// Steps that must run however the process ends, such as giving a terminal back: run by
// EndProcessNow, in the reverse order of adding.  AddEndHook answers an id for RemoveEndHook.
int AddEndHook(std::function<void()> hook);
void RemoveEndHook(int id);

// Ends the process at once with code, without unwinding or running exit handlers: for a run
// whose worker threads still hold objects that an orderly exit would destroy under them.  The
// end hooks run first.
[[noreturn]] void EndProcessNow(int code);

}  // namespace host
