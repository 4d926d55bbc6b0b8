// Line mode.
#include "host/posix/line_ui.h"

#include <cstdio>

#include "host/debug_log.h"

namespace host::posix {

void LineUi::WriteLocked(const std::string& line) {
    if (clock_ != nullptr) {
        char stamp[32];
        const int64_t now_ms = clock_->now_ms();
        std::snprintf(stamp, sizeof stamp, "[%6lld.%03lld] ", static_cast<long long>(now_ms / 1000),
                      static_cast<long long>(now_ms % 1000));
        out_ << stamp;
    }
    out_ << line << '\n';
    out_.flush();
}

int LineUi::ShowMessageBox(const std::wstring& text, const std::wstring& caption, uint32_t) {
    std::lock_guard<std::mutex> lock(mutex_);
    WriteLocked("box " + QuotedText(caption) + " " + QuotedText(text) + " -> OK");
    return kIdOk;
}

void LineUi::ErrorBeep() {
    std::lock_guard<std::mutex> lock(mutex_);
    WriteLocked("beep");
}

void LineUi::OnDialogOpened(const DialogState& state, DialogSite&) {
    std::lock_guard<std::mutex> lock(mutex_);
    WriteLocked("open " + std::to_string(state.template_id) + " " + QuotedText(state.title));
    for (const ControlState& control : state.controls) {
        if (control.visible)
            WriteLocked("show " + std::to_string(control.id) + " " + QuotedText(control.text));
    }
}

// Repaints carry no news in a log.
void LineUi::OnDialogChanged(const DialogChange& change, const DialogState& state) {
    if (change.kind == DialogChange::kRepaint)
        return;
    std::lock_guard<std::mutex> lock(mutex_);
    WriteLocked(DescribeChange(change, state));
}

void LineUi::OnDialogClosed() {
    std::lock_guard<std::mutex> lock(mutex_);
    WriteLocked("close");
}

}  // namespace host::posix
