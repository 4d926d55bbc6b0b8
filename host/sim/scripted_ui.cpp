// The scripted front-end.
#include "host/sim/scripted_ui.h"

#include "host/debug_log.h"

namespace host {

void ScriptedUi::RecordLocked(std::string text) {
    events_.push_back({clock_.now_us(), std::move(text)});
}

int ScriptedUi::ShowMessageBox(const std::wstring& text, const std::wstring& caption,
                               uint32_t style) {
    std::lock_guard<std::mutex> lock(mutex_);
    int answer = kIdOk;
    if (!answers_.empty()) {
        answer = answers_.front();
        answers_.pop_front();
    }
    boxes_.push_back({clock_.now_us(), text, caption, style, answer});
    RecordLocked("box " + Narrow(caption) + ": " + Narrow(text) + " -> " + std::to_string(answer));
    return answer;
}

void ScriptedUi::ErrorBeep() {
    std::lock_guard<std::mutex> lock(mutex_);
    RecordLocked("beep");
}

void ScriptedUi::OnDialogOpened(const DialogState& state, DialogSite& site) {
    std::lock_guard<std::mutex> lock(mutex_);
    site_ = &site;
    state_ = state;
    RecordLocked("open " + std::to_string(state.template_id));
    for (int command_id : on_open_)
        site.PostCommand(command_id);
    on_open_.clear();
}

void ScriptedUi::OnDialogChanged(const DialogChange& change, const DialogState& state) {
    std::lock_guard<std::mutex> lock(mutex_);
    state_ = state;
    RecordLocked(DescribeChange(change, state));
    if (change.kind == DialogChange::kText) {
        if (const ControlState* control = state.Find(change.id))
            texts_.push_back({change.id, {clock_.now_us(), control->text}});
    }
}

void ScriptedUi::OnDialogClosed() {
    std::lock_guard<std::mutex> lock(mutex_);
    site_ = nullptr;
    RecordLocked("close");
}

void ScriptedUi::QueueAnswer(int answer) {
    std::lock_guard<std::mutex> lock(mutex_);
    answers_.push_back(answer);
}

void ScriptedUi::PostOnOpen(int command_id) {
    std::lock_guard<std::mutex> lock(mutex_);
    on_open_.push_back(command_id);
}

bool ScriptedUi::Post(int command_id) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (site_ == nullptr)
        return false;
    site_->PostCommand(command_id);
    return true;
}

bool ScriptedUi::SendInterrupt(Interrupt interrupt) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (site_ == nullptr)
        return false;
    site_->PostInterrupt(interrupt);
    return true;
}

ControlColors ScriptedUi::Colors(int control_id) {
    std::lock_guard<std::mutex> lock(mutex_);
    return site_ != nullptr ? site_->ColorsOf(control_id) : ControlColors{};
}

bool ScriptedUi::IsOpen() {
    std::lock_guard<std::mutex> lock(mutex_);
    return site_ != nullptr;
}

DialogState ScriptedUi::State() {
    std::lock_guard<std::mutex> lock(mutex_);
    return state_;
}

std::vector<ScriptedUi::Event> ScriptedUi::Events() {
    std::lock_guard<std::mutex> lock(mutex_);
    return events_;
}

std::vector<std::string> ScriptedUi::Lines() {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<std::string> lines;
    for (const Event& event : events_) {
        if (event.text != "repaint")
            lines.push_back(event.text);
    }
    return lines;
}

std::vector<ScriptedUi::Box> ScriptedUi::Boxes() {
    std::lock_guard<std::mutex> lock(mutex_);
    return boxes_;
}

std::vector<ScriptedUi::TextChange> ScriptedUi::TextsOf(int control_id) {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<TextChange> texts;
    for (const auto& [id, change] : texts_) {
        if (id == control_id)
            texts.push_back(change);
    }
    return texts;
}

int ScriptedUi::CountLocked(const std::string& text) const {
    int count = 0;
    for (const Event& event : events_)
        count += event.text == text ? 1 : 0;
    return count;
}

int ScriptedUi::Repaints() {
    std::lock_guard<std::mutex> lock(mutex_);
    return CountLocked("repaint");
}

int ScriptedUi::Beeps() {
    std::lock_guard<std::mutex> lock(mutex_);
    return CountLocked("beep");
}

}  // namespace host
