// The user-facing seams of the platform that the platform wrappers need: modal message boxes
// and the error beep.  The dialog's front-ends implement them (terminal, line mode, scripted).
#pragma once

#include <cstdint>
#include <string>

namespace host {

// Message box styles and answers, in the platform's numbering.
constexpr uint32_t kMbOk = 0x00000000;
constexpr uint32_t kMbIconStop = 0x00000010;
constexpr int kIdOk = 1;
constexpr int kIdCancel = 2;

class Ui {
  public:
    virtual ~Ui() = default;
    // Shows a modal box and blocks the calling thread until it is answered.
    virtual int ShowMessageBox(const std::wstring& text, const std::wstring& caption,
                               uint32_t style) = 0;
    // The platform's standard error sound.
    virtual void ErrorBeep() = 0;
};

}  // namespace host
