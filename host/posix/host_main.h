// The program's start on a POSIX host: the device root, the real services over it, the
// front-end that suits standard output, then the application.
#pragma once

#include "host/command_line.h"
#include "host/framework.h"
#include "host/resources.h"

namespace host::posix {

// Runs app against the device root named by UPDATER_ROOT and answers the process's exit
// status.  --help and --version answer at once and any other argument is a usage error, both
// before anything is read or made.  Without a usable root it stops at once, before it touches
// anything, and says how to set one.  Every start that gets past the arguments ends with one
// outcome line on standard error (host::OutcomeLine).
int RunOnHost(CWinApp& app, Resources& resources, int argc, char** argv);

}  // namespace host::posix
