// Template 102 as data, controls in template order.
#include "res/dialog_template.h"

namespace res {
namespace {

using host::ControlKind;
namespace ws = host::style;

constexpr uint32_t kEditStyle = ws::kEditMultiLine | ws::kBorder | ws::kVScroll |
                                ws::kEditAutoVScroll | ws::kEditAutoHScroll | ws::kTabStop;

// clang-format off
constexpr host::ControlTemplate kControls[] = {
    {kIdcWarningTitle, ControlKind::kStatic, L"Be careful !!", false, true, {93, 129, 40, 8},
     ws::kLeft | ws::kGroup},
    {kIdcStart, ControlKind::kButton, L"Upgrading in progress!", true, true, {14, 61, 114, 29},
     ws::kPushButton | ws::kTabStop},
    {kIdcEdit, ControlKind::kEdit, L"", false, true, {14, 126, 31, 15}, kEditStyle},
    {kIdcProgress, ControlKind::kProgressBar, L"Progress1", false, true, {12, 112, 118, 8},
     ws::kBorder},
    {kIdcCancel, ControlKind::kButton, L"Cancel", false, true, {92, 141, 34, 11},
     ws::kPushButton | ws::kTabStop},
    {kIdcWarning, ControlKind::kStatic,
     L"Be careful !! \nAny incorrect image or unsuccessful downloading will make modem crash and "
     L"unable to restart again.",
     true, true, {13, 15, 120, 38}, ws::kLeft | ws::kGroup},
    {kIdcStatus, ControlKind::kStatic, L"Processing...        remaining:", false, true,
     {13, 99, 93, 8}, ws::kLeft},
    {kIdcVersion, ControlKind::kStatic, L"Version 1.0", false, true, {9, 142, 71, 12},
     ws::kLeft | ws::kGroup},
    {kIdcTimeLeft, ControlKind::kStatic, L".....", false, true, {105, 100, 25, 8}, ws::kLeft},
    {kIdcRemaining, ControlKind::kStatic, L"remaining:", false, true, {49, 128, 35, 8},
     ws::kLeft},
};
// clang-format on

// The caption's OK button and an application window (extended style 0x80040000).
constexpr host::DialogTemplate kTemplate = {
    kUpdaterDialogId,
    146,
    161,
    L"System",
    8,
    ws::kPopup | ws::kCaption | ws::kSysMenu | ws::kModalFrame,
    ws::kExCaptionOkButton | ws::kExAppWindow,
    L"",
    kControls,
};

}  // namespace

const host::DialogTemplate& UpdaterDialogTemplate() {
    return kTemplate;
}

}  // namespace res
