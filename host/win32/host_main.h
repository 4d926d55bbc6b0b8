// The program's start on Windows: the device root, the Win32 services over it (the
// communications API, the real registry, the root's register file), the front-end that suits
// standard output, then the application.
#pragma once

#include "host/command_line.h"
#include "host/framework.h"
#include "host/resources.h"

namespace host::win32 {

// Runs app against the device root named by UPDATER_ROOT (a Windows path, or under Wine a
// Unix one) and answers the process's exit status, with the same arguments, outcome lines and
// statuses as on Linux.  The dialog is the real one when standard output is a console or
// there is none; line mode when it is a pipe or a file.
int RunOnHost(CWinApp& app, Resources& resources, int argc, wchar_t** argv);

}  // namespace host::win32
