// The dialog in a terminal, for interactive use.  One drawing thread owns the terminal: it is
// the only caller of the screen library, redraws from its copy of the dialog's model and reads
// the keyboard.  Other threads only change the model under the lock and wake it.
//
// Keys: Enter or 'o' is the caption's OK button (it reaches the dialog's close guard), Escape
// is the cancel command.  While the update runs the guard refuses both, so every key there
// beeps and lights the hint row, which says that the update cannot be stopped.  In a message
// box Enter, 'o', Escape or Space answer OK.  The interrupt key reaches the program as a
// signal (host/posix/signals.h), not as a key.
//
// Below the dialog: the hint row (progress, what the keys do) and the device root, so that a
// person can watch the update from another terminal.  A terminal too small for all that shows
// a notice saying how large it must be, with the progress, until it is enlarged.
//
// A terminal that goes away (a hang-up: the window closed, the connection lost) does not end
// the program: the front-end stops drawing, answers message boxes with OK as line mode does,
// and the update runs on without a screen.
#pragma once

#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "host/frontend.h"

namespace host::posix {

// Whether standard input and output are both a terminal.
bool StdioIsTerminal();
// Whether the terminal behind fd still answers; false once it has been hung up.
bool TerminalAnswers(int fd);

class TerminalUi final : public FrontEnd {
  public:
    // device_root: shown below the dialog; empty: not shown.
    explicit TerminalUi(std::string device_root = {});
    ~TerminalUi() override;
    TerminalUi(const TerminalUi&) = delete;
    TerminalUi& operator=(const TerminalUi&) = delete;

    // Takes the terminal and starts the drawing thread; false when stdio is not a terminal.
    bool Start();
    // Ends the drawing thread and gives the terminal back; boxes still open answer OK.  Also
    // run by host::EndProcessNow while the front-end is started.
    void Stop();
    // Whether the terminal it draws on is gone.  Any thread.
    bool TerminalLost();
    // The terminal has gone: draw nothing more, answer every box with OK.  Any thread.
    void OnTerminalLost();

    int ShowMessageBox(const std::wstring& text, const std::wstring& caption,
                       uint32_t style) override;
    void ErrorBeep() override;
    void OnDialogOpened(const DialogState& state, DialogSite& site) override;
    void OnDialogChanged(const DialogChange& change, const DialogState& state) override;
    void OnDialogClosed() override;

  private:
    struct PendingBox {
        std::wstring text;
        std::wstring caption;
        bool answered = false;
        int answer = 0;
    };
    struct Frame;

    void Run();
    bool TakeFrame(Frame* frame);
    void HandleKey(int key);
    static std::string HintOf(const Frame& frame, int width);
    void Draw(const Frame& frame, bool lit);
    void DrawDialog(const Frame& frame, bool lit);
    void DrawTooSmall(const Frame& frame, bool lit);

    const std::string device_root_;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::thread thread_;
    void* screen_ = nullptr;  // the screen library's handle, opaque here
    bool running_ = false;
    bool stop_ = false;
    bool lost_ = false;
    int end_hook_ = 0;
    bool dirty_ = true;
    int beeps_ = 0;
    bool open_ = false;
    DialogSite* site_ = nullptr;
    DialogState state_;
    std::deque<std::shared_ptr<PendingBox>> boxes_;
};

}  // namespace host::posix
