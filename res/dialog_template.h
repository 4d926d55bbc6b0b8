// Dialog template 102: the update dialog's window and controls as the framework builds them.
#pragma once

#include "host/framework.h"

namespace res {

constexpr int kUpdaterDialogId = 102;

// Control ids of template 102.
constexpr int kIdcWarningTitle = 1018;  // never shown
constexpr int kIdcStart = 1000;         // the button whose click runs the preparation
constexpr int kIdcEdit = 1004;          // never shown
constexpr int kIdcProgress = 1007;
constexpr int kIdcCancel = 1009;
constexpr int kIdcWarning = 1019;
constexpr int kIdcStatus = 1013;
constexpr int kIdcVersion = 65535;  // the version label, without an id of its own
constexpr int kIdcTimeLeft = 1016;
constexpr int kIdcRemaining = 1017;  // never shown
constexpr int kIdcClose = 1006;      // no control; a command that reaches the close guard

const host::DialogTemplate& UpdaterDialogTemplate();

}  // namespace res
