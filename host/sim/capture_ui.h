// A Ui for tests: records every message box and beep, in order, and answers boxes from a
// queue of answers (OK when the queue is empty).
#pragma once

#include <deque>
#include <mutex>
#include <string>
#include <vector>

#include "host/ui.h"

namespace host {

class CaptureUi final : public Ui {
  public:
    struct Box {
        std::wstring text;
        std::wstring caption;
        uint32_t style;
    };
    // "box" or "beep", in the order they happened.
    struct Event {
        bool beep;
        Box box;
    };

    int ShowMessageBox(const std::wstring& text, const std::wstring& caption,
                       uint32_t style) override;
    void ErrorBeep() override;

    void QueueAnswer(int answer);
    std::vector<Event> Events();
    std::vector<Box> Boxes();
    int Beeps();

  private:
    std::mutex mutex_;
    std::vector<Event> events_;
    std::deque<int> answers_;
};

}  // namespace host
