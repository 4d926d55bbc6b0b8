// The dialog in a terminal, for interactive use.  One drawing thread owns the terminal: it is
// the only caller of the screen library, redraws from its copy of the dialog's model and reads
// the keyboard.  Other threads only change the model under the lock and wake it.
//
// Keys: Enter or 'o' is the caption's OK button (it reaches the dialog's close guard), Escape
// is the cancel command.  In a message box Enter, 'o', Escape or Space answer OK.
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

class TerminalUi final : public FrontEnd {
  public:
    TerminalUi() = default;
    ~TerminalUi() override;
    TerminalUi(const TerminalUi&) = delete;
    TerminalUi& operator=(const TerminalUi&) = delete;

    // Takes the terminal and starts the drawing thread; false when stdio is not a terminal.
    bool Start();
    // Ends the drawing thread and gives the terminal back; boxes still open answer OK.
    void Stop();

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

    std::mutex mutex_;
    std::condition_variable changed_;
    std::thread thread_;
    void* screen_ = nullptr;  // the screen library's handle, opaque here
    bool running_ = false;
    bool stop_ = false;
    bool dirty_ = true;
    int beeps_ = 0;
    bool open_ = false;
    DialogSite* site_ = nullptr;
    DialogState state_;
    std::deque<std::shared_ptr<PendingBox>> boxes_;
};

}  // namespace host::posix
