// A few words for standard error when the process ends, for an exit status that does not say
// everything by itself (which setting could not be restored, and why).  The system records
// the note; the host's start prints it after the application has ended, since the system
// itself never writes to standard error.
#pragma once

#include <string>

namespace host {

void SetExitNote(const std::string& note);
// Empty when nothing was recorded.
std::string ExitNote();

}  // namespace host
