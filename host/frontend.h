// The seam between the dialog framework (host/framework.h) and whatever shows the dialog to a
// person or a test.  The framework keeps the dialog's model (title, controls, bar) and tells
// the installed front-end of every change; the front-end draws, asks the dialog how a control
// is coloured, shows message boxes and posts the user's commands back.
//
// Front-ends: the terminal (host/posix/terminal_ui.h), line mode for scripts
// (host/line_ui.h) and the scripted one for tests (host/sim/scripted_ui.h).  A front-end
// is installed as the platform's `ui`; the framework finds it there.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "host/icon.h"
#include "host/interrupt.h"
#include "host/ui.h"

namespace host {

enum class ControlKind : uint8_t { kStatic, kButton, kEdit, kProgressBar };

// Geometry in dialog units: a quarter of the dialog font's average character width across, an
// eighth of its height down.
struct DialogRect {
    int16_t x = 0;
    int16_t y = 0;
    int16_t cx = 0;
    int16_t cy = 0;
};

struct ControlState {
    int id = 0;
    ControlKind kind = ControlKind::kStatic;
    std::wstring text;
    bool visible = false;
    bool enabled = true;
    DialogRect rect;
    uint32_t style = 0;
    // Progress bars only.
    int32_t range_low = 0;
    int32_t range_high = 100;
    int32_t position = 0;
};

struct DialogState {
    int template_id = 0;
    std::wstring title;
    int16_t cx = 0;  // dialog units
    int16_t cy = 0;
    std::wstring font_face;
    int font_points = 0;
    uint32_t style = 0;
    uint32_t ex_style = 0;
    HIcon big_icon = nullptr;
    HIcon small_icon = nullptr;
    bool centred = false;
    std::wstring notice;                 // the window's status line; empty: none
    std::vector<ControlState> controls;  // template order

    const ControlState* Find(int id) const;
};

// One published change; the state that comes with it already holds the new values.
struct DialogChange {
    enum Kind : uint8_t {
        kTitle,     // id 0
        kText,      // a control's text
        kVisible,   // a control shown or hidden
        kEnabled,   // a control enabled or disabled
        kRange,     // a bar's range
        kPosition,  // a bar's position
        kRepaint,   // the dialog repainted at once; id 0
        kIcon,      // id 0
        kCentred,   // id 0
        kNotice,    // the window's status line; id 0
    };
    Kind kind;
    int id = 0;
};

// How the dialog wants a control drawn (answered by its control-colour hook).
struct ControlColors {
    bool custom_text_color = false;
    uint32_t text_rgb = 0;  // 0x00RRGGBB
    int font_weight = 0;    // 0: the dialog's font as it is
    bool transparent = false;
};

// What a front-end may ask of the dialog it shows.  Valid from OnDialogOpened until
// OnDialogClosed returns.
class DialogSite {
  public:
    virtual ~DialogSite() = default;
    // Queues a command for the modal loop: kIdOk (the caption's OK button), kIdCancel
    // (Escape, the window's close box) or a button's control id.  Any thread.
    virtual void PostCommand(int command_id) = 0;
    // Queues an interrupt for the modal loop (host/interrupt.h).  Any thread.
    virtual void PostInterrupt(Interrupt interrupt) = 0;
    virtual ControlColors ColorsOf(int control_id) = 0;
};

class FrontEnd : public Ui {
  public:
    // The dialog's window is created: its whole state, before its initialisation runs.
    virtual void OnDialogOpened(const DialogState& state, DialogSite& site) = 0;
    // Called in the order the changes were made, never two at once.
    virtual void OnDialogChanged(const DialogChange& change, const DialogState& state) = 0;
    // The modal loop has ended; the site must not be used after this returns.
    virtual void OnDialogClosed() = 0;
};

// One readable line for a change, e.g. `text 1016 " 7m43s "`, `hide 1009`, `pos 1007 17`,
// `title "GSM Updater"`, `notice "..."`.  Texts are quoted, with line breaks written as \n.
std::string DescribeChange(const DialogChange& change, const DialogState& state);

// A text in double quotes, with line breaks, quotes and backslashes escaped, so that one
// text is always one unambiguous piece of a line.
std::string QuotedText(const std::wstring& text);

}  // namespace host
