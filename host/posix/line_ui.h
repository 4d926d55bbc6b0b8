// Line mode: the dialog for scripts and logs, chosen when standard output is not a terminal.
// Every change becomes one readable line (`text 1016 " 7m43s "`, `pos 1007 17`, `hide 1009`),
// message boxes are printed and answered with OK at once, and nothing is ever read.
#pragma once

#include <mutex>
#include <ostream>
#include <string>

#include "host/clock.h"
#include "host/frontend.h"

namespace host::posix {

class LineUi final : public FrontEnd {
  public:
    // With a clock every line starts with the time in seconds since the clock's epoch.
    explicit LineUi(std::ostream& out, Clock* clock = nullptr) : out_(out), clock_(clock) {}

    int ShowMessageBox(const std::wstring& text, const std::wstring& caption,
                       uint32_t style) override;
    void ErrorBeep() override;
    void OnDialogOpened(const DialogState& state, DialogSite& site) override;
    void OnDialogChanged(const DialogChange& change, const DialogState& state) override;
    void OnDialogClosed() override;

  private:
    void WriteLocked(const std::string& line);

    std::mutex mutex_;
    std::ostream& out_;
    Clock* clock_;
};

}  // namespace host::posix
