#include "host/sim/capture_ui.h"

namespace host {

int CaptureUi::ShowMessageBox(const std::wstring& text, const std::wstring& caption,
                              uint32_t style) {
    std::lock_guard<std::mutex> lock(mutex_);
    events_.push_back({false, {text, caption, style}});
    if (answers_.empty())
        return kIdOk;
    int answer = answers_.front();
    answers_.pop_front();
    return answer;
}

void CaptureUi::ErrorBeep() {
    std::lock_guard<std::mutex> lock(mutex_);
    events_.push_back({true, {}});
}

void CaptureUi::QueueAnswer(int answer) {
    std::lock_guard<std::mutex> lock(mutex_);
    answers_.push_back(answer);
}

std::vector<CaptureUi::Event> CaptureUi::Events() {
    std::lock_guard<std::mutex> lock(mutex_);
    return events_;
}

std::vector<CaptureUi::Box> CaptureUi::Boxes() {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<Box> boxes;
    for (const auto& event : events_) {
        if (!event.beep)
            boxes.push_back(event.box);
    }
    return boxes;
}

int CaptureUi::Beeps() {
    std::lock_guard<std::mutex> lock(mutex_);
    int beeps = 0;
    for (const auto& event : events_)
        beeps += event.beep ? 1 : 0;
    return beeps;
}

}  // namespace host
