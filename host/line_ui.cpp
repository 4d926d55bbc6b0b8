// Line mode.
#include "host/line_ui.h"

#include <cstdio>
#include <cstring>
#include <cwctype>

#include "host/debug_log.h"

namespace host {
namespace {

// A remaining-time text, as the progress view reads one off a label.
bool IsTimeText(const ControlState& control) {
    DialogState alone;
    alone.controls.push_back(control);
    alone.controls.back().kind = ControlKind::kStatic;
    alone.controls.back().visible = true;
    return !ViewProgress(alone).remaining.empty();
}

// "....." and the like hold a place and say nothing.
bool SaysSomething(const std::wstring& text) {
    for (wchar_t c : text) {
        if (std::iswalnum(static_cast<wint_t>(c)) != 0)
            return true;
    }
    return false;
}

// "SW image" → "SW": one word, for the key=value grammar.
std::string PhaseWord(const char* phase) {
    const char* blank = std::strchr(phase, ' ');
    return blank == nullptr ? std::string(phase) : std::string(phase, blank);
}

std::string ProgressLine(const ProgressView& view) {
    return "progress phase=" + PhaseWord(view.phase) + " percent=" + std::to_string(view.percent) +
           " remaining=" + (view.remaining.empty() ? "-" : view.remaining);
}

bool SameProgress(const ProgressView& a, const ProgressView& b) {
    return a.shown == b.shown && std::strcmp(a.phase, b.phase) == 0 && a.percent == b.percent &&
           a.remaining == b.remaining;
}

}  // namespace

void LineUi::WriteLocked(const std::string& line) {
    FlushLocked();
    WriteAtLocked(clock_ != nullptr ? clock_->now_ms() : 0, line);
}

void LineUi::WriteAtLocked(int64_t now_ms, const std::string& line) {
    if (clock_ != nullptr) {
        char stamp[32];
        std::snprintf(stamp, sizeof stamp, "[%6lld.%03lld] ", static_cast<long long>(now_ms / 1000),
                      static_cast<long long>(now_ms % 1000));
        out_ << stamp;
    }
    out_ << line << '\n';
    out_.flush();
}

void LineUi::FlushLocked() {
    if (!held_)
        return;
    held_ = false;
    WriteAtLocked(held_ms_, ProgressLine(progress_));
}

// Texts a person reads on the dialog: statics and button labels, each said once while it
// stands; the time label and placeholders are left to the progress line.
void LineUi::StatusLocked(const ControlState& control) {
    if (control.kind != ControlKind::kStatic && control.kind != ControlKind::kButton)
        return;
    if (!control.visible || !SaysSomething(control.text) || IsTimeText(control)) {
        shown_texts_.erase(control.id);
        return;
    }
    auto said = shown_texts_.find(control.id);
    if (said != shown_texts_.end() && said->second == control.text)
        return;
    shown_texts_[control.id] = control.text;
    WriteLocked("status text=" + QuotedText(control.text));
}

// The progress step moves the bar and sets the time label 10 ms later: a move of the bar while
// a time shows is held for that label, so that one step makes one line.
void LineUi::ProgressLocked(const DialogState& state, bool bar_moved) {
    const ProgressView view = ViewProgress(state);
    if (SameProgress(view, progress_))
        return;
    progress_ = view;
    if (!view.shown) {
        held_ = false;
        return;  // a hidden bar says nothing; shown again, it is said again
    }
    if (bar_moved && !view.remaining.empty()) {
        if (!held_)
            held_ms_ = clock_ != nullptr ? clock_->now_ms() : 0;
        held_ = true;
        return;
    }
    held_ = false;
    WriteLocked(ProgressLine(view));
}

int LineUi::ShowMessageBox(const std::wstring& text, const std::wstring& caption, uint32_t) {
    std::lock_guard<std::mutex> lock(mutex_);
    WriteLocked("box caption=" + QuotedText(caption) + " text=" + QuotedText(text) + " answer=OK");
    return kIdOk;
}

void LineUi::ErrorBeep() {
    std::lock_guard<std::mutex> lock(mutex_);
    WriteLocked("beep");
}

void LineUi::OnDialogOpened(const DialogState& state, DialogSite&) {
    std::lock_guard<std::mutex> lock(mutex_);
    shown_texts_.clear();
    progress_ = {};
    held_ = false;
    WriteLocked("open title=" + QuotedText(state.title));
    for (const ControlState& control : state.controls)
        StatusLocked(control);
    ProgressLocked(state, false);
}

// Repaints, icons, enabling and the bar's raw range and position carry no news of their own.
void LineUi::OnDialogChanged(const DialogChange& change, const DialogState& state) {
    if (change.kind == DialogChange::kRepaint)
        return;
    std::lock_guard<std::mutex> lock(mutex_);
    switch (change.kind) {
        case DialogChange::kTitle:
            WriteLocked("title text=" + QuotedText(state.title));
            return;
        case DialogChange::kNotice:
            WriteLocked("notice text=" + QuotedText(state.notice));
            return;
        case DialogChange::kText:
        case DialogChange::kVisible:
            if (const ControlState* control = state.Find(change.id))
                StatusLocked(*control);
            break;
        default:
            break;
    }
    const bool bar_moved =
        change.kind == DialogChange::kPosition || change.kind == DialogChange::kRange;
    ProgressLocked(state, bar_moved);
}

void LineUi::OnDialogClosed() {
    std::lock_guard<std::mutex> lock(mutex_);
    WriteLocked("close");
}

void LineUi::Outcome(int exit_code, const std::string& text) {
    std::lock_guard<std::mutex> lock(mutex_);
    WriteLocked("outcome exit=" + std::to_string(exit_code) + " text=" + QuotedText(Widen(text)));
}

}  // namespace host
