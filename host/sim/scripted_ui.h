// The headless front-end, for tests, benchmarks and the in-process board: records every
// published change of the dialog, message box and beep with its (virtual) time, answers
// message boxes from a queue (OK when it is empty) and posts commands and interrupts as the
// test says.  Without a dialog it serves as the platform's plain Ui.
#pragma once

#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <vector>

#include "host/clock.h"
#include "host/frontend.h"

namespace host {

class ScriptedUi final : public FrontEnd {
  public:
    struct Event {
        int64_t time_us;
        std::string text;  // DescribeChange's line, or "open", "close", "box ...", "beep"
    };
    struct Box {
        int64_t time_us;
        std::wstring text;
        std::wstring caption;
        uint32_t style;
        int answer;
    };
    struct TextChange {
        int64_t time_us;
        std::wstring text;
    };

    explicit ScriptedUi(TimeSource& clock) : clock_(clock) {}

    int ShowMessageBox(const std::wstring& text, const std::wstring& caption,
                       uint32_t style) override;
    void ErrorBeep() override;
    void OnDialogOpened(const DialogState& state, DialogSite& site) override;
    void OnDialogChanged(const DialogChange& change, const DialogState& state) override;
    void OnDialogClosed() override;

    void QueueAnswer(int answer);
    // Posted as soon as the dialog opens; dispatched after its OnInitDialog.
    void PostOnOpen(int command_id);
    // Posts to the open dialog; false when none is open.
    bool Post(int command_id);
    // An interrupt to the open dialog, as the host's signal receiver delivers one; false when
    // none is open.
    bool SendInterrupt(Interrupt interrupt);
    // The open dialog's colours for a control (defaults when none is open).
    ControlColors Colors(int control_id);

    bool IsOpen();
    DialogState State();  // as last published
    std::vector<Event> Events();
    // Event texts without the repaints, for comparing sequences.
    std::vector<std::string> Lines();
    std::vector<Box> Boxes();
    std::vector<TextChange> TextsOf(int control_id);
    int Repaints();
    int Beeps();

  private:
    void RecordLocked(std::string text);
    int CountLocked(const std::string& text) const;

    TimeSource& clock_;
    std::mutex mutex_;
    DialogSite* site_ = nullptr;
    DialogState state_;
    std::vector<Event> events_;
    std::vector<Box> boxes_;
    std::vector<std::pair<int, TextChange>> texts_;
    std::deque<int> answers_;
    std::vector<int> on_open_;
};

}  // namespace host
