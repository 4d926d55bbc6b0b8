// Line mode: the dialog for scripts and logs, chosen when standard output is not a terminal.
// It says what a person at the dialog would see, one event a line, in words rather than
// control ids; message boxes are answered with OK at once, and nothing is ever read.
//
// Grammar (one line per event; the time prefix only when a clock is given):
//
//   line    = [ "[" seconds "] " ] event *( " " key "=" value ) LF
//   seconds = blanks and digits "." 3 digits: since the clock's epoch
//   value   = word | quoted
//   word    = 1*( any character but blank, '"' and '=' )
//   quoted  = '"' text '"', with \" \\ \n \r standing for a quote, a backslash, line breaks
//
// Events, in the order they can come:
//   open title=QUOTED                         the dialog opens, with the title it has then
//   title text=QUOTED                         the title changes
//   status text=QUOTED                        a text of the dialog appears or changes (the
//                                             remaining time and placeholders are left to
//                                             `progress`)
//   notice text=QUOTED                        the window's status line; "" when cleared
//   progress phase=SW|FS percent=N remaining=MmSSs|-
//                                             the bar's phase, percent (as Progress publishes
//                                             it) or remaining time changed; "-": none shown
//   beep                                      the error sound
//   box caption=QUOTED text=QUOTED answer=OK  a message box, answered
//   close                                     the dialog has ended
//   outcome exit=N text=QUOTED                how the run ended; the last line
#pragma once

#include <map>
#include <mutex>
#include <ostream>
#include <string>

#include "host/clock.h"
#include "host/frontend.h"
#include "host/progress_view.h"

namespace host {

class LineUi final : public FrontEnd {
  public:
    explicit LineUi(std::ostream& out, TimeSource* clock = nullptr) : out_(out), clock_(clock) {}

    int ShowMessageBox(const std::wstring& text, const std::wstring& caption,
                       uint32_t style) override;
    void ErrorBeep() override;
    void OnDialogOpened(const DialogState& state, DialogSite& site) override;
    void OnDialogChanged(const DialogChange& change, const DialogState& state) override;
    void OnDialogClosed() override;

    // The run's end as the program reports it: written as the last line.
    void Outcome(int exit_code, const std::string& text);

  private:
    // Writes a line, after a held progress line.
    void WriteLocked(const std::string& line);
    void WriteAtLocked(int64_t now_ms, const std::string& line);
    void FlushLocked();
    void StatusLocked(const ControlState& control);
    void ProgressLocked(const DialogState& state, bool bar_moved);

    std::mutex mutex_;
    std::ostream& out_;
    TimeSource* clock_;
    std::map<int, std::wstring> shown_texts_;  // by control id: what `status` said last
    ProgressView progress_;                    // what `progress` said last, or holds
    bool held_ = false;                        // a progress line waits for the time label
    int64_t held_ms_ = 0;                      // when the bar moved
};

}  // namespace host
