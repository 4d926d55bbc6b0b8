// The program's start on a POSIX host: the device root, the real services over it, the
// front-end that suits standard output, then the application.
#pragma once

#include "host/framework.h"
#include "host/resources.h"

namespace host::posix {

// Exit status when the start is refused before the application runs (no usable device root,
// an untrusted one, or one that another updater is using).
constexpr int kExitNoDeviceRoot = 2;

// Runs app against the device root named by UPDATER_ROOT and answers the process's exit
// status.  Without a usable root it stops at once, before it touches anything, and says how
// to set one.
int RunOnHost(CWinApp& app, Resources& resources);

}  // namespace host::posix
